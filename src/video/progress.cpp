// SPDX-License-Identifier: GPL-3.0-or-later
#include "progress.h"

#include "own_stderr.h"
#include "render_options.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <unistd.h>

namespace {

// how long the frames must have been coming before the time left is worth saying
constexpr std::chrono::seconds settled{3};

} // namespace

progress::progress() : terminal(isatty(own_stderr_fd())), every(10.0) {
    // a shorter interval for the tests; anything but a positive number keeps 10 s
    if (const char *s = std::getenv("LUMORA_RENDER_PROGRESS")) {
        char *end;
        const double v = std::strtod(s, &end);
        if (*end == '\0' && v > 0 && v <= 3600)
            every = std::chrono::duration<double>(v);
    }
    shown = start;
}

void progress::show(double done_s, double total_s) {
    const steady::time_point now = steady::now();
    if (frames == 1) {
        first_frame = now;
        first_s = done_s;
    }
    if (terminal ? now - shown < std::chrono::milliseconds(250) : now - shown < every)
        return;
    shown = now;
    const double took = std::chrono::duration<double>(now - start).count();
    const double speed = took > 0 ? done_s / took : 0;
    char done[64], left[48] = "";
    // a length the input stated and its sound outruns (a chained Ogg's first part) is no total
    if (total_s > 0 && done_s < total_s) {
        std::snprintf(done, sizeof done, "%3.0f %%, %lld of %lld frames", 100 * done_s / total_s,
                      frames, std::max(frames, std::llround(total_s * fps)));
        // the pace of the frames since the first, once it has had time to settle
        const double since = std::chrono::duration<double>(now - first_frame).count();
        if (now - first_frame >= settled && done_s > first_s)
            std::snprintf(
                left, sizeof left, ", %s left",
                render_format_time(std::max(0.0, total_s - done_s) * since / (done_s - first_s))
                    .c_str());
    } else {
        std::snprintf(done, sizeof done, "%lld frames", frames);
    }
    if (terminal)
        std::fprintf(own_stderr(), "\r\033[Klumora-render: %s, %.2fx real time%s", done, speed,
                     left);
    else
        std::fprintf(own_stderr(), "lumora-render: %s, %.2fx real time%s\n", done, speed, left);
}

void progress::summary(const std::string &output, const std::string &what, double sound_s) {
    const double took = std::chrono::duration<double>(steady::now() - start).count();
    if (terminal)
        std::fputs("\r\033[K", own_stderr());
    const double share = took > 0 ? 100 * std::chrono::duration<double>(drawing).count() / took : 0;
    char speed[32] = "";
    if (sound_s > 0)
        std::snprintf(speed, sizeof speed, " (%.2fx real time)", took > 0 ? sound_s / took : 0);
    std::fprintf(own_stderr(),
                 "lumora-render: wrote %s: %s, in %.1f s%s; drawing took %.0f %% of it\n",
                 output.c_str(), what.c_str(), took, speed, share);
}
