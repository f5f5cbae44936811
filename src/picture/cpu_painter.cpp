// SPDX-License-Identifier: GPL-3.0-or-later
// A frame's fade, waves and triangles are recorded as they come, their vertices taken to window
// coordinates at once; finish() then draws them band by band, every band on whichever core is
// free, each band every recorded step in order. A frame that outgrows the store is drawn in parts,
// each part whole before the next, which keeps the order.
//
// The rules below are OpenGL's as Mesa's llvmpipe keeps them, found by drawing triangles with it
// and reading them back (the fidelity test does so on every run):
// - Rows run top-down (a window's, and lumora-render's framebuffer with Mesa's flip_y), and a
//   vertex goes to the grid of 1/256 pixel with pixel centres on whole numbers (cpu_spans.h).
// - A polygon is split as (v[i - 1], v[i], v[0]): a wave, whose v[0] is the centre, into the
//   triangles (curve point, next curve point, centre). A triangle whose area on the grid is 0 is
//   not drawn; one whose area is negative has its first two vertices swapped.
// - A pixel is covered when its centre is inside, by edge functions on the grid in whole numbers.
//   A centre exactly on an edge counts for an edge on the left of the triangle and for a
//   horizontal edge below it (rows top-down), so an edge two triangles share is drawn once.
// - Colours are planes through the three vertices at their window positions before the grid,
//   taken relative to the first vertex in single precision (see planes_of); a triangle too thin
//   for them (the planes come out infinite or NaN) draws nothing.
#include "cpu_painter.h"

#include "cpu_spans.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <tbb/blocked_range.h>
#include <tbb/info.h>
#include <tbb/parallel_for.h>
#include <vector>

