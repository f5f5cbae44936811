// SPDX-License-Identifier: GPL-3.0-or-later
// A frame's fade, waves and triangles are recorded as they come, their vertices taken to window
// coordinates at once; finish() then draws them band by band, every band on whichever core is
// free, each band every recorded step in order. A frame that outgrows the store is drawn in parts,
// each part whole before the next, which keeps the order. A polygon is split as OpenGL's llvmpipe
// splits it, (v[i - 1], v[i], v[0]): a wave, whose v[0] is the centre, into the triangles (curve
// point, next curve point, centre); each is drawn as cpu_triangle.cpp says.
#include "cpu_painter.h"

#include "cpu_spans.h"
#include "cpu_triangle.h"

#include <algorithm>
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
int store_vertices = 1 << 18;
int store_ops = 4096;
std::vector<float> wx, wy;   // window coordinates
std::vector<int32_t> gx, gy; // on the grid of 1/256 pixel
std::vector<op> ops;
int vertices, steps;

void draw_band(const cpu_canvas &canvas, int top, int bottom) { // rows top-down, inclusive
    for (int s = 0; s < steps; ++s) {
        const op &o = ops[s];
        if (o.bottom < top || o.top > bottom)
            continue;
        switch (o.kind) {
        case op_kind::fade:
            // the blender's m(d, 127) is d / 2 rounded down, for every d: the fade quad exactly
            for (int py = top; py <= bottom; ++py) {
                uint32_t *p = canvas.row(py);
                for (int x = 0; x < width; ++x)
                    p[x] = (p[x] >> 1) & 0x7f7f7f7fu;
            }
            break;
        case op_kind::wave: {
            const float colour[3][4] = {{o.rgba[0][0], o.rgba[0][1], o.rgba[0][2], o.rgba[0][3]},
                                        {o.rgba[0][0], o.rgba[0][1], o.rgba[0][2], o.rgba[0][3]},
                                        {0, 0, 0, 0}};
            for (int k = o.first + 2; k < o.first + o.count; ++k)
                cpu_draw_triangle(canvas, k - 1, k, o.first, colour, top, bottom);
            break;
        }
        case op_kind::triangle:
            cpu_draw_triangle(canvas, o.first, o.first + 1, o.first + 2, o.rgba, top, bottom);
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
    const cpu_canvas canvas{wx.data(),      wy.data(), gx.data(), gy.data(),
                            picture.data(), width,     height,    cpu_span_best()};
    const int middle = height / 2;
    const int above = (middle + band_rows - 1) / band_rows;
    const int below = (height - middle + band_rows - 1) / band_rows;
    tbb::parallel_for(tbb::blocked_range<int>(0, above + below, 1),
                      [&](const tbb::blocked_range<int> &r) {
                          for (int b = r.begin(); b != r.end(); ++b) {
                              const int top = b < above ? middle - (above - b) * band_rows
                                                        : middle + (b - above) * band_rows;
                              draw_band(canvas, std::max(top, b < above ? 0 : middle),
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
    top = std::max(0, cpu_first_row(*lo));
    bottom = std::min(height - 1, cpu_last_row(*hi));
    return first;
}

void make_room(int count) {
    if (vertices + count > store_vertices || steps == store_ops)
        draw_all();
}

void make_store() { // each exactly its size, so that a step past it is outside
    std::vector<float>(store_vertices).swap(wx);
    std::vector<float>(store_vertices).swap(wy);
    std::vector<int32_t>(store_vertices).swap(gx);
    std::vector<int32_t>(store_vertices).swap(gy);
    std::vector<op>(store_ops).swap(ops);
    steps = 0;
    vertices = 0;
}

} // namespace

void cpu_picture_size(int w, int h) {
    width = std::max(w, 0);
    height = std::max(h, 0);
    picture.assign(static_cast<size_t>(width) * height, 0);
    if (wx.empty())
        make_store();
    steps = 0;
    vertices = 0;
}

void cpu_store_size(int vertex_room, int step_room) {
    store_vertices = std::max(vertex_room, 4);
    store_ops = std::max(step_room, 1);
    make_store();
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
    // A wave longer than the store goes in pieces, each a fan from the centre to a stretch of
    // the curve that starts at the last one's end: the same triangles in the same order. (A still
    // may be wider than any window: up to 2 million pixels.)
    const int most = store_vertices - 1;
    for (int from = 0; from + 1 < count; from += most - 1) {
        const int n = std::min(count - from, most);
        make_room(n + 1);
        op &o = ops[steps++];
        o.kind = op_kind::wave;
        o.count = n + 1;
        static const float centre[1] = {0.5f};
        int top, bottom, top2, bottom2;
        o.first = add_vertices(centre, centre, 1, top, bottom);
        add_vertices(x + from, y + from, n, top2, bottom2);
        o.top = std::min(top, top2);
        o.bottom = std::max(bottom, bottom2);
        const float c[4] = {r, g, b, a};
        std::memcpy(o.rgba[0], c, sizeof c);
    }
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
