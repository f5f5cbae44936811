// SPDX-License-Identifier: GPL-3.0-or-later
// The GL side of a frame: draws what paint_frame describes with OpenGL 1.x fixed function. The
// fade quad goes in immediate mode; the waves go from client-side vertex arrays in static
// storage, as many waves to a glMultiDrawArrays call as the storage holds. Nothing is allocated.
// Also the order of one frame, the same for the window and the renderer, whichever painter draws
// it: show_block.
// Main thread only, with a GL context current. The painter does not know whether it draws into
// a window or into a framebuffer object.
#pragma once

#include "cpu_painter.h"
#include "frame.h"
#include "ft.h"

// Makes the waves' storage resident: called once at start-up, so that the memory a long run holds
// does not creep up as heavier frames first reach further into it.
void paint_init();

// Maps the unit square onto a w x h viewport: x -> 2x - 1, y -> 2y - 1, whatever its aspect.
void paint_viewport(int w, int h);

// Shows a picture the processor's painter drew (rows bottom-up, BGRA) over the whole w x h
// viewport, as it is: no blending, every pixel replaced. Keeps a texture and a buffer in the GL
// context of its first call, which must be the only one it is called in.
void paint_show_picture(const unsigned char *bgra, int w, int h);

struct gl_painter {
    // Sets the GL state a frame relies on.
    void begin();
    void fade();
    void wave(float r, float g, float b, float a, const float *x, const float *y, int count);
    // Draws the waves still pending; call once paint_frame has returned.
    void finish();

  private:
    int used = 0;  // vertices in the storage
    int waves = 0; // waves in the storage
};

// One frame of a block whose peak is p, in order: analyse, fade, hue, attack, waves, drawn by the
// painter (gl_painter, or cpu_painter into its own picture); present() (the window shows the
// picture, the renderer reads it back); release, and the count of silent frames.
template <class Painter, class Present>
void show_block(Painter &paint, picture &pic, const double *block, double p, int w, int h,
                Present &&present) {
    ft_process(block);
    paint.begin();
    paint_frame(paint, ft_get_spectrum(), ft_get_max(), p, w, h, pic.n_steps, pic.hue,
                pic.global_volume);
    paint.finish();
    present();
    picture_after(pic, p);
}

// show_block in a window: drawn by the processor's painter (on_cpu) and then shown through GL
// over the whole w x h viewport, or drawn by GL itself; present() then swaps the buffers.
template <class Present>
void show_block_in_window(bool on_cpu, picture &pic, const double *block, double p, int w, int h,
                          Present &&present) {
    if (on_cpu) {
        cpu_painter paint;
        show_block(paint, pic, block, p, w, h, [&] {
            paint_show_picture(cpu_picture_pixels(), w, h);
            present();
        });
    } else {
        gl_painter paint;
        show_block(paint, pic, block, p, w, h, present);
    }
}
