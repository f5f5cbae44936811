// SPDX-License-Identifier: GPL-3.0-or-later
#include "picture/cpu_painter.h"
#include "picture/cpu_spans.h"
#include "picture/frame.h"
#include "picture/ft.h"
#include "picture/painter_choice.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <random>
#include <vector>

namespace {

// Each vector unit's kernels give their plain twin's bytes: spans of every length from 1 to past
// two vectors, at every offset, with planes from real triangles and from slivers whose colours
// leave [0, 1]. Caught first: a tail that read and wrote the pixels past the span's end.
TEST(ProcessorPainter, EveryVectorUnitMatchesThePlainKernels) {
    int64_t targets[32];
    const int count = cpu_targets(targets, 32);
    ASSERT_GT(count, 0);
    std::mt19937 rng(9);
    std::uniform_real_distribution<float> u(-0.05f, 0.05f), c(-0.3f, 1.3f);
    // colours whose span stays within a quarter step of [0, 1], which the kernels draw without
    // clamping: both ends of the span at the edge of that margin
    std::uniform_real_distribution<float> edge(-0.25f / 255, 0.25f / 255);
    for (int t = 0; t < count; ++t) {
        cpu_target_choose(targets[t]);
        SCOPED_TRACE(cpu_target_name(targets[t]));
        const bool fused = cpu_target_fuses();
        const cpu_span_fn span = cpu_span_best();
        for (int n = 0; n < 400; ++n) {
            cpu_planes p;
            for (int k = 0; k < 4; ++k) {
                p.dadx[k] = n % 3 ? u(rng) : 0.0f;
                p.dady[k] = n % 3 ? u(rng) : 0.0f;
                p.a0[k] = n % 3 ? c(rng) : static_cast<float>(rng() % 2) + edge(rng);
            }
            std::vector<uint8_t> a(4 * 80), b;
            for (uint8_t &v : a)
                v = static_cast<uint8_t>(rng());
            for (size_t k = 3; k < a.size(); k += 4)
                a[k] = 0;
            b = a;
            const int lo = n % 13, hi = lo + n % 61;
            span(a.data(), lo, hi, static_cast<float>(n % 40), p);
            cpu_span_plain(b.data(), lo, hi, static_cast<float>(n % 40), p, fused);
            ASSERT_EQ(a, b) << "span " << lo << " to " << hi;
        }
        std::vector<float> x(37), y(37), wx(37), wy(37), px(37), py(37);
        std::vector<int32_t> gx(37), gy(37), qx(37), qy(37);
        for (int k = 0; k < 37; ++k) {
            x[k] = c(rng);
            y[k] = c(rng);
        }
        cpu_vertices_best()(x.data(), y.data(), 37, 1280, 720, wx.data(), wy.data(), gx.data(),
                            gy.data());
        cpu_vertices_plain(x.data(), y.data(), 37, 1280, 720, px.data(), py.data(), qx.data(),
                           qy.data(), fused);
        EXPECT_EQ(wx, px);
        EXPECT_EQ(wy, py);
        EXPECT_EQ(gx, qx);
        EXPECT_EQ(gy, qy);
    }
    cpu_target_choose(-1);
}

// Ten silent frames halve every pixel to black, as the window's picture rests in silence.
TEST(ProcessorPainter, SilenceFadesTheWholePictureToBlack) {
    ft_init();
    cpu_picture_size(97, 31);
    frame_reserve(97);
    std::vector<double> block(ft_size);
    std::mt19937 rng(4);
    std::uniform_real_distribution<double> noise(-0.9, 0.9);
    for (double &v : block)
        v = noise(rng);
    picture pic;
    cpu_painter paint;
    auto frame = [&](double p) {
        ft_process(block.data());
        paint_frame(paint, ft_get_spectrum(), ft_get_max(), p, 97, 31, pic.n_steps, pic.hue,
                    pic.global_volume);
        paint.finish();
    };
    frame(0.9);
    const unsigned char *px = cpu_picture_pixels();
    EXPECT_GT(std::count_if(px, px + 97 * 31 * 4, [](unsigned char v) { return v > 100; }), 0);
    std::fill(block.begin(), block.end(), 0.0);
    for (int k = 0; k < fade_frames; ++k)
        frame(0);
    EXPECT_EQ(std::count(px, px + 97 * 31 * 4, 0), 97 * 31 * 4);
    ft_close();
}

// A frame drawn in parts gives the bytes of the frame drawn whole: with room for a wave at a
// time, for a few steps, and for less than a wave of the full width, which then goes in pieces.
// Loud noise makes every wave tall, and the picture is tall enough for many bands. Caught first:
// a wave longer than the store, written past its end.
TEST(ProcessorPainter, AFrameInPartsGivesTheSameBytes) {
    ft_init();
    const int w = 61, h = 45;
    frame_reserve(w);
    std::mt19937 rng(8);
    std::uniform_real_distribution<double> noise(-0.9, 0.9);
    std::vector<std::vector<double>> blocks(2, std::vector<double>(ft_size));
    for (auto &block : blocks)
        for (double &v : block)
            v = noise(rng);
    auto draw = [&](int vertex_room, int step_room) {
        cpu_store_size(vertex_room, step_room);
        cpu_picture_size(w, h);
        picture pic;
        pic.n_steps = w;
        cpu_painter paint;
        for (const auto &block : blocks) {
            ft_process(block.data());
            paint_frame(paint, ft_get_spectrum(), ft_get_max(), 0.9, w, h, pic.n_steps, pic.hue,
                        pic.global_volume);
            paint.finish();
        }
        const unsigned char *px = cpu_picture_pixels();
        return std::vector<unsigned char>(px, px + 4 * w * h);
    };
    const std::vector<unsigned char> whole = draw(1 << 18, 4096);
    EXPECT_GT(std::count_if(whole.begin(), whole.end(), [](unsigned char v) { return v > 100; }),
              w * h / 4);
    EXPECT_EQ(draw(20, 4096), whole) << "a wave longer than the store";
    EXPECT_EQ(draw(w + 2, 4096), whole) << "room for one wave at a time";
    EXPECT_EQ(draw(1 << 18, 3), whole) << "room for three steps";
    cpu_store_size(1 << 18, 4096);
    ft_close();
}

TEST(PainterChoice, NamesAndSoftwareRenderers) {
    painter_choice c = painter_choice::gl;
    EXPECT_TRUE(painter_parse("auto", c) && c == painter_choice::automatic);
    EXPECT_TRUE(painter_parse("cpu", c) && c == painter_choice::cpu);
    for (const char *bad : {static_cast<const char *>(nullptr), "", "GL", "vulkan", "cpu "})
        EXPECT_FALSE(painter_parse(bad, c));
    EXPECT_TRUE(painter_on_cpu(painter_choice::automatic, "llvmpipe (LLVM 15.0.6, 256 bits)"));
    EXPECT_TRUE(painter_on_cpu(painter_choice::automatic, "softpipe"));
    EXPECT_TRUE(painter_on_cpu(painter_choice::automatic, "Software Rasterizer"));
    EXPECT_FALSE(painter_on_cpu(painter_choice::automatic, "AMD Radeon RX 6600 (radeonsi)"));
    EXPECT_FALSE(painter_on_cpu(painter_choice::gl, "llvmpipe"));
    EXPECT_TRUE(painter_on_cpu(painter_choice::cpu, "Mesa Intel(R) UHD Graphics 620"));
}

} // namespace
