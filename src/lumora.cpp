// SPDX-License-Identifier: GPL-3.0-or-later
// lumora: entry point, window, keys and the display callback.
// Everything here runs on the main thread, inside or around the toolkit's main loop.
#include "capture/pa.h"
#include "picture/frame.h"
#include "picture/ft.h"
#include "picture/paint.h"
#include "picture/painter_choice.h"

#include <GL/freeglut.h>
#include <GL/glx.h>
#include <X11/Xutil.h>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <malloc.h>

static int w, h;       // window size in pixels, as the toolkit last reported it
static int fullscreen; // nonzero while the window covers the screen

// Leaving full screen, the toolkit (or the window manager) restores the size the window had
// before, which can override our request for 600 x 300 that was issued at the same time. The
// first few reshapes after leaving repeat the request until the window has that size.
static int windowed_retries;

static picture pic; // hue, running volume, detail and silence, from frame to frame
// LUMORA_RENDERER: where OpenGL draws in software (llvmpipe), the processor's own painter draws
// the picture, and OpenGL only shows it
static painter_choice choice = painter_choice::automatic;
static bool on_cpu;
static char title[64];

// Once the picture rests in silence, frames stop, and a timer looks for a block above the silence
// gate every wake_ms; the first one is drawn at once. The wait lies between frames, so no frame
// time counts it.
constexpr int wake_ms = 10;
static bool wake_armed; // a wake-up timer is pending

static void wait_for_sound();

static void wake(int) {
    wake_armed = false;
    if (pic.silent_frames < fade_frames)
        return;      // frames run again (an expose event drew one and found sound)
    pa_get_sample(); // the frame takes the same block: no newer one comes within a few ms
    if (picture_rests(pic, pa_get_max()))
        wait_for_sound();
    else
        glutPostRedisplay();
}

static void wait_for_sound() {
    if (!wake_armed) {
        wake_armed = true;
        glutTimerFunc(wake_ms, wake, 0);
    }
}

// Frames of loud broadband sound at full detail have the software GL driver bin hundreds of
// thousands of triangles; part of that memory it frees, and the C library keeps it. Once the
// picture rests, it is given back: 36 MB after such frames here.
static void rest() {
    malloc_trim(0);
    wait_for_sound();
}

static void show() {
    const int start = glutGet(GLUT_ELAPSED_TIME);
    const double *block = pa_get_sample();
    const double p = pa_get_max();
    show_block_in_window(on_cpu, pic, block, p, w, h, [] { glutSwapBuffers(); });
    if (pic.silent_frames == fade_frames)
        rest();
    else
        glutPostRedisplay();

    const float fps = frame_rate(glutGet(GLUT_ELAPSED_TIME) - start);
    if (adjust_detail(pic.n_steps, fps, detail_gain(p, pic.global_volume), w)) {
        format_title(title, sizeof title, fps);
        glutSetWindowTitle(title);
    }
}

static void reshape(int width, int height) {
    if (!fullscreen && windowed_retries > 0) {
        if (width == 600 && height == 300)
            windowed_retries = 0;
        else {
            --windowed_retries;
            glutReshapeWindow(600, 300);
        }
    }
    w = width;
    h = height;
    frame_reserve(w); // the walk's table grows here, not in a frame
    paint_viewport(w, h);
    if (on_cpu)
        cpu_picture_size(w, h); // a new size starts black, as a resized window does
}

static void keyboard(unsigned char key, int, int) {
    if (key == 27)
        glutLeaveMainLoop();
}

static void special(int key, int, int) {
    if (key != GLUT_KEY_F11)
        return;
    fullscreen = !fullscreen;
    if (fullscreen) {
        windowed_retries = 0;
        glutFullScreen();
        glutSetCursor(GLUT_CURSOR_NONE);
    } else {
        glutReshapeWindow(600, 300);
        windowed_retries = 3;
        glutSetCursor(GLUT_CURSOR_INHERIT);
    }
}

// What the desktop knows the window by: the class a taskbar matches with the desktop entry's
// StartupWMClass, to show its icon and group it with the launcher, and the name shown for it
// when minimised. freeglut sets neither; its window is GLX's current drawable.
static void introduce_window() {
    glutSetIconTitle("lumora");
    Display *display = glXGetCurrentDisplay();
    const GLXDrawable window = glXGetCurrentDrawable();
    if (!display || !window)
        return;
    char name[] = "lumora", type[] = "lumora";
    XClassHint hint{name, type};
    XSetClassHint(display, window, &hint);
}

int main(int argc, char **argv) {
    const char *renderer = std::getenv("LUMORA_RENDERER");
    if (renderer && !painter_parse(renderer, choice)) {
        std::fprintf(stderr, "lumora: LUMORA_RENDERER is '%s': give auto, cpu or gl\n", renderer);
        return 2;
    }
    ft_init();
    paint_init();
    pa_init(); // audio flows from here on; a failure ends the process before any window exists
    glutInit(&argc, argv);
    // let Esc and the window manager's close button return from the main loop, so that the
    // shutdown below runs instead of the toolkit ending the process
    glutSetOption(GLUT_ACTION_ON_WINDOW_CLOSE, GLUT_ACTION_GLUTMAINLOOP_RETURNS);
    glutInitDisplayMode(GLUT_DOUBLE);
    glutInitWindowSize(600, 300);
    glutCreateWindow("sinusoidal decomposition");
    introduce_window();
    on_cpu = painter_on_cpu(choice, reinterpret_cast<const char *>(glGetString(GL_RENDERER)));
    glutDisplayFunc(show);
    glutReshapeFunc(reshape);
    glutKeyboardFunc(keyboard);
    glutSpecialFunc(special);
    glutMainLoop();
    pa_close();
    ft_close();
    return 0;
}
