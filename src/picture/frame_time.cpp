// SPDX-License-Identifier: GPL-3.0-or-later
#include "frame_time.h"

#include <algorithm>

frame_place frame_between(long long n, int fps) {
    // n / fps seconds is n * 20 / fps pictures: whole pictures, and the rest in fps-ths
    const long long at = n * picture_rate;
    const long long rest = at % fps;
    // to the nearest 256th; a rest just short of a whole picture stays short of it
    const int weight = static_cast<int>(std::min<long long>(255, (rest * 512 + fps) / (2 * fps)));
    return {at / fps, weight};
}

long long frames_of_sound(long long samples, int fps) {
    long long n = std::max(0LL, samples * fps / 44100 - 2);
    while (frame_centre_sample(n, fps) < samples)
        ++n;
    return n;
}
