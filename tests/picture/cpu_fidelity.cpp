// SPDX-License-Identifier: GPL-3.0-or-later
// probe
#include "picture/cpu_painter.h"
#include "picture/cpu_spans.h"
#include "picture/frame.h"
#include "picture/ft.h"
#include "picture/paint.h"
#include "video/offscreen.h"
#include <algorithm>
#include <chrono>

#include <GL/gl.h>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

struct diff {
    long long bytes = 0, differ = 0, coverage = 0;
    int largest = 0;
};

diff compare(const unsigned char *a, const unsigned char *b, int w, int h) {
    diff d;
    for (long long k = 0; k < static_cast<long long>(w) * h; ++k) {
        bool pa = false, pb = false;
        for (int c = 0; c < 3; ++c) {
            const int x = a[4 * k + c], y = b[4 * k + c];
            d.bytes++;
            if (x != y) {
                d.differ++;
                d.largest = std::max(d.largest, std::abs(x - y));
            }
            pa = pa || x;
            pb = pb || y;
        }
        d.coverage += pa != pb;
    }
    return d;
}

} // namespace

int frames(int argc, char **argv);

int main(int argc, char **argv) {
    if (argc > 1 && std::string(argv[1]) == "frames")
        return frames(argc - 1, argv + 1);
    const int w = argc > 2 ? std::atoi(argv[2]) : 64, h = argc > 3 ? std::atoi(argv[3]) : 48;
    std::string error;
    if (!offscreen_open(w, h, false, error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 77;
    }
    std::mt19937 rng(argc > 4 ? std::atoi(argv[4]) : 1);
    std::uniform_real_distribution<float> u(-0.2f, 1.2f), c(0, 1);
    const int n = argc > 1 ? std::atoi(argv[1]) : 100;
    long long bad = 0, covbad = 0, bytes = 0;
    int largest = 0;
    for (int t = 0; t < n; ++t) {
        float x[3], y[3], col[3][4];
        for (int k = 0; k < 3; ++k) {
            x[k] = u(rng);
            y[k] = u(rng);
            if (t % 3 == 0) { // on pixel centres and edges
                x[k] = (std::floor(x[k] * w) + (rng() % 2 ? 0.5f : 0.0f)) / w;
                y[k] = (std::floor(y[k] * h) + (rng() % 2 ? 0.5f : 0.0f)) / h;
            }
            for (int j = 0; j < 4; ++j)
                col[k][j] = c(rng);
        }
        glClearColor(0, 0, 0, 0);
        glClear(GL_COLOR_BUFFER_BIT);
        glEnable(GL_BLEND);
        glBlendFunc(GL_SRC_ALPHA, GL_ONE_MINUS_SRC_ALPHA);
        glShadeModel(GL_SMOOTH);
        // a grey ground, so that the blend shows
        glColor4f(0.5f, 0.3f, 0.7f, 1);
        glBegin(GL_QUADS);
        glVertex2f(0, 0);
        glVertex2f(1, 0);
        glVertex2f(1, 1);
        glVertex2f(0, 1);
        glEnd();
        glBegin(GL_TRIANGLES);
        for (int k = 0; k < 3; ++k) {
            glColor4f(col[k][0], col[k][1], col[k][2], col[k][3]);
            glVertex2f(x[k], y[k]);
        }
        glEnd();
        offscreen_read();
        const unsigned char *gl = offscreen_last();
        cpu_picture_size(w, h);
        const float gx[3] = {0, 1, 1}, gy[3] = {0, 0, 1}, hx[3] = {0, 1, 0}, hy[3] = {0, 1, 1};
        const float g[3][4] = {{0.5f, 0.3f, 0.7f, 1}, {0.5f, 0.3f, 0.7f, 1}, {0.5f, 0.3f, 0.7f, 1}};
        cpu_triangle(gx, gy, g);
        cpu_triangle(hx, hy, g);
        cpu_triangle(x, y, col);
        cpu_painter p;
        p.finish();
        const diff d = compare(gl, cpu_picture_pixels(), w, h);
        if (d.differ) {
            ++bad;
            bytes += d.differ;
            covbad += d.coverage > 0;
            largest = std::max(largest, d.largest);
            if (bad <= 5) {
                std::printf("triangle %d: %lld bytes differ (largest %d), %lld pixels' coverage\n",
                            t, d.differ, d.largest, d.coverage);
                for (int k = 0; k < 3; ++k)
                    std::printf("  v%d %.9g %.9g  rgba %.9g %.9g %.9g %.9g\n", k, x[k], y[k],
                                col[k][0], col[k][1], col[k][2], col[k][3]);
                const unsigned char *c = cpu_picture_pixels();
                int shown = 0;
                for (int k = 0; k < w * h * 4 && shown < 4; ++k)
                    if ((k % 4) < 3 && gl[k] != c[k]) {
                        std::printf("  byte %d: gl %d cpu %d\n", k, gl[k], c[k]);
                        ++shown;
                    }
            }
        }
    }
    std::printf("%lld of %d triangles differ (%lld bytes), %lld in coverage; largest %d\n", bad, n,
                bytes, covbad, largest);
    offscreen_close();
}

// frames W H DETAIL N KIND: N frames of a sound through both painters, compared after each
int frames(int argc, char **argv) {
    if (argc < 6)
        return 2;
    const int w = std::atoi(argv[1]), h = std::atoi(argv[2]), detail = std::atoi(argv[3]);
    const int n = std::atoi(argv[4]);
    const std::string kind = argv[5];
    std::string error;
    if (!offscreen_open(w, h, false, error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 77;
    }
    ft_init();
    cpu_picture_size(w, h);
    frame_reserve(w);
    std::mt19937 rng(11);
    std::uniform_real_distribution<double> noise(-1, 1);
    std::vector<double> block(ft_size);
    picture a, b;
    a.n_steps = b.n_steps = detail;
    gl_painter gp;
    cpu_painter cp;
    long long bytes = 0, differ = 0;
    double sq = 0, gl_s = 0, cpu_s = 0;
    int largest = 0;
    for (int f = 0; f < n; ++f) {
        for (int k = 0; k < ft_size; ++k) {
            const double t = (f * 1470 + k) / 44100.0;
            double v = 0;
            if (kind == "tone")
                v = std::round(16384 * std::sin(2 * M_PI * 1000 * t)) / 32768;
            else if (kind == "noise")
                v = 0.9 * noise(rng);
            else // music-like: a bass, a melody that moves, and quieter noise
                v = 0.4 * std::sin(2 * M_PI * (110 + 20 * (f % 7)) * t) +
                    0.25 * std::sin(2 * M_PI * (660 + 110 * (f % 5)) * t) + 0.08 * noise(rng);
            block[k] = (f / 20) % 4 == 3 ? 0 : v; // a rest now and then: the fade alone
        }
        const double p = std::max(0.0, *std::max_element(block.begin(), block.end()));
        const unsigned char *gl = nullptr;
        const auto t0 = std::chrono::steady_clock::now();
        show_block(gp, a, block.data(), p, w, h, [&] {
            offscreen_read();
            gl = offscreen_last();
        });
        const auto t1 = std::chrono::steady_clock::now();
        show_block(cp, b, block.data(), p, w, h, [] {});
        const auto t2 = std::chrono::steady_clock::now();
        gl_s += std::chrono::duration<double>(t1 - t0).count();
        cpu_s += std::chrono::duration<double>(t2 - t1).count();
        const unsigned char *c = cpu_picture_pixels();
        for (long long k = 0; k < 4LL * w * h; ++k) {
            if (k % 4 == 3)
                continue;
            const int d = std::abs(gl[k] - c[k]);
            ++bytes;
            differ += d != 0;
            sq += d * d;
            largest = std::max(largest, d);
        }
    }
    const double mse = sq / bytes;
    std::printf("%s %dx%d detail %d, %d frames: %.5f %% identical, largest %d, PSNR %.1f dB\n",
                kind.c_str(), w, h, detail, n, 100.0 * (bytes - differ) / bytes, largest,
                mse > 0 ? 10 * std::log10(255.0 * 255 / mse) : 999.0);
    std::printf("  llvmpipe %.1f ms a frame, processor painter %.1f ms: %.1f times\n",
                1000 * gl_s / n, 1000 * cpu_s / n, gl_s / cpu_s);
    ft_close();
    offscreen_close();
    return 0;
}
