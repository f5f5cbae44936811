// SPDX-License-Identifier: GPL-3.0-or-later
// Cost of analysing one block: the transform and the 1103 magnitudes and phases.
#include "picture/ft.h"

#include <benchmark/benchmark.h>
#include <cmath>
#include <vector>

static void spectrum_of_a_block(benchmark::State &state) {
    ft_init();
    std::vector<double> block(ft_size);
    for (int n = 0; n < ft_size; ++n)
        block[n] = 0.5 * std::sin(n * 0.1) + 0.1 * std::sin(n * 1.3);
    for (auto _ : state) {
        ft_process(block.data());
        benchmark::DoNotOptimize(ft_get_max());
    }
    ft_close();
}
BENCHMARK(spectrum_of_a_block);
