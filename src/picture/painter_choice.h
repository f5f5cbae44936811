// SPDX-License-Identifier: GPL-3.0-or-later
// Which painter draws: the processor's own, OpenGL's, or the one that suits the machine (auto:
// OpenGL on a GPU, the processor where OpenGL itself draws in software). Pure; any thread.
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
