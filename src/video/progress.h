// SPDX-License-Identifier: GPL-3.0-or-later
// lumora-render's progress: on a terminal a line that rewrites itself, at most four times a
// second; elsewhere (a log, a pipe) a line of its own every 10 s of wall time; and the summary
// line at the end. The time left is estimated only once the frames have been coming for a few
// seconds: the first ones carry the start-up and the frames drawn before the first one written.
#pragma once

#include <chrono>
#include <string>

struct progress {
    using steady = std::chrono::steady_clock;
    bool terminal;
    std::chrono::duration<double> every; // off a terminal; LUMORA_RENDER_PROGRESS in seconds
    steady::time_point start = steady::now(), shown, first_frame;
    steady::duration drawing{};
    long long frames = 0;
    double first_s = 0; // the sound's time of the first frame written
    int fps = 30;

    progress();
    // A frame written: done_s of the sound's total_s (0: not known) are in frames.
    void show(double done_s, double total_s);
    // what: the frames written, or the picture's time; sound_s: the sound they cover
    void summary(const std::string &output, const std::string &what, double sound_s);
};
