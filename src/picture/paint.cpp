// SPDX-License-Identifier: GPL-3.0-or-later
#define GL_GLEXT_PROTOTYPES // glMultiDrawArrays, OpenGL 1.4
#include "paint.h"

#include <GL/gl.h>
#include <cstring>

// Room for 2^16 vertices (1.5 MiB): a wave has at most w + 2 (the centre, and a column a pixel
// and one past the right edge), so a wave of the widest window X allows (32767 pixels) fits
// twice; a frame at 600 x 300 and 100 steps (113 k vertices) goes in two calls. The store was
// 6 MiB; a bigger one saves no time, and software GL keeps its own memory for the triangles
// however they are handed over.
struct gl_vertex {
    float x, y, r, g, b, a;
};
constexpr int arena_size = 1 << 16;
static gl_vertex arena[arena_size];
static GLint first[last_bin - first_bin + 1];
static GLsizei count_of[last_bin - first_bin + 1];

void paint_init() { std::memset(arena, 0, sizeof arena); }

void paint_viewport(int w, int h) {
    glViewport(0, 0, w, h);
    glMatrixMode(GL_PROJECTION);
    glLoadIdentity();
    glTranslatef(-1, -1, 0);
    glScalef(2, 2, 1);
}

void paint_show_picture(const unsigned char *bgra, int w, int h) {
    glDisable(GL_BLEND);
    glPixelStorei(GL_UNPACK_ALIGNMENT, 4);
    glRasterPos2f(0, 0); // the bottom-left corner of the unit square
    glDrawPixels(w, h, GL_BGRA, GL_UNSIGNED_BYTE, bgra);
}

void gl_painter::begin() {
    // the state this frame relies on, set here rather than inherited; nothing ever clears
    glEnable(GL_BLEND);
    glBlendFunc(GL_SRC_ALPHA, GL_ONE_MINUS_SRC_ALPHA);
    glShadeModel(GL_SMOOTH);
    glClearColor(0, 0, 0, 0);
}

void gl_painter::fade() {
    // the back buffer keeps the last frame; halving it leaves the trails
    glColor4f(0, 0, 0, 0.5f);
    glBegin(GL_POLYGON);
    glVertex2f(0, 0);
    glVertex2f(1, 0);
    glVertex2f(1, 1);
    glVertex2f(0, 1);
    glEnd();
}

void gl_painter::wave(float r, float g, float b, float a, const float *x, const float *y,
                      int count) {
    if (used + count + 1 > arena_size)
        finish();
    first[waves] = used;
    // a fan from the transparent centre: each wave grows from nothing to its curve
    arena[used++] = {0.5f, 0.5f, 0, 0, 0, 0};
    for (int k = 0; k < count; ++k)
        arena[used++] = {x[k], y[k], r, g, b, a};
    count_of[waves] = count + 1;
    ++waves;
}

void gl_painter::finish() {
    if (waves > 0) {
        glEnableClientState(GL_VERTEX_ARRAY);
        glEnableClientState(GL_COLOR_ARRAY);
        glVertexPointer(2, GL_FLOAT, sizeof(gl_vertex), &arena[0].x);
        glColorPointer(4, GL_FLOAT, sizeof(gl_vertex), &arena[0].r);
        glMultiDrawArrays(GL_POLYGON, first, count_of, waves);
        glDisableClientState(GL_COLOR_ARRAY);
        glDisableClientState(GL_VERTEX_ARRAY);
    }
    used = 0;
    waves = 0;
}
