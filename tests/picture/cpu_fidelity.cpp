// SPDX-License-Identifier: GPL-3.0-or-later
// The processor's painter against OpenGL's, Mesa's llvmpipe through lumora-render's off-screen
// path (run with LP_PERF=no_rast_linear: llvmpipe's shortcut for tiles that only the fade quad
// covers halves 1 to 1, where every other path, and the painter, halve it to 0).
//   cpu_fidelity check   coverage of single triangles and of the awkward cases (degenerate
//                        triangles, vertices on pixel centres, shared edges, waves past the
//                        edges, 1 x 1, 1 x N and N x 1 pictures, the widest picture llvmpipe
//                        draws), then streams of frames of a tone, noise and music at two sizes
//                        and two details: each frame's PSNR at least 50 dB
//   cpu_fidelity frames W H DETAIL N KIND
//                        N frames of KIND (tone, noise, music) both ways: the identical share,
//                        the largest difference, PSNR, and the milliseconds a frame of each
//   cpu_fidelity sums W H DETAIL SOUND
//                        a sound (raw 16-bit mono at 44100 Hz) on the processor alone, 20
//                        frames a second: a checksum of every frame's picture, and the
//                        milliseconds a frame; the same bytes give the same sum
#include "picture/cpu_painter.h"
#include "picture/frame.h"
#include "picture/ft.h"
#include "picture/paint.h"
#include "raw_sound.h"
#include "video/offscreen.h"

#include <GL/gl.h>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <numbers>
#include <random>
#include <string>
#include <vector>

