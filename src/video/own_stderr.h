// SPDX-License-Identifier: GPL-3.0-or-later
// lumora-render's own lines, and nobody else's, on its standard error. FFmpeg's lines are
// silenced through its log, but a library may write to the C library's stderr itself: x264 says
// "malloc of size ... failed" there when memory runs out, before FFmpeg's wrapper hears of it. So
// the standard error lumora-render was given moves to a descriptor of its own, which its lines and
// its signal handlers write to, and descriptor 2, the libraries' stderr, goes to /dev/null. Main
// thread, once, at start, after the standard streams are open.
#pragma once

#include <cstdio>

void own_stderr_install();
// Where lumora-render's lines go, and its descriptor: stderr and 2 until own_stderr_install.
FILE *own_stderr();
int own_stderr_fd();

// The program's name, for the lines the shared modules write: "lumora-render" unless set.
const char *own_program();
void own_program_set(const char *name);
