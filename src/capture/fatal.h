// SPDX-License-Identifier: GPL-3.0-or-later
// Helpers shared by the capture module and the display: the fatal error report and the hue wheel.
// Both are plain functions with no state; `error` may be called from the main thread only.
#pragma once

// Writes prefix and text as one line on standard error and ends the process.
// The exit status is the code itself when its low 8 bits are nonzero, 1 otherwise, so a
// failure is never reported as success.
[[noreturn]] void error(const char *prefix, const char *text, int code);

// The same report, but the process ends at once, without exit handlers or destructors: for when
// another thread is stuck inside a library that those might wait for.
[[noreturn]] void error_now(const char *prefix, const char *text, int code);

// The status that `error` exits with for a given code.
int error_status(int code);

// Fully saturated, full-brightness colour of a hue given as a fraction of a turn in [0, 1).
// Hues of 1 and above, and NaN, give black. All three outputs are always written.
void h_to_rgb(double *r, double *g, double *b, double hue);
