// SPDX-License-Identifier: GPL-3.0-or-later
// Standard input, output and error, open whatever the caller left. A program started with one of
// them closed (a service manager, cron, `2>&-`) would otherwise have its first file opened as that
// descriptor: lumora-render's output would then take its status lines, and lumora's sound or
// display connection its messages. Each program's first call, on its main thread, before any file
// is opened.
#pragma once

// Opens /dev/null on each of descriptors 0, 1 and 2 that is closed. A write to an error stream that
// has gone is then a write to nothing, never a failure.
void standard_streams_open();
