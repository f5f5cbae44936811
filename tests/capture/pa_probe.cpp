// SPDX-License-Identifier: GPL-3.0-or-later
// Reads the default input through the capture module for a while and reports what it saw:
//   pa_probe SECONDS  ->  "blocks=N peak=P"  (distinct blocks taken, largest block peak)
#include "capture/pa.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

int main(int argc, char **argv) {
    double seconds = argc > 1 ? std::atof(argv[1]) : 1.0;
    pa_init();
    const double *last = nullptr;
    double peak = 0;
    int blocks = 0;
    auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (std::chrono::steady_clock::now() < end) {
        const double *s = pa_get_sample();
        // every new block the display takes over comes in another of the three buffers
        if (s != last)
            ++blocks;
        last = s;
        if (pa_get_max() > peak)
            peak = pa_get_max();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    pa_close();
    std::printf("blocks=%d peak=%.6f\n", blocks, peak);
    return 0;
}