namespace {

int width, height;
std::vector<uint32_t> picture; // a pixel a word, rows bottom-up

enum class op_kind : uint8_t { fade, wave, triangle };
struct op {
    op_kind kind;
    int first, count; // vertices in the store (a wave's centre first, then its curve)
    int top, bottom;  // the rows it may touch, top-down, inclusive
    float rgba[3][4]; // a wave's curve colour in [0]; a triangle's colour at each vertex
};

// The store of a part of a frame: 2^18 vertices (4 MiB) and 4096 steps. A frame of 1100 waves at
// 1280 x 720 and full detail (1.4 million vertices) goes in six parts.
constexpr int store_vertices = 1 << 18;
constexpr int store_ops = 4096;
std::vector<float> wx, wy;   // window coordinates
std::vector<int32_t> gx, gy; // on the grid of 1/256 pixel
std::vector<op> ops;
int vertices, steps;
cpu_span_fn span = nullptr;

// The rows whose pixel centres lie at or after, and at or before, a place on the grid (an
// arithmetic shift rounds down).
int first_row(int64_t y) { return static_cast<int>((y + 255) >> 8); }
int last_row(int64_t y) { return static_cast<int>(y >> 8); }

// The first column with ea * px + k > 0 (ea > 0), and the last (ea < 0), from q = -k / ea, taken
// as k times 1 / ea in double precision: far within a unit of the quotient, and cut to a whole
// number towards 0 (one instruction, where rounding down takes several without SSE4.1). That is
// the column itself, or next to it, for the columns of the picture; whole numbers then set it
// right. Far outside the row, the nearer end of it: lo past width draws nothing, as does hi
// below 0.
int64_t first_in(int64_t k, int64_t ea, double inverse, int width) {
    const double q = -static_cast<double>(k) * inverse;
    if (q < -3)
        return 0;
    if (q > width + 3)
        return width;
    int64_t x = static_cast<int64_t>(q) + 1;
    while (ea * x + k <= 0)
        ++x;
    while (ea * (x - 1) + k > 0)
        --x;
    return x;
}

int64_t last_in(int64_t k, int64_t ea, double inverse, int width) {
    const double q = -static_cast<double>(k) * inverse;
    if (q < -3)
        return -1;
    if (q > width + 3)
        return width - 1;
    int64_t x = static_cast<int64_t>(q);
    while (ea * x + k <= 0)
        --x;
    while (ea * (x + 1) + k > 0)
        ++x;
    return x;
}

uint32_t *row_of(int py) { // py: rows top-down
    return picture.data() + static_cast<size_t>(height - 1 - py) * width;
}

// The colour planes of a triangle, as llvmpipe's set-up computes them: differences relative to the
// first vertex, one over the area, and the value at pixel (0, 0), each operation rounded to single
// precision on its own (no contraction: -ffp-contract=off), the four channels side by side in one
// vector. False when they are not finite.
using four_floats = float __attribute__((vector_size(16)));

bool planes_of(const int (&v)[3], const float (&c)[3][4], cpu_planes &p) {
    const float x0 = wx[v[0]], y0 = wy[v[0]];
    const float dx01 = x0 - wx[v[1]], dy01 = y0 - wy[v[1]];
    const float dx20 = wx[v[2]] - x0, dy20 = wy[v[2]] - y0;
    const float ooa = 1.0f / (dx01 * dy20 - dx20 * dy01);
    const float dx01_ooa = dx01 * ooa, dy01_ooa = dy01 * ooa;
    const float dx20_ooa = dx20 * ooa, dy20_ooa = dy20 * ooa;
    const float xoff = x0 - 0.5f, yoff = y0 - 0.5f;
    four_floats c0, c1, c2;
    std::memcpy(&c0, c[0], sizeof c0);
    std::memcpy(&c1, c[1], sizeof c1);
    std::memcpy(&c2, c[2], sizeof c2);
    const four_floats da01 = c0 - c1, da20 = c2 - c0;
    const four_floats dadx = da01 * dy20_ooa - da20 * dy01_ooa;
    const four_floats dady = da20 * dx01_ooa - da01 * dx20_ooa;
    const four_floats a0 = c0 - (dadx * xoff + dady * yoff);
    std::memcpy(p.dadx, &dadx, sizeof p.dadx);
    std::memcpy(p.dady, &dady, sizeof p.dady);
    std::memcpy(p.a0, &a0, sizeof p.a0);
    // x - x is 0 for a finite x, NaN for infinity and NaN
    const four_floats zero = (dadx - dadx) + (dady - dady) + (a0 - a0);
    return zero[0] == 0 && zero[1] == 0 && zero[2] == 0 && zero[3] == 0;
}

// Draws the rows top to bottom (inclusive) of the triangle of vertices a, b, c of the store.
void draw_triangle(int a, int b, int c, const float (&colour)[3][4], int top, int bottom) {
    const int64_t ymin = std::min({gy[a], gy[b], gy[c]}), ymax = std::max({gy[a], gy[b], gy[c]});
    top = std::max(top, first_row(ymin));
    bottom = std::min(bottom, last_row(ymax));
    if (top > bottom)
        return;
    int v[3] = {a, b, c};
    int64_t det = static_cast<int64_t>(gx[b] - gx[a]) * (gy[c] - gy[a]) -
                  static_cast<int64_t>(gy[b] - gy[a]) * (gx[c] - gx[a]);
    if (det == 0)
        return;
    float col[3][4];
    std::memcpy(col, colour, sizeof col);
    if (det < 0) {
        std::swap(v[0], v[1]);
        std::swap(col[0], col[1]);
    }
    cpu_planes planes;
    if (!planes_of(v, col, planes))
        return;
    // edge i from v[i] to v[i + 1]: inside where ea * px + eb * py + ec > 0, px and py in pixels
    int64_t ea[3], eb[3], ec[3];
    double inverse[3];
    for (int i = 0; i < 3; ++i) {
        const int64_t xa = gx[v[i]], ya = gy[v[i]];
        const int64_t xb = gx[v[(i + 1) % 3]], yb = gy[v[(i + 1) % 3]];
        const int64_t A = ya - yb, B = xb - xa;
        const bool counts_on_edge = A > 0 || (A == 0 && B < 0);
        ea[i] = A * 256;
        eb[i] = B * 256;
        // on the edge is 0: one more takes it in
        ec[i] = (yb - ya) * xa - (xb - xa) * ya + (counts_on_edge ? 1 : 0);
        inverse[i] = A != 0 ? 1.0 / static_cast<double>(ea[i]) : 0.0;
    }
    for (int py = top; py <= bottom; ++py) {
        int64_t lo = 0, hi = width - 1;
        for (int i = 0; i < 3; ++i) {
            const int64_t k = eb[i] * py + ec[i];
            if (ea[i] > 0)
                lo = std::max(lo, first_in(k, ea[i], inverse[i], width));
            else if (ea[i] < 0)
                hi = std::min(hi, last_in(k, ea[i], inverse[i], width));
            else if (k <= 0)
                hi = -1;
        }
        if (lo <= hi)
            span(reinterpret_cast<uint8_t *>(row_of(py)), static_cast<int>(lo),
                 static_cast<int>(hi), static_cast<float>(py), planes);
    }
}

void draw_band(int top, int bottom) { // rows top-down, inclusive
    for (int s = 0; s < steps; ++s) {
        const op &o = ops[s];
        if (o.bottom < top || o.top > bottom)
            continue;
        switch (o.kind) {
        case op_kind::fade:
            // the blender's m(d, 127) is d / 2 rounded down, for every d: the fade quad exactly
            for (int py = top; py <= bottom; ++py) {
                uint32_t *p = row_of(py);
                for (int x = 0; x < width; ++x)
                    p[x] = (p[x] >> 1) & 0x7f7f7f7fu;
            }
            break;
        case op_kind::wave: {
            const float colour[3][4] = {{o.rgba[0][0], o.rgba[0][1], o.rgba[0][2], o.rgba[0][3]},
                                        {o.rgba[0][0], o.rgba[0][1], o.rgba[0][2], o.rgba[0][3]},
                                        {0, 0, 0, 0}};
            for (int k = o.first + 2; k < o.first + o.count; ++k)
                draw_triangle(k - 1, k, o.first, colour, top, bottom);
            break;
        }
        case op_kind::triangle:
            draw_triangle(o.first, o.first + 1, o.first + 2, o.rgba, top, bottom);
            break;
        }
    }
}

// Bands of 8 rows, with a boundary at the middle row: every wave's triangles meet there, and a
// band across it would hold the most work twice.
constexpr int band_rows = 8;

void draw_all() {
    if (steps == 0)
        return;
    span = cpu_span_best();
    const int middle = height / 2;
    const int above = (middle + band_rows - 1) / band_rows;
    const int below = (height - middle + band_rows - 1) / band_rows;
    tbb::parallel_for(tbb::blocked_range<int>(0, above + below, 1),
                      [&](const tbb::blocked_range<int> &r) {
                          for (int b = r.begin(); b != r.end(); ++b) {
                              const int top = b < above ? middle - (above - b) * band_rows
                                                        : middle + (b - above) * band_rows;
                              draw_band(std::max(top, b < above ? 0 : middle),
                                        std::min(top + band_rows, b < above ? middle : height) - 1);
                          }
                      });
    steps = 0;
    vertices = 0;
}

// Adds count vertices of the unit square to the store, and returns where they start.
int add_vertices(const float *x, const float *y, int count, int &top, int &bottom) {
    const int first = vertices;
    cpu_vertices_best()(x, y, count, width, height, &wx[first], &wy[first], &gx[first], &gy[first]);
    vertices += count;
    const auto [lo, hi] = std::minmax_element(gy.begin() + first, gy.begin() + vertices);
    top = std::max(0, first_row(*lo));
    bottom = std::min(height - 1, last_row(*hi));
    return first;
}

void make_room(int count) {
    if (vertices + count > store_vertices || steps == store_ops)
        draw_all();
}

} // namespace

