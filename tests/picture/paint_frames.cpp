// SPDX-License-Identifier: GPL-3.0-or-later
// Draws fixed frames two ways in one X window: through the program's order of a frame and its
// painter (vertex arrays, flat waves skipped, the heights four at a time where the processor can)
// and through a reference written here as the picture was first drawn, one glVertex2f per vertex
// in immediate mode, every wave included, every height from std::sin.
//   paint_frames check   same scenes both ways, framebuffers compared byte for byte; then a
//                        stream of frames of noise and music, the heights the plain way in one
//                        window and the program's way in another, compared after every frame
//   paint_frames bench   time per frame both ways, side by side, and their ratio
//   paint_frames window SOUND W H DETAIL FPS DIR N...
//                        a sound (raw 16-bit mono at 44100 Hz) through a window of that size as
//                        lumora draws it, frame n from the block centred on n / FPS, the buffers
//                        swapped after each; writes frames N... as DIR/frameN.ppm
#include "picture/cpu_painter.h"
#include "picture/frame.h"
#include "picture/ft.h"
#include "picture/paint.h"
#include "picture/painter_choice.h"
#include "raw_sound.h"

#include <GL/freeglut.h>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <numbers>
#include <random>
#include <set>
#include <string>
#include <vector>

namespace {

gl_painter painter; // the program's painter, drawing into the current window

// One frame as first written: the walk per wave from the formula, every bin drawn.
void reference_frame(const double *m, double M, double p, int w, int h, int n_steps, double &hue,
                     double &global_volume) {
    glColor4f(0, 0, 0, 0.5f);
    glBegin(GL_POLYGON);
    glVertex2f(0, 0);
    glVertex2f(1, 0);
    glVertex2f(1, 1);
    glVertex2f(0, 1);
    glEnd();
    const double step = 1.0 / clamp_steps(n_steps, w);
    hue = advance_hue(hue);
    volume_attack(global_volume, p);
    if (!gate_open(p) || !(M > 0) || w <= 0 || h <= 0)
        return;
    for (int i = first_bin; i <= last_bin; ++i) {
        glBegin(GL_POLYGON);
        glColor4f(0, 0, 0, 0);
        glVertex2f(0.5f, 0.5f);
        double r, g, b;
        h_to_rgb(&r, &g, &b, bin_hue(m[i], M, i, hue));
        glColor4f(static_cast<float>(r), static_cast<float>(g), static_cast<float>(b),
                  bin_alpha(m[i], M, i));
        const double A = (w * 0.5 / h) * (p / global_volume) * m[i] / M;
        for (int j = 0; walk_continues(j, w, step); j = next_column(j, w, step)) {
            const double y =
                std::sin(static_cast<double>(j) / w * std::numbers::pi * i) * A / std::numbers::pi +
                0.5;
            glVertex2f(static_cast<float>(static_cast<double>(j) / w), static_cast<float>(y));
        }
        glEnd();
    }
}

struct scene {
    std::string name;
    std::vector<double> block;
};

// A 16-bit tone on bin 50, white noise, a chirp through every bin, and music-like sound (two tones
// over quieter noise): from nearly every wave flat to every wave tall.
std::vector<scene> scenes() {
    std::mt19937 rng(7);
    std::uniform_real_distribution<double> noise(-1, 1);
    std::vector<scene> out(4);
    out[0].name = "tone";
    out[1].name = "noise";
    out[2].name = "sweep";
    out[3].name = "music";
    for (auto &s : out)
        s.block.resize(ft_size);
    for (int n = 0; n < ft_size; ++n) {
        const double t = static_cast<double>(n) / ft_size; // one block is 1 in t
        // as a sound card delivers it: in 16 bits, the other bins hold quantisation noise
        out[0].block[n] = std::round(16384 * std::sin(2 * std::numbers::pi * 50 * t)) / 32768;
        out[1].block[n] = 0.9 * noise(rng);
        out[2].block[n] = 0.7 * std::sin(2 * std::numbers::pi * (2 * t + 549 * t * t));
        out[3].block[n] = 0.4 * std::sin(2 * std::numbers::pi * 5 * t) +
                          0.3 * std::sin(2 * std::numbers::pi * 33 * t) + 0.1 * noise(rng);
    }
    return out;
}

double peak_of(const std::vector<double> &block) {
    return std::max(0.0, *std::max_element(block.begin(), block.end()));
}

// A window of this size, with the program's projection: the unit square fills it.
int open_window(int w, int h) {
    glutInitWindowSize(w, h);
    const int id = glutCreateWindow("paint_frames");
    glutDisplayFunc([] {}); // nothing is drawn on expose: the frames below draw
    for (int k = 0; k < 20; ++k)
        glutMainLoopEvent();
    glViewport(0, 0, w, h);
    glMatrixMode(GL_PROJECTION);
    glLoadIdentity();
    glTranslatef(-1, -1, 0);
    glScalef(2, 2, 1);
    glEnable(GL_BLEND);
    glBlendFunc(GL_SRC_ALPHA, GL_ONE_MINUS_SRC_ALPHA);
    glShadeModel(GL_SMOOTH);
    glDrawBuffer(GL_BACK);
    glReadBuffer(GL_BACK);
    return id;
}

void clear() {
    glClearColor(0, 0, 0, 0);
    glClear(GL_COLOR_BUFFER_BIT);
}

// A few frames of a scene (the trails of the earlier ones show through), one way or the other.
void draw(bool reference, const scene &s, int w, int h, int n_steps, int frames = 3) {
    const double p = peak_of(s.block);
    picture pic;
    pic.n_steps = n_steps;
    pic.hue = 0.3;
    for (int k = 0; k < frames; ++k) {
        if (reference) {
            ft_process(s.block.data());
            reference_frame(ft_get_spectrum(), ft_get_max(), p, w, h, n_steps, pic.hue,
                            pic.global_volume);
            volume_release(pic.global_volume, p);
        } else {
            show_block(painter, pic, s.block.data(), p, w, h, [] {});
        }
    }
}

std::vector<unsigned char> pixels(int w, int h) {
    std::vector<unsigned char> out(static_cast<size_t>(w) * h * 4);
    glFinish();
    glPixelStorei(GL_PACK_ALIGNMENT, 1);
    glReadPixels(0, 0, w, h, GL_RGBA, GL_UNSIGNED_BYTE, out.data());
    return out;
}

// Consecutive frames as a window draws them, from a sound that changes under them: noise whose
// loudness wanders, then music-like sound (a melody of two voices over quiet noise), one block
// every 1470 samples (30 frames a second). One window takes the heights the plain way, from
// std::sin, the other the program's way; their pictures, trails and all, must agree after every
// frame.
int check_stream() {
    constexpr int w = 600, h = 300, frames = 200, hop = 1470;
    std::mt19937 rng(11);
    std::uniform_real_distribution<double> noise(-1, 1);
    std::vector<double> sound(static_cast<size_t>(frames) * hop + ft_size);
    for (size_t n = 0; n < sound.size(); ++n) {
        const double t = n / 44100.0;
        if (n < sound.size() / 2) {
            sound[n] = (0.5 + 0.4 * std::sin(2 * std::numbers::pi * 0.7 * t)) * noise(rng);
        } else {
            const int note = static_cast<int>(t * 4); // four notes a second
            const double f1 = 220 * std::pow(2, (note * 5 % 12) / 12.0), f2 = 1.5 * f1;
            sound[n] = 0.4 * std::sin(2 * std::numbers::pi * f1 * t) +
                       0.2 * std::sin(2 * std::numbers::pi * f2 * t) + 0.05 * noise(rng);
        }
    }
    const int plain = open_window(w, h), ours = open_window(w, h);
    picture a, b;
    for (int id : {plain, ours}) {
        glutSetWindow(id);
        clear();
    }
    long differ = 0, lit = 0;
    int failed = 0;
    for (int k = 0; k < frames; ++k) {
        const double *block = sound.data() + static_cast<size_t>(k) * hop;
        const double p = std::max(0.0, *std::max_element(block, block + ft_size));
        // every wave of noise is tall: its frames stay at the floor of the detail, music's at 100
        a.n_steps = b.n_steps = k < frames / 2 ? min_steps : 100;
        glutSetWindow(plain);
        wave_heights_use(wave_heights_plain);
        show_block(painter, a, block, p, w, h, [] {});
        const auto want = pixels(w, h);
        glutSetWindow(ours);
        wave_heights_use(nullptr);
        show_block(painter, b, block, p, w, h, [] {});
        const auto got = pixels(w, h);
        long d = 0;
        for (size_t n = 0; n < want.size(); ++n) {
            d += want[n] != got[n];
            lit += n % 4 != 3 && want[n] != 0;
        }
        differ += d;
        if (d && !failed++)
            std::printf("FAIL: frame %d of the stream: %ld bytes differ\n", k, d);
    }
    glutDestroyWindow(ours);
    glutDestroyWindow(plain);
    std::printf("%s %d frames of noise and music at %dx%d, plain and program heights: %ld bytes "
                "differ (%ld lit)\n",
                failed ? "FAIL:" : "ok:", frames, w, h, differ, lit);
    return failed != 0 || lit == 0;
}

// The cases: the tone at several levels of detail up to the width (cheap, and where flat waves
// are skipped; at an odd height the middle line runs through a row of pixel centres), the others at
// levels that keep the check within seconds (every wave tall costs about a second a frame at 300
// steps here), a window 7 pixels wide, and one frame of music at 1920 x 1080 and full detail
// (2.1 million heights, about 6 s to draw each way).
struct check_case {
    const char *scene;
    int w, h;
    std::vector<int> steps;
    int frames = 3;
};

int check() {
    const std::vector<check_case> cases = {{"tone", 600, 300, {min_steps, 100, 300, 600}},
                                           {"music", 600, 300, {min_steps, 100}},
                                           {"noise", 600, 300, {min_steps}},
                                           {"sweep", 600, 300, {min_steps}},
                                           {"noise", 7, 300, {7}},
                                           {"sweep", 7, 300, {7}},
                                           {"music", 7, 300, {7}},
                                           {"tone", 601, 301, {100, 601}},
                                           {"music", 1920, 1080, {1920}, 1}};
    const std::vector<scene> all = scenes();
    int failures = 0;
    for (const check_case &c : cases) {
        const int w = c.w, h = c.h, id = open_window(w, h);
        for (const scene &s : all) {
            if (s.name != c.scene)
                continue;
            for (int n_steps : c.steps) {
                clear();
                draw(true, s, w, h, n_steps, c.frames);
                const auto want = pixels(w, h);
                clear();
                draw(false, s, w, h, n_steps, c.frames);
                const auto got = pixels(w, h);
                long lit = 0, differ = 0;
                for (size_t k = 0; k < want.size(); ++k) {
                    lit += k % 4 != 3 && want[k] != 0; // colour bytes; alpha is not kept
                    differ += want[k] != got[k];
                }
                std::printf("%s %s at %dx%d, %d steps: %ld of %zu bytes differ (%ld lit)\n",
                            differ ? "FAIL:" : "ok:", s.name.c_str(), w, h, n_steps, differ,
                            want.size(), lit);
                failures += differ != 0 || lit == 0;
            }
        }
        glutDestroyWindow(id);
    }
    return failures + check_stream() ? 1 : 0;
}

double ms_per_frame(bool reference, const scene &s, int w, int h, int n_steps, int frames) {
    const auto start = std::chrono::steady_clock::now();
    for (int k = 0; k < frames; ++k)
        draw(reference, s, w, h, n_steps);
    glFinish();
    const std::chrono::duration<double, std::milli> took = std::chrono::steady_clock::now() - start;
    return took.count() / (3 * frames);
}

int bench(int repeats) {
    std::printf("%-6s %-9s %6s %12s %12s %6s\n", "sound", "window", "steps", "immediate ms",
                "arrays ms", "ratio");
    for (auto [w, h] : {std::pair{600, 300}, std::pair{1920, 1080}}) {
        const int id = open_window(w, h);
        for (const scene &s : scenes()) {
            if (s.name != "tone" && s.name != "music")
                continue;
            for (int n_steps : {100, 300, w}) {
                // alternating runs, the median of each: both ways see the same machine
                std::vector<double> ref, arr;
                for (int r = 0; r < repeats; ++r) {
                    ref.push_back(ms_per_frame(true, s, w, h, n_steps, 1));
                    arr.push_back(ms_per_frame(false, s, w, h, n_steps, 1));
                }
                std::sort(ref.begin(), ref.end());
                std::sort(arr.begin(), arr.end());
                const double a = ref[ref.size() / 2], b = arr[arr.size() / 2];
                char size[16];
                std::snprintf(size, sizeof size, "%dx%d", w, h);
                std::printf("%-6s %-9s %6d %12.2f %12.2f %6.2f\n", s.name.c_str(), size, n_steps, a,
                            b, a / b);
                std::fflush(stdout);
            }
        }
        glutDestroyWindow(id);
    }
    return 0;
}

// The frames a sound file makes in a window, as lumora-render makes them without one.
int window(int argc, char **argv) {
    if (argc < 9)
        return 2;
    const std::vector<double> sound = read_raw_sound(argv[2]);
    const int w = std::atoi(argv[3]), h = std::atoi(argv[4]), fps = std::atoi(argv[6]);
    std::set<long> wanted;
    for (int k = 8; k < argc; ++k)
        wanted.insert(std::atol(argv[k]));
    glutInitWindowSize(w, h);
    glutCreateWindow("paint_frames window");
    glutDisplayFunc([] {});
    for (int k = 0; k < 20; ++k)
        glutMainLoopEvent();
    paint_viewport(w, h);
    clear();
    // the painter the window would choose here (LUMORA_RENDERER, or auto)
    painter_choice choice = painter_choice::automatic;
    if (const char *r = std::getenv("LUMORA_RENDERER"); r && !painter_parse(r, choice))
        return 2;
    const bool on_cpu =
        painter_on_cpu(choice, reinterpret_cast<const char *>(glGetString(GL_RENDERER)));
    cpu_picture_size(w, h);
    picture pic;
    pic.n_steps = std::atoi(argv[5]);
    std::vector<double> block(ft_size);
    std::vector<unsigned char> rgb(static_cast<size_t>(w) * h * 3);
    for (long n = 0; n <= *wanted.rbegin(); ++n) {
        const long centre = (2 * n * 44100 + fps) / (2 * fps); // n / fps s, to the nearest sample
        const double p = block_around(sound, centre, block.data());
        // what the swap puts on the screen; the next frame draws over what the back buffer keeps.
        // Every frame drawn is read: a frame that rests shows the last one drawn, wanted or not.
        auto present = [&] {
            glPixelStorei(GL_PACK_ALIGNMENT, 1);
            glReadPixels(0, 0, w, h, GL_RGB, GL_UNSIGNED_BYTE, rgb.data());
            glutSwapBuffers();
        };
        if (!picture_rests(pic, p))
            show_block_in_window(on_cpu, pic, block.data(), p, w, h, present);
        if (!wanted.count(n))
            continue;
        // a resting window draws nothing and shows the picture it showed
        std::ofstream out(std::string(argv[7]) + "/frame" + std::to_string(n) + ".ppm",
                          std::ios::binary);
        out << "P6\n" << w << " " << h << "\n255\n";
        for (int y = h - 1; y >= 0; --y) // GL's rows go bottom-up
            out.write(reinterpret_cast<const char *>(rgb.data()) + static_cast<size_t>(y) * w * 3,
                      static_cast<std::streamsize>(w) * 3);
    }
    return 0;
}

} // namespace

int main(int argc, char **argv) {
    painter_gl_exact(); // as the window does
    glutInit(&argc, argv);
    glutInitDisplayMode(GLUT_DOUBLE);
    ft_init();
    int rc = 2;
    if (argc >= 2 && !std::strcmp(argv[1], "check"))
        rc = check();
    else if (argc >= 2 && !std::strcmp(argv[1], "window"))
        rc = window(argc, argv);
    else if (argc >= 2 && !std::strcmp(argv[1], "bench"))
        rc = bench(argc >= 3 ? std::atoi(argv[2]) : 5);
    else
        std::fprintf(stderr, "usage: paint_frames check | bench [REPEATS] | window SOUND W H "
                             "DETAIL FPS DIR N...\n");
    ft_close();
    return rc;
}
