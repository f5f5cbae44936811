// SPDX-License-Identifier: GPL-3.0-or-later
// The rules below are OpenGL's as Mesa's llvmpipe keeps them, found by drawing triangles with it
// and reading them back (the fidelity test does so on every run):
// - Rows run top-down (a window's, and lumora-render's framebuffer with Mesa's flip_y), and a
//   vertex goes to the grid of 1/256 pixel with pixel centres on whole numbers (cpu_spans.h).
// - A triangle whose area on the grid is 0 is not drawn; one whose area is negative has its first
//   two vertices swapped.
// - A pixel is covered when its centre is inside, by edge functions on the grid in whole numbers.
//   A centre exactly on an edge counts for an edge on the left of the triangle and for a
//   horizontal edge below it (rows top-down), so an edge two triangles share is drawn once.
// - Colours are planes through the three vertices at their window positions before the grid,
//   taken relative to the first vertex in single precision (see planes_of); a triangle too thin
//   for them (the planes come out infinite or NaN) draws nothing.
#include "cpu_triangle.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace {

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

// The colour planes of a triangle, as llvmpipe's set-up computes them: differences relative to the
// first vertex, one over the area, and the value at pixel (0, 0), each operation rounded to single
// precision on its own (no contraction: -ffp-contract=off), the four channels side by side in one
// vector. False when they are not finite.
using four_floats = float __attribute__((vector_size(16)));

bool planes_of(const float *wx, const float *wy, const int (&v)[3], const float (&c)[3][4],
               cpu_planes &p) {
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

} // namespace

void cpu_draw_triangle(const cpu_canvas &canvas, int a, int b, int c, const float (&colour)[3][4],
                       int top, int bottom) {
    const int32_t *gx = canvas.gx, *gy = canvas.gy;
    const int width = canvas.width;
    const int64_t ymin = std::min({gy[a], gy[b], gy[c]}), ymax = std::max({gy[a], gy[b], gy[c]});
    top = std::max(top, cpu_first_row(ymin));
    bottom = std::min(bottom, cpu_last_row(ymax));
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
    if (!planes_of(canvas.wx, canvas.wy, v, col, planes))
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
            canvas.span(reinterpret_cast<uint8_t *>(canvas.row(py)), static_cast<int>(lo),
                        static_cast<int>(hi), static_cast<float>(py), planes);
    }
}
