// SPDX-License-Identifier: GPL-3.0-or-later
// Keeping the audio libraries off standard error. ALSA, JACK, the pulse plugin and PortAudio's
// back ends write probing, and complaints about a device that has gone, to the C library's
// stderr, from whatever thread meets the trouble: the keeper, the stream thread before or after
// its first callback, the plugin's own threads. That stream is replaced by one that passes on
// only what the main thread writes, straight to file descriptor 2. The main thread makes no call
// into the audio libraries (the keeper makes them all), so its writes are the toolkit's, Xlib's
// and our own error line. The sanitizers write to the descriptor itself and are not affected.
#include "pa_parts.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <functional>
#include <pthread.h>
#include <string_view>
#include <unistd.h>

static thread_local bool speaks; // the main thread, once the filter is in place
static thread_local bool kept;   // the keeper: never ended here

// A thread caught in a loop that prints. PortAudio's stream thread, when a sound server dies at
// the wrong moment, can jump back to its own error label for ever, printing the same complaint
// each time with cancellation disabled; aborting its stream, which cancels and joins it, would
// then wait for ever, and the thread would burn a core. A thread other than the main one and the
// keeper that writes the same line more than loop_lines times within loop_window (a flood no
// library makes on purpose; a loop slowed by valgrind still makes it) is ended here, as a
// cancellation would end it: its cleanup handlers run (the library's stops the stream), and the
// C library releases the stream's lock on the way out.
constexpr int loop_lines = 1000;
constexpr std::chrono::seconds loop_window{10};
static thread_local unsigned repeats;
static thread_local std::size_t last_line;
static thread_local std::chrono::steady_clock::time_point repeats_since;

static void end_if_looping(const char *buf, size_t size) {
    const std::size_t line = std::hash<std::string_view>{}(std::string_view(buf, size));
    const auto now = std::chrono::steady_clock::now();
    if (line != last_line || now - repeats_since > loop_window) {
        last_line = line;
        repeats = 0;
        repeats_since = now;
    }
    if (++repeats > loop_lines && !kept)
        pthread_exit(PTHREAD_CANCELED);
}

static ssize_t pass_on(void *, const char *buf, size_t size) {
    if (!speaks) {
        end_if_looping(buf, size);
        // dropped, but still a cancellation point, as the write it replaces is
        pthread_testcancel();
        return static_cast<ssize_t>(size);
    }
    for (size_t done = 0; done < size;) {
        const ssize_t n = write(2, buf + done, size - done);
        if (n < 0 && errno != EINTR)
            break;
        done += n > 0 ? static_cast<size_t>(n) : 0;
    }
    return static_cast<ssize_t>(size);
}

void pa_quiet_keeper() { kept = true; }

void pa_quiet_install() {
    static bool installed;
    speaks = true;
    if (installed)
        return;
    cookie_io_functions_t io{};
    io.write = pass_on;
    if (FILE *filtered = fopencookie(nullptr, "w", io)) {
        setvbuf(filtered, nullptr, _IONBF, 0);
        stderr = filtered;
        installed = true;
    }
}
