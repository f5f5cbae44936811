// SPDX-License-Identifier: GPL-3.0-or-later
#include "picture/cpu_spans.h"
#include "video/to_yuv420.h"

#include <gtest/gtest.h>
#include <random>
#include <vector>

namespace {

// Known colours land where BT.709's limited range puts them, the picture's bottom row at the
// top of the planes: a matrix other than BT.709's, the full range, or rows taken top-down (a
// video upside down) each fail it.
TEST(ToYuv420, ColoursAndRowOrder) {
    // 2 x 4 pixels, bottom-up: a white block under a red-and-blue one
    const uint8_t bgra[] = {255, 255, 255, 0, 255, 255, 255, 0, 255, 255, 255, 0, 255, 255, 255, 0,
                            0,   0,   255, 9, 255, 0,   0,   9, 0,   0,   255, 9, 255, 0,   0,   9};
    uint8_t y[8], u[2], v[2];
    to_yuv420(bgra, 2, 4, y, 2, u, v, 1);
    EXPECT_EQ(std::vector<uint8_t>(y, y + 4), (std::vector<uint8_t>{63, 32, 63, 32}));
    EXPECT_EQ(std::vector<uint8_t>(y + 4, y + 8), (std::vector<uint8_t>{235, 235, 235, 235}));
    // red and blue averaged: U (102 + 240) / 2 and V (240 + 118) / 2, give or take the rounding
    EXPECT_EQ(u[0], 171);
    EXPECT_EQ(v[0], 179);
    EXPECT_EQ(u[1], 128);
    EXPECT_EQ(v[1], 128);
}

// Each vector unit gives the plain bytes, over widths that leave every number of columns to the
// plain tail and strides wider than the rows. A block's chroma taken from the wrong pair of
// columns (tried: even columns twice) fails it.
TEST(ToYuv420, EveryVectorUnitMatchesThePlainConversion) {
    int64_t targets[32];
    const int count = cpu_targets(targets, 32);
    std::mt19937 rng(5);
    for (int w = 2; w <= 132; w += 2) {
        const int h = 6, ys = w + 3, uvs = w / 2 + 5;
        std::vector<uint8_t> bgra(4 * static_cast<size_t>(w) * h);
        for (uint8_t &b : bgra)
            b = static_cast<uint8_t>(rng());
        std::vector<uint8_t> y0(ys * h, 1), u0(uvs * h / 2, 1), v0(uvs * h / 2, 1);
        to_yuv420_plain(bgra.data(), w, h, y0.data(), ys, u0.data(), v0.data(), uvs);
        for (int t = 0; t < count; ++t) {
            cpu_target_choose(targets[t]);
            SCOPED_TRACE(std::string(cpu_target_name(targets[t])) + ", width " + std::to_string(w));
            std::vector<uint8_t> y1(ys * h, 1), u1(uvs * h / 2, 1), v1(uvs * h / 2, 1);
            to_yuv420(bgra.data(), w, h, y1.data(), ys, u1.data(), v1.data(), uvs);
            ASSERT_EQ(y1, y0);
            ASSERT_EQ(u1, u0);
            ASSERT_EQ(v1, v0);
        }
    }
    cpu_target_choose(-1);
}

} // namespace
