// SPDX-License-Identifier: GPL-3.0-or-later
#define GL_GLEXT_PROTOTYPES // glMultiDrawArrays, OpenGL 1.4; buffer objects, 1.5
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

// The picture goes to GL through one texture kept from frame to frame, replaced in place, and a
// quad whose corners stay in a buffer of GL's own. glDrawPixels would do it in one call, but
// software GL then makes a texture and a copy of the picture for every call (1.4 MB a frame at
// 600 x 300) and streams the quad's corners into a pool that it renews every few thousand
// frames, so a long run's memory would step up at some frame of its own.
static GLuint texture, corners;
static GLint largest; // GL's largest texture, either way
static int texture_w, texture_h;

void paint_show_picture(const unsigned char *bgra, int w, int h) {
    glDisable(GL_BLEND);
    glPixelStorei(GL_UNPACK_ALIGNMENT, 4);
    if (texture == 0) {
        glGetIntegerv(GL_MAX_TEXTURE_SIZE, &largest);
        glGenTextures(1, &texture);
        glBindTexture(GL_TEXTURE_2D, texture);
        // texel i is sampled at pixel i's centre: each pixel is copied as it is
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_NEAREST);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_NEAREST);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, GL_CLAMP_TO_EDGE);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, GL_CLAMP_TO_EDGE);
        glTexEnvi(GL_TEXTURE_ENV, GL_TEXTURE_ENV_MODE, GL_REPLACE);
        static const float unit_square[4][4] = {
            {0, 0, 0, 0}, {1, 0, 1, 0}, {1, 1, 1, 1}, {0, 1, 0, 1}};
        glGenBuffers(1, &corners);
        glBindBuffer(GL_ARRAY_BUFFER, corners);
        glBufferData(GL_ARRAY_BUFFER, sizeof unit_square, unit_square, GL_STATIC_DRAW);
        glBindBuffer(GL_ARRAY_BUFFER, 0);
    }
    if (w > largest || h > largest) { // larger than a texture may be: GL cuts the picture up
        glRasterPos2f(0, 0);          // the bottom-left corner of the unit square
        glDrawPixels(w, h, GL_BGRA, GL_UNSIGNED_BYTE, bgra);
        return;
    }
    glBindTexture(GL_TEXTURE_2D, texture);
    if (w != texture_w || h != texture_h) { // a new size: the only time the texture is made
        glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA8, w, h, 0, GL_BGRA, GL_UNSIGNED_BYTE, bgra);
        texture_w = w;
        texture_h = h;
    } else {
        glTexSubImage2D(GL_TEXTURE_2D, 0, 0, 0, w, h, GL_BGRA, GL_UNSIGNED_BYTE, bgra);
    }
    glEnable(GL_TEXTURE_2D);
    glBindBuffer(GL_ARRAY_BUFFER, corners);
    glEnableClientState(GL_VERTEX_ARRAY);
    glEnableClientState(GL_TEXTURE_COORD_ARRAY);
    glVertexPointer(2, GL_FLOAT, 4 * sizeof(float), nullptr);
    glTexCoordPointer(2, GL_FLOAT, 4 * sizeof(float),
                      reinterpret_cast<const void *>(2 * sizeof(float)));
    glDrawArrays(GL_TRIANGLE_FAN, 0, 4);
    glDisableClientState(GL_TEXTURE_COORD_ARRAY);
    glDisableClientState(GL_VERTEX_ARRAY);
    glBindBuffer(GL_ARRAY_BUFFER, 0);
    glDisable(GL_TEXTURE_2D);
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
