// SPDX-License-Identifier: GPL-3.0-or-later
#include "picture/ft.h"

#include <cmath>
#include <cstring>
#include <gtest/gtest.h>
#include <numbers>
#include <random>
#include <vector>

namespace {

constexpr double pi = std::numbers::pi;

class Spectrum : public ::testing::Test {
  protected:
    void SetUp() override { ft_init(); }
    void TearDown() override { ft_close(); }
    static std::vector<double> cosine(double bin, double amplitude, double phase0 = 0) {
        std::vector<double> b(ft_size);
        for (int n = 0; n < ft_size; ++n)
            b[n] = amplitude * std::cos(2 * pi * bin * n / ft_size + phase0);
        return b;
    }
};

TEST_F(Spectrum, AgreesWithADirectFourierTransform) {
    std::mt19937_64 rng(12345);
    std::uniform_real_distribution<double> u(-1, 1);
    std::vector<double> block(ft_size);
    for (double &x : block)
        x = u(rng);
    ft_process(block.data());
    const double *m = ft_get_spectrum();
    const double *ph = ft_get_phase();
    double peak = 0;
    for (int k = 0; k < ft_bins; ++k) {
        // exact twiddle arguments: n * k is reduced modulo N before scaling
        double re = 0, im = 0;
        for (int n = 0; n < ft_size; ++n) {
            double a =
                -2 * pi * static_cast<double>((static_cast<long>(n) * k) % ft_size) / ft_size;
            re += block[n] * std::cos(a);
            im += block[n] * std::sin(a);
        }
        double mag = std::hypot(re, im);
        peak = std::max(peak, mag);
        ASSERT_NEAR(m[k], mag, 1e-10) << "bin " << k;
        double d = std::remainder(ph[k] - std::atan2(im, re), 2 * pi);
        ASSERT_NEAR(d, 0, 1e-9 / std::max(mag, 1e-3)) << "bin " << k;
        ASSERT_GE(ph[k], -pi);
        ASSERT_LE(ph[k], pi);
    }
    EXPECT_NEAR(ft_get_max(), peak, 1e-10);
}

TEST_F(Spectrum, SilenceAndConstantBlocks) {
    std::vector<double> block(ft_size, 0.0);
    ft_process(block.data());
    for (int k = 0; k < ft_bins; ++k)
        ASSERT_EQ(ft_get_spectrum()[k], 0.0);
    EXPECT_EQ(ft_get_max(), 0.0);

    block.assign(ft_size, -0.3);
    ft_process(block.data());
    const double *m = ft_get_spectrum();
    EXPECT_NEAR(m[0], ft_size * 0.3, 1e-9);
    for (int k = 1; k < ft_bins; ++k)
        ASSERT_LT(m[k], 1e-9) << "bin " << k;
    EXPECT_EQ(ft_get_max(), m[0]);
    EXPECT_NEAR(std::fabs(ft_get_phase()[0]), pi, 1e-12) << "a negative constant has phase pi";
}

TEST_F(Spectrum, CosineOnABin) {
    auto block = cosine(2, 1.0); // 40 Hz
    ft_process(block.data());
    EXPECT_NEAR(ft_get_spectrum()[2], ft_size / 2.0, 1e-8);
    EXPECT_NEAR(ft_get_phase()[2], 0, 1e-12);
    EXPECT_EQ(ft_get_max(), ft_get_spectrum()[2]);

    block = cosine(50, 0.5, pi / 3); // 1000 Hz, shifted
    ft_process(block.data());
    EXPECT_NEAR(ft_get_spectrum()[50], ft_size / 4.0, 1e-8);
    EXPECT_NEAR(ft_get_phase()[50], pi / 3, 1e-12);
    EXPECT_LT(ft_get_spectrum()[49] + ft_get_spectrum()[51], 1e-8);
}

TEST_F(Spectrum, PeakCoversTheEdgeBins) {
    for (int edge : {1, ft_bins - 1}) {
        auto block = cosine(edge, 1.0);
        auto other = cosine(300, 0.5);
        for (int n = 0; n < ft_size; ++n)
            block[n] += other[n];
        ft_process(block.data());
        EXPECT_EQ(ft_get_max(), ft_get_spectrum()[edge]) << "edge bin " << edge;
        EXPECT_GT(ft_get_max(), ft_get_spectrum()[300]);
    }
}

TEST_F(Spectrum, RepeatableAndTheBlockIsLeftAlone) {
    std::mt19937_64 rng(7);
    std::normal_distribution<double> g(0, 0.2);
    std::vector<double> block(ft_size);
    for (double &x : block)
        x = g(rng);
    auto copy = block;
    ft_process(block.data());
    std::vector<double> m1(ft_get_spectrum(), ft_get_spectrum() + ft_bins);
    std::vector<double> p1(ft_get_phase(), ft_get_phase() + ft_bins);
    double max1 = ft_get_max();
    // something else in between must not leak into the next result
    auto noise = cosine(17, 3.0);
    ft_process(noise.data());
    ft_process(block.data());
    EXPECT_EQ(0, std::memcmp(m1.data(), ft_get_spectrum(), sizeof(double) * ft_bins));
    EXPECT_EQ(0, std::memcmp(p1.data(), ft_get_phase(), sizeof(double) * ft_bins));
    EXPECT_EQ(max1, ft_get_max());
    EXPECT_EQ(block, copy);
}

} // namespace