namespace {

int failures = 0;

void verdict(bool ok, const std::string &what) {
    std::printf("%s: %s\n", ok ? "ok" : "FAIL", what.c_str());
    failures += !ok;
}

struct diff {
    long long bytes = 0, differ = 0, coverage = 0;
    int largest = 0;
    double squares = 0, worst = 999; // worst: the lowest PSNR of a frame, where frames are kept
    void add(const unsigned char *a, const unsigned char *b, int w, int h) {
        for (long long k = 0; k < static_cast<long long>(w) * h; ++k) {
            bool lit_a = false, lit_b = false;
            for (int c = 0; c < 3; ++c) {
                const int x = a[4 * k + c], y = b[4 * k + c], d = std::abs(x - y);
                ++bytes;
                differ += d != 0;
                squares += d * d;
                largest = std::max(largest, d);
                lit_a = lit_a || x;
                lit_b = lit_b || y;
            }
            coverage += lit_a != lit_b;
        }
    }
    double psnr() const { return squares ? 10 * std::log10(255.0 * 255 * bytes / squares) : 999; }
    double identical() const { return bytes ? 100.0 * (bytes - differ) / bytes : 100; }
};

// Both pictures w x h and black.
bool open(int w, int h) {
    offscreen_close();
    std::string error;
    if (!offscreen_open(w, h, false, error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return false;
    }
    cpu_picture_size(w, h);
    frame_reserve(w);
    return true;
}

const unsigned char *gl_pixels() {
    offscreen_read();
    return offscreen_last();
}

void clear_both() {
    glClearColor(0, 0, 0, 0);
    glClear(GL_COLOR_BUFFER_BIT);
    cpu_picture_size(cpu_picture_width(), cpu_picture_height());
}

using tri = std::vector<float>; // x0 y0 x1 y1 x2 y2, then r g b a for each vertex

void draw_both(const std::vector<tri> &tris) {
    gl_painter gp;
    gp.begin();
    glBegin(GL_TRIANGLES);
    for (const tri &t : tris)
        for (int k = 0; k < 3; ++k) {
            glColor4f(t[6 + 4 * k], t[7 + 4 * k], t[8 + 4 * k], t[9 + 4 * k]);
            glVertex2f(t[2 * k], t[2 * k + 1]);
        }
    glEnd();
    for (const tri &t : tris) {
        const float x[3] = {t[0], t[2], t[4]}, y[3] = {t[1], t[3], t[5]};
        float c[3][4];
        for (int k = 0; k < 12; ++k)
            c[k / 4][k % 4] = t[6 + k];
        cpu_triangle(x, y, c);
    }
    cpu_painter().finish();
}

diff compare_now(int w, int h) {
    diff d;
    d.add(gl_pixels(), cpu_picture_pixels(), w, h);
    return d;
}

tri white(float x0, float y0, float x1, float y1, float x2, float y2, float a = 1) {
    return {x0, y0, x1, y1, x2, y2, 1, 1, 1, a, 1, 1, 1, a, 1, 1, 1, a};
}

// Random triangles, one at a time on black: the same pixels covered. A third have their vertices
// on pixel centres or pixel corners, where the rule for pixels on an edge decides.
void single_triangles(int w, int h, int count) {
    if (!open(w, h))
        return;
    std::mt19937 rng(5);
    std::uniform_real_distribution<float> u(-0.2f, 1.2f), c(0, 1);
    long long coverage = 0;
    diff colours;
    for (int n = 0; n < count; ++n) {
        float v[6];
        for (int k = 0; k < 6; ++k) {
            v[k] = u(rng);
            if (n % 3 == 0) {
                const int size = k % 2 ? h : w;
                v[k] = (std::floor(v[k] * size) + (rng() % 2 ? 0.5f : 0.0f)) / size;
            }
        }
        clear_both();
        draw_both({white(v[0], v[1], v[2], v[3], v[4], v[5])});
        coverage += compare_now(w, h).coverage;
        // the same triangle in colours, over a ground it is blended with
        clear_both();
        tri t = white(v[0], v[1], v[2], v[3], v[4], v[5]);
        for (int k = 6; k < 18; ++k)
            t[k] = c(rng);
        draw_both({white(-1, -1, 3, -1, -1, 3, 0.6f), t});
        colours.add(gl_pixels(), cpu_picture_pixels(), w, h);
    }
    verdict(coverage == 0, std::to_string(count) + " triangles at " + std::to_string(w) + "x" +
                               std::to_string(h) + ": " + std::to_string(coverage) +
                               " pixels covered differently");
    char line[160];
    std::snprintf(line, sizeof line,
                  "their colours: %.5f %% identical bytes, largest difference %d",
                  colours.identical(), colours.largest);
    verdict(colours.largest <= 1 && colours.psnr() >= 50, line);
}

void awkward_triangles() {
    const int w = 40, h = 30;
    if (!open(w, h))
        return;
    auto same = [&](const std::string &what, const std::vector<tri> &tris) {
        clear_both();
        draw_both(tris);
        const diff d = compare_now(w, h);
        verdict(d.coverage == 0 && d.largest <= 1,
                what + ": " + std::to_string(d.coverage) + " pixels covered differently");
    };
    same("degenerate triangles (a line, a point, two equal vertices)",
         {white(0.1f, 0.1f, 0.5f, 0.5f, 0.9f, 0.9f), white(0.3f, 0.3f, 0.3f, 0.3f, 0.3f, 0.3f),
          white(0.2f, 0.7f, 0.2f, 0.7f, 0.8f, 0.1f), white(0.1f, 0.5f, 0.9f, 0.5f, 0.5f, 0.5f)});
    // pixel centres are at (k + 0.5) / 40 and (k + 0.5) / 30
    auto cx = [&](float k) { return (k + 0.5f) / w; };
    auto cy = [&](float k) { return (k + 0.5f) / h; };
    same("vertices on pixel centres", {white(cx(3), cy(2), cx(30), cy(2), cx(3), cy(25)),
                                       white(cx(30), cy(2), cx(30), cy(25), cx(3), cy(25))});
    // a quad of two half-transparent triangles and a fan: a pixel drawn twice would be brighter
    same("shared edges drawn once", {white(0.1f, 0.1f, 0.9f, 0.1f, 0.9f, 0.9f, 0.5f),
                                     white(0.1f, 0.1f, 0.9f, 0.9f, 0.1f, 0.9f, 0.5f),
                                     white(0.5f, 0.5f, 0.95f, 0.2f, 0.95f, 0.8f, 0.5f),
                                     white(0.5f, 0.5f, 0.95f, 0.8f, 0.05f, 0.8f, 0.5f)});
    // a wave as the painter gets it, reaching past the right, top and bottom edges
    std::vector<float> x, y;
    for (int k = 0; k <= 60; ++k) {
        x.push_back(k * 1.2f / 60);
        y.push_back(0.5f + 0.9f * std::sin(k * 0.5f));
    }
    clear_both();
    gl_painter gp;
    gp.begin();
    gp.wave(0.9f, 0.4f, 0.1f, 0.8f, x.data(), y.data(), static_cast<int>(x.size()));
    gp.finish();
    cpu_painter cp;
    cp.wave(0.9f, 0.4f, 0.1f, 0.8f, x.data(), y.data(), static_cast<int>(x.size()));
    cp.finish();
    const diff d = compare_now(w, h);
    verdict(d.coverage == 0 && d.largest <= 1,
            "a wave past the right, top and bottom edges: " + std::to_string(d.coverage) +
                " pixels covered differently, largest difference " + std::to_string(d.largest));
}

// n frames of a kind of sound through both painters, from black
diff stream(int w, int h, int detail, int n, const std::string &kind, double *gl_ms = nullptr,
            double *cpu_ms = nullptr) {
    diff total;
    if (!open(w, h))
        return total;
    std::mt19937 rng(11);
    std::uniform_real_distribution<double> noise(-1, 1);
    std::vector<double> block(ft_size);
    picture a, b;
    a.n_steps = b.n_steps = detail;
    gl_painter gp;
    cpu_painter cp;
    double gl_s = 0, cpu_s = 0;
    double worst = 999;
    for (int f = 0; f < n; ++f) {
        for (int k = 0; k < ft_size; ++k) {
            const double t = (f * 1470 + k) / 44100.0, pi = std::numbers::pi;
            double v;
            if (kind == "tone")
                v = std::round(16384 * std::sin(2 * pi * 1000 * t)) / 32768;
            else if (kind == "noise")
                v = 0.9 * noise(rng);
            else // a bass, a melody that moves, and quieter noise
                v = 0.4 * std::sin(2 * pi * (110 + 20 * (f % 7)) * t) +
                    0.25 * std::sin(2 * pi * (660 + 110 * (f % 5)) * t) + 0.08 * noise(rng);
            block[k] = (f / 20) % 4 == 3 ? 0 : v; // a rest now and then: the fade alone
        }
        const double p = std::max(0.0, *std::max_element(block.begin(), block.end()));
        const unsigned char *gl = nullptr;
        const auto t0 = std::chrono::steady_clock::now();
        show_block(gp, a, block.data(), p, w, h, [&] { gl = gl_pixels(); });
        const auto t1 = std::chrono::steady_clock::now();
        show_block(cp, b, block.data(), p, w, h, [] {});
        const auto t2 = std::chrono::steady_clock::now();
        gl_s += std::chrono::duration<double>(t1 - t0).count();
        cpu_s += std::chrono::duration<double>(t2 - t1).count();
        diff one;
        one.add(gl, cpu_picture_pixels(), w, h);
        worst = std::min(worst, one.psnr());
        total.add(gl, cpu_picture_pixels(), w, h);
    }
    if (gl_ms)
        *gl_ms = 1000 * gl_s / n;
    if (cpu_ms)
        *cpu_ms = 1000 * cpu_s / n;
    total.worst = worst;
    return total;
}

int check() {
    single_triangles(64, 48, 600);
    single_triangles(7, 5, 300);
    awkward_triangles();
    for (const char *kind : {"tone", "noise", "music"})
        for (int size : {0, 1})
            for (int detail : {24, 1 << 20}) {
                const int w = size ? 320 : 160, h = size ? 180 : 90;
                const diff d = stream(w, h, detail, 24, kind);
                char line[200];
                std::snprintf(line, sizeof line,
                              "%s, %dx%d, detail %s, 24 frames: %.5f %% identical bytes, largest "
                              "difference %d, the worst frame %.1f dB",
                              kind, w, h, detail == 24 ? "24" : "full", d.identical(), d.largest,
                              d.worst);
                verdict(d.worst >= 50, line);
            }
    // the thinnest and smallest pictures, and the widest llvmpipe draws
    for (auto [w, h] : {std::pair{1, 1}, {1, 40}, {40, 1}, {16384, 2}}) {
        const diff d = stream(w, h, w > 1000 ? 128 : 1 << 20, w > 1000 ? 1 : 12, "noise");
        verdict(d.worst >= 50, std::to_string(w) + "x" + std::to_string(h) + ": the worst frame " +
                                   std::to_string(static_cast<int>(d.worst)) +
                                   " dB, largest difference " + std::to_string(d.largest));
    }
    // a picture a few across and as tall as llvmpipe draws, through 30 frames of trails: its
    // middle row, where every fan meets, drifts further apart than any other (69 dB here at the
    // worst frame, the most by 78 steps)
    {
        const diff d = stream(15, 16383, 128, 30, "music");
        verdict(d.worst >= 60, "15x16383, 30 frames: the worst frame " +
                                   std::to_string(static_cast<int>(d.worst)) +
                                   " dB, largest difference " + std::to_string(d.largest));
    }
    // the widest window X allows, on the processor alone: drawn, and faded to black in silence
    cpu_picture_size(32767, 3);
    frame_reserve(32767);
    picture pic;
    pic.n_steps = 32767;
    std::vector<double> block(ft_size);
    std::mt19937 rng(3);
    std::uniform_real_distribution<double> noise(-1, 1);
    for (double &v : block)
        v = 0.9 * noise(rng);
    cpu_painter cp;
    show_block(cp, pic, block.data(), 0.9, 32767, 3, [] {});
    long lit = 0;
    for (long k = 0; k < 32767L * 3 * 4; ++k)
        lit += cpu_picture_pixels()[k] != 0;
    std::fill(block.begin(), block.end(), 0.0);
    for (int f = 0; f < fade_frames; ++f)
        show_block(cp, pic, block.data(), 0, 32767, 3, [] {});
    long left = 0;
    for (long k = 0; k < 32767L * 3 * 4; ++k)
        left += cpu_picture_pixels()[k] != 0;
    verdict(lit > 32767 && left == 0, "32767x3 on the processor: " + std::to_string(lit) +
                                          " bytes lit, " + std::to_string(left) +
                                          " after ten silent frames");
    return failures ? 1 : 0;
}

// FNV-1a over every frame's picture, in order, and the painter's time
int sums(int w, int h, int detail, const char *sound_file) {
    const std::vector<double> sound = read_raw_sound(sound_file);
    cpu_picture_size(w, h);
    frame_reserve(w);
    picture pic;
    pic.n_steps = detail;
    cpu_painter cp;
    std::vector<double> block(ft_size);
    uint64_t sum = 14695981039346656037ull;
    double seconds = 0;
    long frames = 0;
    for (long centre = 0; centre < static_cast<long>(sound.size()); centre += 44100 / 20) {
        const double p = block_around(sound, centre, block.data());
        const auto t0 = std::chrono::steady_clock::now();
        show_block(cp, pic, block.data(), p, w, h, [] {});
        seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        ++frames;
        const unsigned char *px = cpu_picture_pixels();
        for (size_t k = 0; k < static_cast<size_t>(w) * h * 4; ++k)
            sum = (sum ^ px[k]) * 1099511628211ull;
    }
    std::printf("%s %dx%d detail %d, %ld frames: sum %016llx, the processor %.2f ms a frame\n",
                sound_file, w, h, detail, frames, static_cast<unsigned long long>(sum),
                frames ? 1000 * seconds / frames : 0.0);
    return 0;
}

} // namespace

int main(int argc, char **argv) {
    ft_init();
    int rc = 2;
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "sums" && argc == 6) {
        rc = sums(std::atoi(argv[2]), std::atoi(argv[3]), std::atoi(argv[4]), argv[5]);
        ft_close();
        return rc;
    }
    if (!getenv("LP_PERF"))
        setenv("LP_PERF", "no_rast_linear", 1);
    std::string error;
    if (!offscreen_open(8, 8, false, error)) {
        std::printf("skipped: %s\n", error.c_str());
        return 77;
    }
    if (mode == "check") {
        rc = check();
    } else if (mode == "frames" && argc == 7) {
        const int w = std::atoi(argv[2]), h = std::atoi(argv[3]), detail = std::atoi(argv[4]);
        const int n = std::atoi(argv[5]);
        double gl_ms = 0, cpu_ms = 0;
        const diff d = stream(w, h, detail, n, argv[6], &gl_ms, &cpu_ms);
        std::printf("%s %dx%d detail %d, %d frames: %.5f %% identical bytes, largest difference "
                    "%d, PSNR %.1f dB (the worst frame %.1f)\n"
                    "  llvmpipe %.1f ms a frame, the processor %.1f ms: %.1f times as fast\n",
                    argv[6], w, h, detail, n, d.identical(), d.largest, d.psnr(), d.worst, gl_ms,
                    cpu_ms, gl_ms / cpu_ms);
        rc = 0;
    } else {
        std::fprintf(stderr,
                     "usage: cpu_fidelity check | frames W H DETAIL N tone|noise|music | sums W H "
                     "DETAIL SOUND\n");
    }
    offscreen_close();
    ft_close();
    return rc;
}
