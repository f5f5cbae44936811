// SPDX-License-Identifier: GPL-3.0-or-later
// lumora-render INPUT OUTPUT --join SEGMENT...: one video of segments rendered apart (--frames,
// on this machine or on many), their pictures copied as they were encoded, and INPUT's sound
// encoded once for the whole. lumora-render's main thread.
#pragma once

#include "render_options.h"

// Joins o.segments into o.output; the exit status, after one line on standard error.
int join_segments(render_options o);

// lumora-render INPUT OUTPUT --plan N: prints the commands that render o in N segments and the
// one that joins them, as plan_commands gives them; program is how lumora-render was run.
int plan_print(const render_options &o, const char *program);
