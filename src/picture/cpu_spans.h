// SPDX-License-Identifier: GPL-3.0-or-later
// The processor painter's two inner loops, each written once with Highway for every vector unit
// (SSE4, AVX2 and AVX-512 on x86, NEON on ARM, chosen at run time) and once plainly, one value at
// a time, for the tests to compare them against. Called from the painter's tasks, any thread.
#pragma once

#include <cstdint>

// The plane of one colour channel over a triangle: the value at pixel (px, py) of the picture's
// rows top-down is fma(dady, py, fma(dadx, px, a0)), as a GL rasteriser evaluates it.
struct cpu_planes {
    float dadx[4], dady[4], a0[4]; // r, g, b, a
};

// Blends pixels lo to hi (inclusive) of one row, BGRA with the fourth byte kept 0, with the
// colours of the planes at row py: each channel and the opacity are clamped to [0, 1], taken to
// 8 bits as round-half-even of c * 255, and blended as GL blends 8-bit channels with
// (SRC_ALPHA, ONE_MINUS_SRC_ALPHA): min(255, m(c, a) + m(d, 255 - a)) with
// m(x, y) = (x * y + (x * y >> 8) + 128) >> 8, x * y / 255 rounded (one lower for 24 of the 65536
// products, as the rasteriser it matches). Nothing outside lo to hi is read or written.
using cpu_span_fn = void (*)(uint8_t *row, int lo, int hi, float py, const cpu_planes &planes);

// Window coordinates of count vertices of the unit square, as GL's viewport takes them to a w x h
// picture whose rows run top-down: X = fma(2x - 1, w / 2, w / 2), Y = fma(2y - 1, -h / 2, h / 2),
// and their places on the grid of 1/256 pixel with pixel centres on whole numbers:
// round-half-even of (X - 0.5) * 256.
using cpu_vertices_fn = void (*)(const float *x, const float *y, int count, int w, int h, float *wx,
                                 float *wy, int32_t *fx, int32_t *fy);

// The best kernels this processor runs.
cpu_span_fn cpu_span_best();
cpu_vertices_fn cpu_vertices_best();

// The plain twins. fused: multiply-adds in one rounding, as processors with FMA do them; without,
// as two (SSE4, and the plain way of older processors).
void cpu_span_plain(uint8_t *row, int lo, int hi, float py, const cpu_planes &planes, bool fused);
void cpu_vertices_plain(const float *x, const float *y, int count, int w, int h, float *wx,
                        float *wy, int32_t *fx, int32_t *fy, bool fused);

// For the tests: every target this build has kernels for and this processor runs, as Highway
// names them, and whether each fuses its multiply-adds. Choosing one makes the best kernels those
// of that target until the next choice (-1: the best again).
int cpu_targets(int64_t *targets, int most);
bool cpu_target_fuses();
int64_t cpu_target_best(); // the target the best kernels are of
const char *cpu_target_name(int64_t target);
void cpu_target_choose(int64_t target);
