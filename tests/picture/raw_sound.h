// SPDX-License-Identifier: GPL-3.0-or-later
// A raw sound for the picture's test tools (16-bit mono at 44100 Hz), and the block around a
// sample as the window and lumora-render take it.
#pragma once

#include "picture/frame.h"
#include "picture/ft.h"

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <vector>

inline std::vector<double> read_raw_sound(const char *path) {
    std::ifstream in(path, std::ios::binary);
    std::vector<double> sound;
    for (int16_t v; in.read(reinterpret_cast<char *>(&v), sizeof v);)
        sound.push_back(v / 32768.0);
    return sound;
}

// The ft_size samples centred on sample centre (silence past either end) into block, taken off
// centre as the picture takes them; returns the block's peak.
inline double block_around(const std::vector<double> &sound, long centre, double *block) {
    double p = 0;
    for (int k = 0; k < ft_size; ++k) {
        const long at = centre - ft_size / 2 + k;
        block[k] = at >= 0 && at < static_cast<long>(sound.size()) ? sound[at] : 0;
        p = std::max(p, block[k]);
    }
    block_centre(block, p, block);
    return p;
}
