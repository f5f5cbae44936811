// SPDX-License-Identifier: GPL-3.0-or-later
#include "picture/cpu_spans.h"
#include "picture/frame.h"
#include "picture/frame_time.h"
#include "picture/ft.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <gtest/gtest.h>
#include <numbers>
#include <numeric>
#include <random>
#include <string>
#include <vector>

namespace {

// A block of white noise between -0.5 and 0.5, the same for the same seed.
std::vector<double> noise(unsigned seed) {
    std::vector<double> block(ft_size);
    for (double &x : block) {
        seed = seed * 1103515245 + 12345;
        x = (seed >> 8) / double(1 << 24) - 0.5;
    }
    return block;
}

// The walk's columns j for a window w pixels wide at this step (1 / n_steps).
std::vector<int> columns(int w, double step) {
    std::vector<int> js;
    for (int j = 0; walk_continues(j, w, step); j = next_column(j, w, step)) {
        js.push_back(j);
        if (js.size() > 100000)
            break; // a hang, reported below
    }
    return js;
}

TEST(VertexWalk, ColumnsAt600Pixels) {
    std::vector<int> expected;
    for (int j = 0; j <= 600; j += 6)
        expected.push_back(j);
    EXPECT_EQ(columns(600, 1.0 / 100), expected) << "0, 6, ..., 600 and no column 606";
    EXPECT_EQ(columns(600, 1.0 / 3), (std::vector<int>{0, 200, 400, 600}));
    EXPECT_EQ(columns(600, 1.0 / 600).size(), 601u) << "every pixel column, both edges included";
    // the table the frames use holds the same walk
    const column_table table = walk_columns(600, 1.0 / 100);
    ASSERT_EQ(table.count, 101);
    EXPECT_EQ(table.x[50], 0.5f);
    EXPECT_EQ(table.phase[100], std::numbers::pi);
}

TEST(VertexWalk, NoDetailLevelOrWidthHangs) {
    for (int w : {1, 7, 600, 1920})
        for (int n : {0, -5, w, w + 1, 10 * w, 100}) {
            auto js = columns(w, 1.0 / clamp_steps(n, w));
            ASSERT_LE(js.size(), static_cast<size_t>(w) + 2) << "w " << w << " n_steps " << n;
            ASSERT_GE(js.size(), 2u) << "w " << w << " n_steps " << n;
            EXPECT_GE(js.back(), w) << "the last vertex reaches the right edge";
            for (size_t k = 1; k < js.size(); ++k)
                ASSERT_GT(js[k], js[k - 1]);
        }
    EXPECT_TRUE(columns(0, 1.0 / 100).empty()) << "no width, no vertex";
    EXPECT_EQ(clamp_steps(0, 600), min_steps);
    EXPECT_EQ(clamp_steps(601, 600), 600);
    EXPECT_EQ(clamp_steps(100, 7), 7) << "a window narrower than the floor: every pixel";
    EXPECT_EQ(clamp_steps(5, 0), 1);
}

TEST(WaveGeometry, StandingWaveAcrossTheWindow) {
    // bin i has i half-periods: zero at both edges and at every multiple of w / i
    const int i = 10;
    const double A = 1.0;
    const column_table c = walk_columns(600, 1.0 / 600);
    ASSERT_EQ(c.count, 601);
    EXPECT_FLOAT_EQ(wave_height(c.phase[0], i, A), 0.5f);
    EXPECT_NEAR(wave_height(c.phase[60], i, A), 0.5f, 1e-6);
    EXPECT_NEAR(wave_height(c.phase[30], i, A), 0.5f + 1 / std::numbers::pi, 1e-6);
    EXPECT_NEAR(wave_height(c.phase[90], i, A), 0.5f - 1 / std::numbers::pi, 1e-6);
    EXPECT_FLOAT_EQ(c.x[600], 1.0f);
    EXPECT_FLOAT_EQ(c.x[150], 0.25f);
    // the swing scales with the width, not the height: w / (2 pi) pixels for the strongest bin
    double amp = wave_amplitude(600, 300, 1.0, 1.0, 5.0, 5.0);
    EXPECT_DOUBLE_EQ(amp / std::numbers::pi * 300, 600 / (2 * std::numbers::pi));
    EXPECT_DOUBLE_EQ(wave_amplitude(600, 300, 0.25, 0.5, 1.0, 4.0), 0.125);
}

// A wave counted as flat is skipped, not drawn: that is only the same picture if every one of its
// vertices is exactly 0.5f, or lands within a quarter of a 2^-8 pixel step of the middle line
// once the projection has put it in the window (in float, as GL does). Caught first: a threshold
// of 2^-12 in amplitude, whose waves swing by hundredths of a pixel at 300 pixels high.
TEST(WaveGeometry, FlatWavesLieOnTheMiddleLine) {
    const column_table c = walk_columns(1920, 1.0 / 1920);
    int flat = 0;
    for (int h : {1, 7, 300, 301, 1080, 4321})
        for (double a : {0x1p-40, 0x1p-27, std::nextafter(0x1p-26, 0.0), 0x1p-24, 0x1p-20, 1e-5,
                         0x1p-14, 0x1p-12, 0x1p-8}) {
            if (!wave_is_flat(a, h))
                continue;
            ++flat;
            for (double amplitude : {a, -a})
                for (int i = first_bin; i <= last_bin; i += 7)
                    for (int k = 0; k < c.count; ++k) {
                        const float y = wave_height(c.phase[k], i, amplitude);
                        if (a < 0x1p-26) {
                            ASSERT_EQ(y, 0.5f) << "amplitude " << amplitude;
                        }
                        const float window_y = ((2 * y - 1) * 0.5f + 0.5f) * static_cast<float>(h);
                        ASSERT_LT(std::fabs(window_y - h / 2.0f), 0x1p-10)
                            << "amplitude " << amplitude << " h " << h << " bin " << i;
                    }
        }
    EXPECT_GT(flat, 20);
    EXPECT_TRUE(wave_is_flat(1e-6, 300)) << "16-bit quantisation noise beside a loud tone";
    EXPECT_FALSE(wave_is_flat(1e-3, 300)) << "a third of a pixel swing";
}

// The heights a frame draws may differ from the definition (std::sin, wave_height) by one float
// step, in at most one vertex in 10,000: measured over every vertex of a 1920 x 1080 frame of
// noise at full detail, on every vector unit this build has a kernel for and this processor runs.
// Caught first: the height finished in single precision after the sine (twice the lanes), which
// moved 3 % of the vertices.
TEST(WaveGeometry, HeightsStayWithinOneFloatStepOfTheDefinition) {
    ft_init();
    ft_process(noise(3).data());
    const double *m = ft_get_spectrum(), M = ft_get_max();
    const column_table c = walk_columns(1920, 1.0 / 1920);
    int64_t targets[32];
    const int count = cpu_targets(targets, 32);
    ASSERT_GT(count, 0);
    for (int t = 0; t < count; ++t) {
        cpu_target_choose(targets[t]);
        SCOPED_TRACE(cpu_target_name(targets[t]));
        const heights_fn way = wave_heights;
        long vertices = 0, differ = 0;
        for (int i = first_bin; i <= last_bin; ++i) {
            const double amplitude = wave_amplitude(1920, 1080, 0.5, 0.5, m[i], M);
            way(c.phase, c.count, i, amplitude, c.y);
            for (int k = 0; k < c.count; ++k, ++vertices) {
                const float want = wave_height(c.phase[k], i, amplitude);
                if (c.y[k] == want)
                    continue;
                ++differ;
                ASSERT_EQ(c.y[k], std::nextafter(want, c.y[k])) << "bin " << i << " column " << k;
            }
        }
        EXPECT_EQ(vertices, 1100L * 1921);
        EXPECT_LE(differ * 10000, vertices) << differ << " of " << vertices << " vertices differ";
    }
    cpu_target_choose(-1);
    ft_close();
}

TEST(WaveColour, OpacityAndHue) {
    for (double m : {0.0, 0.3, 1.0})
        EXPECT_EQ(bin_alpha(m, 1.0, 2), 1.0f) << "bin 2 is always opaque";
    EXPECT_FLOAT_EQ(bin_alpha(1.0, 1.0, 1101), static_cast<float>(0.2 + 0.8 / 1100));
    EXPECT_FLOAT_EQ(bin_alpha(0.0, 1.0, 11), 0.1f);
    EXPECT_DOUBLE_EQ(bin_hue(0.0, 1.0, 500, 0.37), 0.37) << "a silent bin takes the global hue";
    EXPECT_NEAR(bin_hue(1.0, 1.0, 551, 0.1), 0.6, 1e-12);
    double top = bin_hue(1.0, 1.0, 1101, 0.0);
    EXPECT_GE(top, 0.0);
    EXPECT_LT(top, 1.0);
}

TEST(GlobalHue, TurnsAHundredthAndWrapsEveryHundredFrames) {
    double hue = 0;
    int wraps = 0;
    for (int frame = 1; frame <= 1000; ++frame) {
        double next = advance_hue(hue);
        ASSERT_GE(next, 0.0);
        ASSERT_LT(next, 1.0);
        if (next < hue) {
            ++wraps;
            EXPECT_GT(hue, 0.98);
            EXPECT_LT(next, 0.01);
        }
        hue = next;
    }
    EXPECT_EQ(wraps, 10);
}

// A frame's place among the pictures, 20 a second: at 20 frames a second every frame is a
// picture; at 60, two frames lie between each two pictures, a third and two thirds of the way; at
// any rate a frame lies within half a 256th of its time, and on a picture exactly when its time
// is one. Caught first: the weight rounded to 256 at a rest just short of a whole picture, which
// showed the next picture a frame early.
TEST(PictureTime, FramesFallBetweenPicturesAtAnyRate) {
    for (long long n = 0; n < 100; ++n) {
        const frame_place at = frame_between(n, 20);
        EXPECT_EQ(at.before, n);
        EXPECT_EQ(at.weight, 0);
    }
    const int sixty[][2] = {{30, 0}, {30, 85}, {30, 171}, {31, 0}};
    for (int k = 0; k < 4; ++k) {
        EXPECT_EQ(frame_between(90 + k, 60).before, sixty[k][0]);
        EXPECT_EQ(frame_between(90 + k, 60).weight, sixty[k][1]);
    }
    for (int fps = 1; fps <= 240; ++fps)
        for (long long n = 0; n <= 10LL * fps + 3; ++n) {
            const frame_place at = frame_between(n, fps);
            const double want = static_cast<double>(n) * picture_rate / fps;
            ASSERT_GE(at.weight, 0);
            ASSERT_LE(at.weight, 255);
            ASSERT_NEAR(at.before + at.weight / 256.0, want, 1 / 512.0 + 1e-12)
                << "frame " << n << " at " << fps;
            ASSERT_EQ(at.before, static_cast<long long>(n * picture_rate / fps));
            ASSERT_EQ(at.weight == 0, n * picture_rate % fps == 0)
                << "frame " << n << " at " << fps;
        }
}

// The frame between two pictures rounds to nearest, the same on every vector unit as plainly,
// over lengths that leave every number of bytes to the plain tail.
TEST(PictureTime, MixIsTheSameOnEveryVectorUnit) {
    const uint8_t a[] = {0, 200, 255, 10}, b[] = {255, 100, 255, 11};
    uint8_t out[4];
    mix_pictures_plain(a, b, 4, 128, out);
    EXPECT_EQ(std::vector<uint8_t>(out, out + 4), (std::vector<uint8_t>{128, 150, 255, 11}));
    mix_pictures_plain(a, b, 4, 85, out);
    EXPECT_EQ(std::vector<uint8_t>(out, out + 4), (std::vector<uint8_t>{85, 167, 255, 10}));
    mix_pictures_plain(a, b, 4, 0, out);
    EXPECT_EQ(std::vector<uint8_t>(out, out + 4), std::vector<uint8_t>(a, a + 4));
    int64_t targets[32];
    const int count = cpu_targets(targets, 32);
    std::mt19937 rng(9);
    for (std::size_t bytes = 0; bytes <= 200; bytes += 7) {
        std::vector<uint8_t> x(bytes), y(bytes), want(bytes);
        for (std::size_t k = 0; k < bytes; ++k) {
            x[k] = static_cast<uint8_t>(rng());
            y[k] = static_cast<uint8_t>(rng());
        }
        for (int weight : {0, 1, 85, 128, 171, 255}) {
            mix_pictures_plain(x.data(), y.data(), bytes, weight, want.data());
            for (int t = 0; t < count; ++t) {
                cpu_target_choose(targets[t]);
                SCOPED_TRACE(std::string(cpu_target_name(targets[t])) + ", " +
                             std::to_string(bytes) + " bytes, weight " + std::to_string(weight));
                std::vector<uint8_t> got(bytes, 7);
                mix_pictures(x.data(), y.data(), bytes, weight, got.data());
                ASSERT_EQ(got, want);
            }
        }
        // and a picture over an image as screen: black shows the image, white stays white,
        // and every byte is the rounded 255 - (255 - x)(255 - y) / 255
        screen_pictures_plain(x.data(), y.data(), bytes, want.data());
        for (std::size_t k = 0; k < bytes; ++k)
            ASSERT_EQ(want[k], 255 - std::lround((255 - x[k]) * (255 - y[k]) / 255.0)) << k;
        for (int t = 0; t < count; ++t) {
            cpu_target_choose(targets[t]);
            std::vector<uint8_t> got(bytes, 7);
            screen_pictures(x.data(), y.data(), bytes, got.data());
            ASSERT_EQ(got, want) << cpu_target_name(targets[t]) << ", " << bytes << " bytes";
        }
    }
    cpu_target_choose(-1);
}

// A block off centre (a DC offset larger than its swing) is taken less its mean, and its peak
// measured from there; music, whose block means are its bass's unfinished periods, is kept to the
// bit, with the peak it came with. Caught first: every block centred, which moved music's
// heights by a few per cent.
TEST(BlockCentre, OnlyAnOffsetLargerThanTheSwingIsTakenAway) {
    std::vector<double> block(ft_size), out(ft_size);
    const double pi = std::numbers::pi;
    for (int n = 0; n < ft_size; ++n) // a 20 Hz bass, one period a block, cut short, and a melody
        block[n] = 0.6 * std::sin(2 * pi * 20 * (n + 300) / 44100.0 * 0.9) +
                   0.2 * std::sin(2 * pi * 660 * n / 44100.0);
    const double peak = *std::max_element(block.begin(), block.end());
    double kept = peak;
    EXPECT_EQ(block_centre(block.data(), kept, out.data()), block.data()) << "music was moved";
    EXPECT_EQ(kept, peak);
    std::vector<double> off(block);
    for (double &v : off)
        v = 0.3 * v - 0.45;
    double p = 0;
    ASSERT_EQ(block_centre(off.data(), p, out.data()), out.data());
    double mean = 0;
    for (double v : out)
        mean += v;
    EXPECT_NEAR(mean / ft_size, 0, 1e-12);
    const double block_mean = std::accumulate(block.begin(), block.end(), 0.0) / ft_size;
    EXPECT_NEAR(p, 0.3 * (peak - block_mean), 1e-12);
    EXPECT_GT(p, 0.1) << "a negative offset larger than the swing left the block without a peak";
}

TEST(DetailControl, FrameTimesAndTitles) {
    char title[64];
    int n = 100;
    EXPECT_FALSE(adjust_detail(n, frame_rate(-5), 1.0, 600)) << "a wrapped clock";
    EXPECT_EQ(n, 100);

    EXPECT_EQ(frame_rate(10), 100.0f);
    EXPECT_TRUE(adjust_detail(n, frame_rate(10), 0.75, 600));
    EXPECT_EQ(n, 106) << "+ truncation of 8 * 0.75";
    format_title(title, sizeof title, frame_rate(10));
    EXPECT_STREQ(title, "lumora - 100 fps ");
    format_title(title, sizeof title, frame_rate(30));
    EXPECT_STREQ(title, "lumora -  33 fps ");

    n = 100;
    adjust_detail(n, frame_rate(33), 0.5, 600);
    EXPECT_EQ(n, 100) << "30.3 fps with a gain of 0.5 adds only 0.52";
    adjust_detail(n, frame_rate(100), 0.5, 600);
    EXPECT_EQ(n, 99) << "10 fps with a gain of 0.5 takes 0.5 off";
    adjust_detail(n, frame_rate(50), 1.0, 600);
    EXPECT_EQ(n, 99) << "exactly 20 fps";
    for (int d : {0, 5, 10, 20, 100, 1000, 5000}) {
        adjust_detail(n, frame_rate(d), 0.0, 600);
        EXPECT_EQ(n, 99) << "no gain in silence, frame of " << d << " ms";
    }
}

// Caught first: a detail at its floor whose frames took under 10 ms was never measured again,
// so a huge window made small again kept its waves coarse (or, with no floor, flat) for good.
TEST(DetailControl, FastFramesStillRaiseTheDetail) {
    int n = min_steps;
    for (int d : {9, 5, 0}) {
        EXPECT_FALSE(adjust_detail(n, frame_rate(d), 0.5, 600)) << "the title keeps its text";
    }
    EXPECT_EQ(n, min_steps + 3 * 4) << "each counts as a 100 fps frame: + 8 * 0.5";
    for (int k = 0; k < 200; ++k)
        adjust_detail(n, frame_rate(3), 1.0, 600);
    EXPECT_EQ(n, 600) << "up to the width";
}

TEST(DetailControl, StaysWithinTheFloorAndTheWidth) {
    int n = 100;
    adjust_detail(n, frame_rate(10), 1e300, 600); // a huge but finite gain
    EXPECT_EQ(n, 600);
    adjust_detail(n, frame_rate(1000), 1e300, 600);
    EXPECT_EQ(n, min_steps);
    adjust_detail(n, frame_rate(1000), 1.0, 600);
    EXPECT_EQ(n, min_steps) << "never below the floor, however slow the frames";
    n = 598;
    adjust_detail(n, frame_rate(10), 1.0, 600);
    adjust_detail(n, frame_rate(10), 1.0, 600);
    EXPECT_EQ(n, 600) << "the detail rises no higher than the width";
    // a window that shrinks for a moment does not throw the detail away
    n = 300;
    adjust_detail(n, frame_rate(50), 1.0, 1);
    EXPECT_EQ(n, 300);
    EXPECT_EQ(clamp_steps(n, 1), 1) << "the frame uses what fits";
    adjust_detail(n, frame_rate(40), 1.0, 1);
    EXPECT_EQ(n, 300) << "nor lets it grow past what it was";
    adjust_detail(n, frame_rate(100), 1.0, 1);
    EXPECT_EQ(n, 299) << "slow frames still lower it";
}

// Caught first: with the raw block peak as gain, a microphone peaking at 0.05 (+0.4 at most per
// frame, truncated away) could only ever lower the detail.
TEST(DetailControl, GainIsThePeakAgainstTheRunningVolume) {
    EXPECT_EQ(detail_gain(0.5, 1.0), 0.5) << "at start the running volume is 1";
    EXPECT_EQ(detail_gain(0.05, 0.05), 1.0) << "a quiet microphone, once the volume has settled";
    EXPECT_EQ(detail_gain(0.001, 1.0), 0.0) << "the gate is closed: nothing was drawn";
    int n = 100;
    adjust_detail(n, frame_rate(20), detail_gain(0.05, 0.05), 600);
    EXPECT_EQ(n, 103);
}

// The end-to-end tests read the running window's picture at these offsets.
static_assert(offsetof(picture, n_steps) == 0 && offsetof(picture, global_volume) == 8 &&
              offsetof(picture, hue) == 16 && offsetof(picture, silent_frames) == 24);

TEST(RunningVolume, AttackReleaseAndGate) {
    double v = 1.0;
    volume_attack(v, 0.5);
    EXPECT_EQ(v, 1.0);
    volume_release(v, 0.5);
    EXPECT_DOUBLE_EQ(v, 0.995);
    volume_attack(v, 3.0);
    EXPECT_EQ(v, 3.0) << "a loud block raises it at once";
    volume_release(v, 0.001);
    EXPECT_EQ(v, 3.0) << "silence leaves it alone";
    EXPECT_FALSE(gate_open(0.001));
    EXPECT_TRUE(gate_open(0.0011));
}

// Records what a frame would draw.
struct recorder {
    int fades = 0, waves = 0, vertices = 0;
    std::vector<float> alpha;
    std::vector<std::vector<float>> ys; // per wave, the curve's heights
    void fade() { ++fades; }
    void wave(float, float, float, float a, const float *, const float *y, int count) {
        ++waves;
        vertices += count;
        alpha.push_back(a);
        ys.emplace_back(y, y + count);
    }
};

class Frame : public ::testing::Test {
  protected:
    void SetUp() override { ft_init(); }
    void TearDown() override { ft_close(); }
    // a block holding a sine on bin k, analysed as the display does
    void tone(int k, double amplitude) {
        std::vector<double> block(ft_size);
        for (int n = 0; n < ft_size; ++n)
            block[n] = amplitude * std::sin(2 * std::numbers::pi * k * n / ft_size);
        ft_process(block.data());
        peak = 0;
        for (double x : block)
            peak = std::max(peak, x);
    }
    void frame(recorder &r, int w = 600, int h = 300, int n_steps = 100) {
        paint_frame(r, ft_get_spectrum(), ft_get_max(), peak, w, h, n_steps, hue, volume);
    }
    double peak = 0, hue = 0, volume = 1.0;
};

TEST_F(Frame, SilenceDrawsOnlyTheFade) {
    std::vector<double> quiet(ft_size, 0.0005);
    ft_process(quiet.data());
    peak = 0.0005;
    recorder r;
    frame(r);
    frame(r);
    EXPECT_EQ(r.fades, 2);
    EXPECT_EQ(r.waves, 0);
    EXPECT_NEAR(hue, 0.02, 1e-15) << "the hue still turns";
    EXPECT_EQ(volume, 1.0);
}

TEST_F(Frame, ToneDrawsItsBinHighestWithItsHalfPeriods) {
    const int k = 10;
    tone(k, 0.5);
    recorder r;
    frame(r);
    // the other bins hold rounding noise only (about 1e-13 of the peak): flat, so not drawn
    ASSERT_GE(r.waves, 1);
    EXPECT_LT(r.waves, 10);
    EXPECT_EQ(r.vertices, r.waves * 101);
    size_t highest = 0;
    float swing = 0;
    for (size_t n = 0; n < r.ys.size(); ++n)
        for (float y : r.ys[n])
            if (std::fabs(y - 0.5f) > swing) {
                swing = std::fabs(y - 0.5f);
                highest = n;
            }
    // p / volume = 0.5, m / M = 1: swing (w / 2h) * 0.5 / pi
    EXPECT_NEAR(swing, 0.5 / std::numbers::pi, 1e-3);
    int crossings = 0, side = 0;
    for (float y : r.ys[highest]) {
        int s = (y > 0.5f + 1e-6f) - (y < 0.5f - 1e-6f);
        crossings += s != 0 && side != 0 && s != side;
        if (s != 0)
            side = s;
    }
    EXPECT_EQ(crossings, k - 1) << "k half-periods have k - 1 inner zeros";
}

TEST_F(Frame, NoiseDrawsEveryWave) {
    ft_process(noise(1).data());
    peak = 0.5;
    recorder r;
    frame(r);
    EXPECT_EQ(r.waves, last_bin - first_bin + 1);
    EXPECT_EQ(r.alpha[0], 1.0f) << "bin 2 opaque";
}

TEST_F(Frame, VolumeFollowsTheSound) {
    tone(50, 0.05);
    recorder r;
    frame(r);
    EXPECT_EQ(volume, 1.0) << "quieter than the start value: no attack";
    volume_release(volume, peak);
    EXPECT_NEAR(volume, 0.99 + 0.01 * peak, 1e-12);
    tone(50, 2.0);
    frame(r);
    EXPECT_EQ(volume, peak) << "a loud block raises the volume before drawing";
    EXPECT_GT(peak, 1.99);
}

// A frame that is not drawn (long before the first one a render writes) must leave the picture's
// state exactly as a drawn one does, or everything after it would be drawn differently. Caught
// first: a step that released the volume in silence too, past the gate.
TEST_F(Frame, AStepWithoutDrawingKeepsTheSameState) {
    picture drawn, stepped;
    for (int k = 0; k < 300; ++k) {
        const double level = k % 50 < 20 ? 0.02 + 0.01 * (k % 7) : k % 50 < 35 ? 0.0 : 0.9;
        tone(3 + k % 40, level);
        if (!picture_rests(drawn, peak)) {
            recorder r;
            paint_frame(r, ft_get_spectrum(), ft_get_max(), peak, 600, 300, drawn.n_steps,
                        drawn.hue, drawn.global_volume);
            picture_after(drawn, peak);
        }
        if (!picture_rests(stepped, peak))
            picture_step(stepped, peak);
        ASSERT_EQ(drawn.hue, stepped.hue) << "frame " << k;
        ASSERT_EQ(drawn.global_volume, stepped.global_volume) << "frame " << k;
        ASSERT_EQ(drawn.silent_frames, stepped.silent_frames) << "frame " << k;
    }
    EXPECT_EQ(drawn.silent_frames, 0);
}

TEST_F(Frame, NoHeightOrWidthDrawsOnlyTheFade) {
    tone(20, 0.5);
    for (auto [w, h] : {std::pair{600, 0}, std::pair{0, 300}}) {
        recorder r;
        frame(r, w, h);
        EXPECT_EQ(r.fades, 1);
        EXPECT_EQ(r.waves, 0) << w << "x" << h;
    }
}

TEST_F(Frame, AnyDetailLevelFinishes) {
    tone(20, 0.5);
    for (int n_steps : {-3, 0, 1, 7, 100, 601, 6000}) {
        recorder r;
        auto start = std::chrono::steady_clock::now();
        frame(r, 7, 300, n_steps);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
        EXPECT_LE(r.vertices, r.waves * 9);
    }
}

} // namespace
