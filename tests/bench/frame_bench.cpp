// SPDX-License-Identifier: GPL-3.0-or-later
// One frame's own CPU work with a loud spectrum: the analysis and the arithmetic of all 1100
// waves, with the GL calls left out.
//   frame_arithmetic      600 x 300 at 100 steps; the counter "allocs" reports C++ allocations
//                         per frame, which must be 0
//   vertex_arithmetic     the waves' arithmetic at the window sizes and full detail, the plain
//                         std::sin way and the four-at-a-time way in turn on the same frames:
//                         milliseconds a frame, nanoseconds a vertex, and their ratio
#include "picture/frame.h"
#include "picture/ft.h"

#include <algorithm>
#include <benchmark/benchmark.h>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <new>
#include <numbers>
#include <vector>

// Counting replacements of the global allocation functions. GCC cannot see that the matching
// delete below also frees with free(), hence the silenced warning.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
static long allocations;
void *operator new(std::size_t n) {
    ++allocations;
    if (void *p = std::malloc(n ? n : 1))
        return p;
    throw std::bad_alloc();
}
void operator delete(void *p) noexcept { std::free(p); }
void operator delete(void *p, std::size_t) noexcept { std::free(p); }

// Only sums a little of what it is given, so that the frame is not optimised away without adding
// a cost per vertex of its own (a GL painter's is far dearer, and not the arithmetic's).
struct sum_painter {
    double sum = 0;
    void fade() {}
    void wave(float r, float g, float b, float a, const float *x, const float *y, int count) {
        sum += r + g + b + a + x[count - 1] + y[count / 2];
    }
};

// a loud chord with some noise, music-like: every bin nonzero, every wave drawn
static std::vector<double> music() {
    std::vector<double> block(ft_size);
    for (int n = 0; n < ft_size; ++n)
        block[n] = 0.4 * std::sin(2 * std::numbers::pi * 50 * n / ft_size) +
                   0.3 * std::sin(2 * std::numbers::pi * 333 * n / ft_size) +
                   0.2 * std::sin(n * n * 0.001);
    return block;
}

static void frame_arithmetic(benchmark::State &state) {
    ft_init();
    const std::vector<double> block = music();
    double hue = 0, volume = 1.0;
    sum_painter paint;
    long before = allocations;
    for (auto _ : state) {
        ft_process(block.data());
        paint_frame(paint, ft_get_spectrum(), ft_get_max(), 0.9, 600, 300, 100, hue, volume);
        benchmark::DoNotOptimize(paint.sum);
    }
    state.counters["allocs"] = benchmark::Counter(static_cast<double>(allocations - before),
                                                  benchmark::Counter::kAvgIterations);
    ft_close();
}
BENCHMARK(frame_arithmetic)->Unit(benchmark::kMicrosecond);

static void vertex_arithmetic(benchmark::State &state) {
    const int w = static_cast<int>(state.range(0)), h = static_cast<int>(state.range(1));
    const int steps = static_cast<int>(state.range(2));
    ft_init();
    frame_reserve(w);
    const std::vector<double> block = music();
    ft_process(block.data());
    sum_painter paint;
    std::vector<double> plain, wide;
    long vertices = 0;
    auto frame = [&](heights_fn way) {
        wave_heights_use(way);
        double hue = 0, volume = 1.0;
        const auto start = std::chrono::steady_clock::now();
        paint_frame(paint, ft_get_spectrum(), ft_get_max(), 0.9, w, h, steps, hue, volume);
        const std::chrono::duration<double, std::milli> took =
            std::chrono::steady_clock::now() - start;
        benchmark::DoNotOptimize(paint.sum);
        return took.count();
    };
    for (auto _ : state) {
        plain.push_back(frame(wave_heights_plain));
        wide.push_back(frame(wave_heights_wide));
    }
    wave_heights_use(nullptr);
    const int waves = last_bin - first_bin + 1;
    vertices = static_cast<long>(waves) * walk_columns(w, 1.0 / clamp_steps(steps, w)).count;
    auto median = [](std::vector<double> v) {
        std::sort(v.begin(), v.end());
        return v.empty() ? 0.0 : v[v.size() / 2];
    };
    state.counters["vertices"] = static_cast<double>(vertices);
    state.counters["plain_ms"] = median(plain);
    state.counters["plain_ns_vertex"] = median(plain) * 1e6 / vertices;
    state.counters["wide_ms"] = median(wide);
    state.counters["wide_ns_vertex"] = median(wide) * 1e6 / vertices;
    state.counters["ratio"] = wide.empty() ? 0 : median(plain) / median(wide);
    ft_close();
}
BENCHMARK(vertex_arithmetic)
    ->Args({600, 300, 100})
    ->Args({600, 300, 600})
    ->Args({1920, 1080, 1920})
    ->Args({3840, 2160, 3840})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(15);
