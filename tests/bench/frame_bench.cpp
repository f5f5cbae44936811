// One frame's own CPU work at 600 x 300 with 100 steps and a loud spectrum: the analysis and
// the arithmetic of all 1100 waves, with the GL calls left out. The counter "allocs" reports
// C++ allocations per frame, which must be 0.
#include "frame.h"
#include "ft.h"

#include <benchmark/benchmark.h>
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

// Keeps a trace of what it is given, so that nothing is optimised away, at the cost of a store
// per vertex (a GL call is far dearer).
struct sum_painter {
    double sum = 0;
    float last = 0;
    void fade() {}
    void begin_wave(float r, float g, float b, float a, int) { sum += r + g + b + a + last; }
    void vertex(float x, float y) { last = x + y; }
    void end_wave() {}
};

static void frame_arithmetic(benchmark::State &state) {
    ft_init();
    std::vector<double> block(ft_size);
    for (int n = 0; n < ft_size; ++n) // a loud chord with some noise: every bin nonzero
        block[n] = 0.4 * std::sin(2 * std::numbers::pi * 50 * n / ft_size) +
                   0.3 * std::sin(2 * std::numbers::pi * 333 * n / ft_size) +
                   0.2 * std::sin(n * n * 0.001);
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
