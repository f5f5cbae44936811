// SPDX-License-Identifier: GPL-3.0-or-later
// The capture's fatal error report: one line on standard error, then the process ends with the
// audio library's code as its status. Plain functions with no state; main thread only.
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
