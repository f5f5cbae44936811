// SPDX-License-Identifier: GPL-3.0-or-later
// The arithmetic of one displayed frame, free of any window or GL call: the global hue, the
// running volume, each wave's colour, opacity, amplitude and vertices, and the detail control
// that keeps the frame rate near 20 per second. The display callback feeds it the spectrum and
// a painter that turns the result into GL calls; the tests feed it a painter that records.
// Main thread only.
#pragma once

#include "colour.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <numbers>

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

// The fewest vertex steps across the window that the detail control goes down to: 24 give the
// waves of the bass and voice range (bins up to 12, 240 Hz) at least two vertices a half-period,
// where 8 draw bin 5 as a zigzag. Without a floor, loud noise or a huge window drove the detail
// to 1 and the window black. The floor keeps shape before speed: white noise at 600 x 300 costs
// 118 ms a frame here (44 ms at 8 steps, 508 ms at 100); music-like sound costs 26 ms.
constexpr int min_steps = 24;

// The level of detail as used for a window w pixels wide: at least min_steps (or the width, if
// narrower) and at most max(w, 1).
int clamp_steps(int n_steps, int w);
// Vertex walk over pixel columns: from j = 0 while j < (step + 1) * w, about w / n_steps pixels
// a step and never less than one.
inline bool walk_continues(int j, int w, double step) { return j < (step + 1) * w; }
int next_column(int j, int w, double step);

// What the walk gives every wave: for each pixel column j, x = j / w rounded once to single
// precision, and the phase x * pi in double precision. y is room for one wave's heights. The
// arrays hold count entries.
struct column_table {
    const float *x;
    const double *phase;
    float *y;
    int count;
};
// Walks the columns of a window w pixels wide into the module's table. The table grows with the
// widest window so far; frame_reserve grows it ahead, on a resize, so that frames never allocate.
column_table walk_columns(int w, double step);
void frame_reserve(int w);

// The height of bin i's wave at a column of this phase: i half-periods across the window. This is
// the definition: sin in double precision, scaled, offset and rounded once to single.
float wave_height(double phase, int i, double amplitude);
// The heights of bin i's wave at count columns, into y: as many columns at a time as the
// processor's vector unit holds doubles, with a sine of our own (frame_heights.cpp, chosen at run
// time), which gives wave_height's float in all but a very few vertices and is then one float
// step from it.
void wave_heights(const double *phase, int count, int i, double amplitude, float *y);
// The two ways, for the tests and benchmarks that compare them. wave_heights_use chooses the way
// wave_heights takes from now on (null: the wide way again).
using heights_fn = void (*)(const double *phase, int count, int i, double amplitude, float *y);
void wave_heights_plain(const double *phase, int count, int i, double amplitude, float *y);
void wave_heights_wide(const double *phase, int count, int i, double amplitude, float *y);
void wave_heights_use(heights_fn way);

// A wave that cannot light a pixel is not drawn, and its sines are not taken. That holds on any
// rasteriser when every vertex is exactly 0.5f (an amplitude below 2^-26: the swing stays under
// half the float spacing around 0.5). It also holds where vertices are placed on a grid of 2^-8
// pixel (GL_SUBPIXEL_BITS 8: llvmpipe and the usual GPUs) when every vertex, after the float
// transform to the window, lies within a quarter of that step of the middle line: the vertices
// land on the line and the polygon has no area. With a tone, the other 1099 bins hold only
// rounding or quantisation noise (about 1e-6 of the peak from 16-bit sound) and are all flat.
inline bool wave_is_flat(double amplitude, int h) {
    const double a = std::fabs(amplitude);
    return a < 0x1p-26 || (a / std::numbers::pi + 0x1p-24) * h < 0x1p-10;
}

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

// The block as the picture takes it, and its peak p as the picture measures it: block itself, or
// its centred copy in room (ft_size samples; room may be block). A block whose mean lies further
// from 0 than half its swing (from its lowest sample to its highest) is off centre: a DC offset,
// which a recording or a float file may carry. Its mean is taken away, and the peak is measured
// from there; otherwise the block and p are kept as they are, and nothing is copied. An offset
// below the swing had no positive sample: p was 0, and every frame black; above it, the offset's
// bin 0 was the spectrum's peak, and every wave flat. In music a block's mean is its bass's
// unfinished periods, at most a third of that bass's height (a 20 Hz wave, one period a block),
// where half the swing is at least its height: music is never off centre, and draws exactly as
// before.
const double *block_centre(const double *block, double &p, double *room);

// What the picture carries from one frame to the next.
struct picture {
    int n_steps = 100;          // vertex steps across the width
    double global_volume = 1.0; // running volume the block peak is measured against
    double hue = 0;             // global hue, a fraction of a turn
    int silent_frames = 0;      // frames in a row with the gate closed, up to fade_frames
};

// In silence the picture fades by half each frame; after fade_frames silent frames in a row it is
// black (255 / 2^10 < 1), and redrawing black would only burn the processor. The picture then
// rests: no frame is drawn, and nothing turns, until a block passes the silence gate.
constexpr int fade_frames = 10;
inline bool picture_rests(const picture &pic, double p) {
    return pic.silent_frames >= fade_frames && !gate_open(p);
}

// The end of a frame of a block whose peak is p, once it has been drawn: the release, and the
// count of silent frames.
inline void picture_after(picture &pic, double p) {
    volume_release(pic.global_volume, p);
    pic.silent_frames = gate_open(p) ? 0 : std::min(pic.silent_frames + 1, fade_frames);
}

// What a frame does to the picture's state without drawing it: the hue's turn and the attack, as
// paint_frame does them, then picture_after. It lets a frame late in a sound be drawn as it would
// be after every frame before it, drawing only the last few.
inline void picture_step(picture &pic, double p) {
    pic.hue = advance_hue(pic.hue);
    volume_attack(pic.global_volume, p);
    picture_after(pic, p);
}

// One frame's picture, steps in order: the fade quad, the hue's turn, the attack, and while the
// gate is open the waves of bins 2 to 1101, but for the flat ones. The painter provides fade()
// and wave(r, g, b, a, x, y, count): a fan from the transparent centre to the count points (x, y).
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
    const column_table columns = walk_columns(w, step);
    for (int i = first_bin; i <= last_bin; ++i) {
        const double amplitude = wave_amplitude(w, h, p, global_volume, m[i], M);
        if (wave_is_flat(amplitude, h))
            continue;
        double r, g, b;
        h_to_rgb(&r, &g, &b, bin_hue(m[i], M, i, hue));
        wave_heights(columns.phase, columns.count, i, amplitude, columns.y);
        paint.wave(static_cast<float>(r), static_cast<float>(g), static_cast<float>(b),
                   bin_alpha(m[i], M, i), columns.x, columns.y, columns.count);
    }
}
