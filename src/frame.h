// The arithmetic of one displayed frame, free of any window or GL call: the global hue, the
// running volume, each wave's colour, opacity, amplitude and vertices, and the detail control
// that keeps the frame rate near 20 per second. The display callback feeds it the spectrum and
// a painter that turns the result into GL calls; the tests feed it a painter that records.
// Main thread only.
#pragma once

#include "common.h"

#include <cstddef>

constexpr int first_bin = 2;   // 40 Hz
constexpr int last_bin = 1101; // 22020 Hz
constexpr double silence_gate = 0.001;

// The global hue turns by a hundredth per frame and stays in [0, 1).
double advance_hue(double hue);

// Running volume: rises at once to a louder block, releases by 1 % of the difference per frame.
void volume_attack(double &global_volume, double p);
void volume_release(double &global_volume, double p);
bool gate_open(double p);

// Colour of bin i: the global hue turned by the bin's share of the peak and its number.
double bin_hue(double m, double M, int i, double hue);
// Opacity of bin i's curve: bin 2 is opaque, higher bins tend to 0.2 * m / M.
float bin_alpha(double m, double M, int i);
// Height factor of bin i's wave in unit-square coordinates (the swing is amplitude / pi).
double wave_amplitude(int w, int h, double p, double global_volume, double m, double M);

// The fewest vertex steps across the window that the detail control goes down to. Below this the
// waves of the bass and voice range (bins up to 12, 240 Hz) lose their shape: 24 steps give them
// at least two vertices a half-period. Frames at this level still cost most of what they cost at
// 100 steps when every bin is loud and the window is large; less detail would only blank them.
constexpr int min_steps = 24;

// The level of detail as used for a window w pixels wide: at least min_steps (or the width, if
// narrower) and at most max(w, 1).
int clamp_steps(int n_steps, int w);
// Vertex walk over pixel columns: from j = 0 while j < (step + 1) * w, about w / n_steps pixels
// a step and never less than one.
inline bool walk_continues(int j, int w, double step) { return j < (step + 1) * w; }
int next_column(int j, int w, double step);

struct vertex {
    float x, y;
};
// The vertex of bin i's wave at pixel column j: i half-periods across the window.
vertex wave_vertex(int j, int w, int i, double amplitude);

// What the walk needs of a column for every wave, worked out once per frame: its x and its
// phase x * pi. wave_height(phase, i, A) is then exactly wave_vertex's y.
struct column {
    float x;
    double phase;
};
constexpr int max_columns = 8194; // a walk over a window up to 8192 pixels wide
// Fills the walk's columns; returns their number, or -1 when there are more than `capacity`.
int walk_columns(int w, double step, column *out, int capacity);
float wave_height(double phase, int i, double amplitude);

// Frames per second for a frame of d milliseconds (infinite for 0).
float frame_rate(int d);
// The detail control's gain for a frame: the block peak measured against the running volume, the
// same ratio that scales the waves, so a big picture reacts fast. With the raw peak as gain a
// microphone peaking below 0.125 could never raise the detail again. Frames that draw nothing
// (the gate closed) teach the control nothing.
double detail_gain(double p, double global_volume);
// Nudges n_steps towards 20 frames per second: never below min_steps, never raised above the
// window's width. Frames faster than 100 per second count as 100 per second, so that a detail
// that made frames that fast still rises; they return false, as the title keeps its text.
bool adjust_detail(int &n_steps, float fps, double gain, int w);
// The window title for a frame rate: "lumora - %3.0f fps ".
void format_title(char *buf, std::size_t size, float fps);

// One frame's picture, steps in order: the fade quad, the hue's turn, the attack, and while the
// gate is open the waves of bins 2 to 1101. The painter provides fade(), begin_wave(r, g, b, a)
// (which also emits the transparent centre), vertex(x, y) and end_wave().
template <class Painter>
void paint_frame(Painter &paint, const double *m, double M, double p, int w, int h, int n_steps,
                 double &hue, double &global_volume) {
    paint.fade();
    const double step = 1.0 / clamp_steps(n_steps, w);
    hue = advance_hue(hue);
    volume_attack(global_volume, p);
    // a minimised window (no height) would make every amplitude infinite
    if (!gate_open(p) || !(M > 0) || w <= 0 || h <= 0)
        return;
    static column columns[max_columns];
    const int count = walk_columns(w, step, columns, max_columns);
    for (int i = first_bin; i <= last_bin; ++i) {
        double r, g, b;
        h_to_rgb(&r, &g, &b, bin_hue(m[i], M, i, hue));
        paint.begin_wave(static_cast<float>(r), static_cast<float>(g), static_cast<float>(b),
                         bin_alpha(m[i], M, i));
        const double amplitude = wave_amplitude(w, h, p, global_volume, m[i], M);
        if (count >= 0) {
            for (int k = 0; k < count; ++k)
                paint.vertex(columns[k].x, wave_height(columns[k].phase, i, amplitude));
        } else {
            for (int j = 0; walk_continues(j, w, step); j = next_column(j, w, step)) {
                vertex v = wave_vertex(j, w, i, amplitude);
                paint.vertex(v.x, v.y);
            }
        }
        paint.end_wave();
    }
}
