// SPDX-License-Identifier: GPL-3.0-or-later
#include "frame.h"
#include "ft.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <numbers>
#include <vector>

double advance_hue(double hue) { return std::fmod(hue + 0.01, 1.0); }

void volume_attack(double &global_volume, double p) {
    if (p > global_volume)
        global_volume = p;
}

void volume_release(double &global_volume, double p) {
    if (gate_open(p))
        global_volume = global_volume * 0.99 + p * 0.01;
}

bool gate_open(double p) { return p > silence_gate; }

const double *block_centre(const double *block, double &p, double *room) {
    double sum = 0, lo = block[0], hi = block[0];
    for (int n = 0; n < ft_size; ++n) {
        sum += block[n];
        lo = std::min(lo, block[n]);
        hi = std::max(hi, block[n]);
    }
    const double mean = sum / ft_size;
    if (!(std::fabs(mean) > (hi - lo) / 2))
        return block;
    p = 0;
    for (int n = 0; n < ft_size; ++n) {
        room[n] = block[n] - mean;
        p = std::max(p, room[n]);
    }
    return room;
}

double bin_hue(double m, double M, int i, double hue) {
    return std::fmod(m / M * 3 * i / 1102 + hue, 1.0);
}

float bin_alpha(double m, double M, int i) {
    double a = m * 0.2 / M;
    return static_cast<float>(a + (1 - a) / (i - 1));
}

double wave_amplitude(int w, int h, double p, double global_volume, double m, double M) {
    return (w * 0.5 / h) * (p / global_volume) * m / M;
}

int clamp_steps(int n_steps, int w) {
    const int most = std::max(w, 1);
    return std::clamp(n_steps, std::min(min_steps, most), most);
}

int next_column(int j, int w, double step) {
    int next = static_cast<int>(j + w * step);
    return next > j ? next : j + 1;
}

float wave_height(double phase, int i, double amplitude) {
    return static_cast<float>(std::sin(phase * i) * amplitude / std::numbers::pi + 0.5);
}

// The walk's table: columns are distinct whole pixels below (step + 1) * w <= 2w.
static std::vector<float> xs, ys;
static std::vector<double> phases;

void frame_reserve(int w) {
    const std::size_t need = 2 * static_cast<std::size_t>(std::max(w, 0)) + 2;
    if (xs.size() < need) {
        xs.resize(need);
        ys.resize(need);
        phases.resize(need);
    }
}

column_table walk_columns(int w, double step) {
    frame_reserve(w);
    int count = 0;
    for (int j = 0; walk_continues(j, w, step); j = next_column(j, w, step)) {
        const double x = static_cast<double>(j) / w;
        xs[count] = static_cast<float>(x);
        phases[count++] = x * std::numbers::pi;
    }
    return {xs.data(), phases.data(), ys.data(), count};
}

float frame_rate(int d) { return static_cast<float>(1 / (d / 1000.0)); }

double detail_gain(double p, double global_volume) { return gate_open(p) ? p / global_volume : 0; }

bool adjust_detail(int &n_steps, float fps, double gain, int w) {
    // a negative frame time means the millisecond clock wrapped: nothing to learn from it
    if (!(fps >= 0))
        return false;
    double next = n_steps + (std::min(fps, 100.0f) - 20) * 0.1 * gain;
    // Clamped while still floating point, so that no gain can overflow the conversion. The
    // detail may rise up to the window's width; a window that has just shrunk does not pull it
    // down (the frame clamps what it uses), or a moment at one pixel wide would throw it away.
    const double upper = std::max({w, n_steps, min_steps});
    if (!std::isnan(next))
        n_steps = static_cast<int>(std::clamp(next, static_cast<double>(min_steps), upper));
    return fps <= 100;
}

void format_title(char *buf, std::size_t size, float fps) {
    std::snprintf(buf, size, "lumora - %3.0f fps ", fps);
}
