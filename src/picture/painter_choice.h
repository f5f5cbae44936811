// SPDX-License-Identifier: GPL-3.0-or-later
// Which painter draws: the processor's own, OpenGL's, or the one that suits the machine (auto:
// OpenGL on a GPU, the processor where OpenGL itself draws in software). Pure but for
// painter_gl_exact; any thread.
#pragma once

enum class painter_choice { automatic, cpu, gl };

// "auto", "cpu" or "gl"; false for anything else.
bool painter_parse(const char *text, painter_choice &choice);

// Whether an OpenGL renderer of this name (GL_RENDERER) draws on the processor: Mesa's llvmpipe,
// softpipe and swrast, and any renderer that calls itself software.
bool painter_is_software(const char *gl_renderer);

// Whether the processor's painter draws, for a choice and the OpenGL renderer at hand (auto: where
// that renderer is software).
bool painter_on_cpu(painter_choice choice, const char *gl_renderer);

// Has Mesa's llvmpipe, when it is what OpenGL turns out to be, blend every tile as it blends most:
// its shortcut for tiles that only the fade covers halves a channel of 1 to 1, not to 0, so that
// the last step of a trail never went and a GL picture drifted from the processor's (5 % of the
// bytes of music after 60 frames). Sets LP_PERF=no_rast_linear unless LP_PERF is set already;
// called at start, before any OpenGL library is loaded, on the main thread.
void painter_gl_exact();