void cpu_picture_size(int w, int h) {
    width = std::max(w, 0);
    height = std::max(h, 0);
    picture.assign(static_cast<size_t>(width) * height, 0);
    if (wx.empty()) {
        wx.resize(store_vertices);
        wy.resize(store_vertices);
        gx.resize(store_vertices);
        gy.resize(store_vertices);
        ops.resize(store_ops);
    }
    steps = 0;
    vertices = 0;
}

const unsigned char *cpu_picture_pixels() {
    return reinterpret_cast<const unsigned char *>(picture.data());
}
int cpu_picture_width() { return width; }
int cpu_picture_height() { return height; }

void cpu_painter::fade() {
    make_room(0);
    op &o = ops[steps++];
    o.kind = op_kind::fade;
    o.top = 0;
    o.bottom = height - 1;
}

void cpu_painter::wave(float r, float g, float b, float a, const float *x, const float *y,
                       int count) {
    if (width <= 0 || height <= 0 || count < 2)
        return;
    make_room(count + 1);
    op &o = ops[steps++];
    o.kind = op_kind::wave;
    o.count = count + 1;
    static const float centre[1] = {0.5f};
    int top, bottom, top2, bottom2;
    o.first = add_vertices(centre, centre, 1, top, bottom);
    add_vertices(x, y, count, top2, bottom2);
    o.top = std::min(top, top2);
    o.bottom = std::max(bottom, bottom2);
    const float c[4] = {r, g, b, a};
    std::memcpy(o.rgba[0], c, sizeof c);
}

void cpu_painter::finish() { draw_all(); }

void cpu_triangle(const float (&x)[3], const float (&y)[3], const float (&rgba)[3][4]) {
    if (width <= 0 || height <= 0)
        return;
    make_room(3);
    op &o = ops[steps++];
    o.kind = op_kind::triangle;
    o.count = 3;
    o.first = add_vertices(x, y, 3, o.top, o.bottom);
    std::memcpy(o.rgba, rgba, sizeof o.rgba);
}

std::string cpu_painter_description() {
    const int threads = tbb::info::default_concurrency();
    return std::string("the processor (") + cpu_target_name(cpu_target_best()) + ", " +
           std::to_string(threads) + (threads == 1 ? " thread)" : " threads)");
}
