// SPDX-License-Identifier: GPL-3.0-or-later
// One triangle of the processor's painter: set up as Mesa's llvmpipe sets it up, and drawn a row
// span at a time into the picture. The painter's store and bands are in cpu_painter.cpp.
#pragma once

#include "cpu_spans.h"

#include <cstddef>
#include <cstdint>

// What a triangle is drawn from and into: the store's vertices, by index, and the picture.
struct cpu_canvas {
    const float *wx, *wy;   // window coordinates
    const int32_t *gx, *gy; // on the grid of 1/256 pixel
    uint32_t *picture;      // a pixel a word, rows bottom-up
    int width, height;
    cpu_span_fn span;

    uint32_t *row(int py) const { // py: rows top-down
        return picture + static_cast<size_t>(height - 1 - py) * width;
    }
};

// The rows whose pixel centres lie at or after, and at or before, a place on the grid (an
// arithmetic shift rounds down).
inline int cpu_first_row(int64_t y) { return static_cast<int>((y + 255) >> 8); }
inline int cpu_last_row(int64_t y) { return static_cast<int>(y >> 8); }

// Draws the rows top to bottom (rows top-down, inclusive) of the triangle of vertices a, b, c,
// with colour[i] (r, g, b, a) at each: nothing when its area on the grid is 0, or when it is too
// thin for its colour planes.
void cpu_draw_triangle(const cpu_canvas &canvas, int a, int b, int c, const float (&colour)[3][4],
                       int top, int bottom);
