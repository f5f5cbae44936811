// SPDX-License-Identifier: GPL-3.0-or-later
#include "picture/colour.h"

#include <cmath>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace {

struct Rgb {
    double r, g, b;
};

Rgb wheel(double hue) {
    Rgb c{-7, -7, -7}; // garbage, so a component that is not written shows up
    h_to_rgb(&c.r, &c.g, &c.b, hue);
    return c;
}

void expect_rgb(double hue, double r, double g, double b) {
    Rgb c = wheel(hue);
    EXPECT_DOUBLE_EQ(c.r, r) << "hue " << hue;
    EXPECT_DOUBLE_EQ(c.g, g) << "hue " << hue;
    EXPECT_DOUBLE_EQ(c.b, b) << "hue " << hue;
}

TEST(HueWheel, PrimariesAndSectorBoundaries) {
    expect_rgb(0.0, 1, 0, 0);
    expect_rgb(1.0 / 6, 1, 1, 0); // a boundary belongs to the later sector
    expect_rgb(1.0 / 3, 0, 1, 0);
    expect_rgb(0.5, 0, 1, 1);
    expect_rgb(2.0 / 3, 0, 0, 1);
    expect_rgb(5.0 / 6, 1, 0, 1);
    expect_rgb(0.25, 0.5, 1, 0);
}

TEST(HueWheel, ExactDoubleArithmetic) {
    // 2/3 is held as the double just below it, so the red ramp is 2^-52 high at 0.75
    Rgb c = wheel(0.75);
    EXPECT_EQ(c.r, 0.5 + std::ldexp(1.0, -52));
    EXPECT_EQ(c.g, 0.0);
    EXPECT_EQ(c.b, 1.0);
    // just below 1 is still magenta-red, never black
    Rgb top = wheel(std::nextafter(1.0, 0.0));
    EXPECT_EQ(top.r, 1.0);
    EXPECT_EQ(top.g, 0.0);
    EXPECT_LT(top.b, 1e-14);
}

TEST(HueWheel, OutOfRangeHues) {
    expect_rgb(1.0, 0, 0, 0);
    expect_rgb(3.5, 0, 0, 0);
    expect_rgb(INFINITY, 0, 0, 0);
    expect_rgb(NAN, 0, 0, 0);
    expect_rgb(-0.5, 1, -3, 0); // negative hues fall into the first sector
}

TEST(HueWheel, ContinuousAroundTheWheel) {
    // no jumps between neighbouring hues: each component moves by at most 6 * the hue step
    const double d = 1e-4;
    Rgb prev = wheel(0);
    for (double hue = d; hue < 1; hue += d) {
        Rgb c = wheel(hue);
        ASSERT_LE(std::fabs(c.r - prev.r), 6 * d + 1e-12) << hue;
        ASSERT_LE(std::fabs(c.g - prev.g), 6 * d + 1e-12) << hue;
        ASSERT_LE(std::fabs(c.b - prev.b), 6 * d + 1e-12) << hue;
        prev = c;
    }
}

} // namespace
