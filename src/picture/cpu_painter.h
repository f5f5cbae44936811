// SPDX-License-Identifier: GPL-3.0-or-later
// The painter that draws on the processor: the same picture as OpenGL's fixed function draws it
// (each wave a fan from the transparent centre, colours interpolated, blended over 8-bit
// channels, the fade halving every pixel), into a picture of its own that persists from frame to
// frame. It knows these shapes: every triangle is set up exactly as a GL rasteriser sets it up,
// and then filled a row span at a time, 8 to 16 pixels to a vector register. The picture is cut
// into bands of rows, one band a task on every core, and each band blends every triangle in
// order, so the order of blending holds without a lock. Main thread only (it hands the bands to
// oneTBB's workers and waits for them).
#pragma once

#include <cstdint>
#include <string>

// Makes the picture w x h, black, with room for a frame's triangles: called on a resize, never in
// a frame. Both may be 0.
void cpu_picture_size(int w, int h);

// For the tests: room in the store for vertex_room vertices and step_room steps (a fade, a wave),
// from now on, where a frame that outgrows either is drawn in parts. Called between frames.
void cpu_store_size(int vertex_room, int step_room);

// The picture, rows bottom-up as GL reads a picture back, 4 bytes a pixel: blue, green, red and a
// byte that stays 0. Valid until the next cpu_picture_size.
const unsigned char *cpu_picture_pixels();
int cpu_picture_width();
int cpu_picture_height();

struct cpu_painter {
    void begin() {}
    void fade();
    void wave(float r, float g, float b, float a, const float *x, const float *y, int count);
    // Draws what is still pending; call once paint_frame has returned.
    void finish();
};

// What draws, for the line lumora-render prints: "the processor (AVX2, 2 threads)".
std::string cpu_painter_description();

// One triangle of the unit square, drawn as GL_TRIANGLES draws it with these colours (r, g, b, a
// at each vertex): for the tests that compare single triangles with OpenGL's. Call finish() of a
// painter to draw it.
void cpu_triangle(const float (&x)[3], const float (&y)[3], const float (&rgba)[3][4]);
