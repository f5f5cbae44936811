// SPDX-License-Identifier: GPL-3.0-or-later
// Cost of the capture callback per 2205-sample block (its period is 50 ms).
#include "../capture/fake_portaudio.h"
#include "capture/pa.h"

#include <benchmark/benchmark.h>
#include <cmath>
#include <vector>

static void capture_callback(benchmark::State &state) {
    pa_init();
    std::vector<float> block(pa_block_size);
    for (int n = 0; n < pa_block_size; ++n)
        block[n] = static_cast<float>(0.5 * std::sin(n * 0.1));
    for (auto _ : state) {
        fake_pa_deliver(block.data(), block.size());
        benchmark::DoNotOptimize(pa_get_sample());
    }
}
BENCHMARK(capture_callback);
