// SPDX-License-Identifier: GPL-3.0-or-later
// The GL side of a frame: draws what paint_frame describes with OpenGL 1.x fixed function. The
// fade quad goes in immediate mode; the waves go from client-side vertex arrays in static
// storage, as many waves to a glMultiDrawArrays call as the storage holds. Nothing is allocated.
// Also the order of one frame, the same for the window and the renderer: show_block.
// Main thread only, with a GL context current. The painter does not know whether it draws into
// a window or into a framebuffer object.
#pragma once

#include "frame.h"

// Makes the waves' storage resident: called once at start-up, so that the memory a long run holds
// does not creep up as heavier frames first reach further into it.
void paint_init();

// Maps the unit square onto a w x h viewport: x -> 2x - 1, y -> 2y - 1, whatever its aspect.
void paint_viewport(int w, int h);

struct gl_painter {
    void fade();
    void wave(float r, float g, float b, float a, const float *x, const float *y, int count);
    // Draws the waves still pending; call once paint_frame has returned.
    void finish();

  private:
    int used = 0;  // vertices in the storage
    int waves = 0; // waves in the storage
};

// Analyses the block and draws its frame (fade, hue, attack, waves) with the GL state a frame
// relies on. Part of show_block.
void draw_block(picture &pic, const double *block, double p, int w, int h);

// One frame of a block whose peak is p, in order: analyse, fade, hue, attack, waves; present()
// (the window swaps its buffers, the renderer reads the picture back); release, and the count of
// silent frames.
template <class Present>
void show_block(picture &pic, const double *block, double p, int w, int h, Present &&present) {
    draw_block(pic, block, p, w, h);
    present();
    picture_after(pic, p);
}
