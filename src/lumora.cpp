// SPDX-License-Identifier: GPL-3.0-or-later
// lumora: entry point, window, keys and the display callback.
// Everything here runs on the main thread, inside or around the toolkit's main loop.
#include "capture/pa.h"
#include "picture/frame.h"
#include "picture/ft.h"
#include "picture/paint.h"
#include "picture/painter_choice.h"
#include "picture/standard_streams.h"

#include <GL/freeglut.h>
#include <GL/glx.h>
#include <X11/Xutil.h>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <malloc.h>

static int w, h;       // window size in pixels, as the toolkit last reported it
static int fullscreen; // nonzero while the window covers the screen

// Leaving full screen, the toolkit (or the window manager) restores the size the window had
// before, which can override our request for 600 x 300 that was issued at the same time. The
// first few reshapes after leaving repeat the request until the window has that size.
static int windowed_retries;

static picture pic; // hue, running volume, detail and silence, from frame to frame
static double centred[pa_block_size]; // room for a block off centre (block_centre)
// LUMORA_RENDERER: where OpenGL draws in software (llvmpipe), the processor's own painter draws
// the picture, and OpenGL only shows it
static painter_choice choice = painter_choice::automatic;
static bool on_cpu;
static char title[64];
static bool too_large; // the window is larger than OpenGL here draws (reshape, below)

// Once the picture rests in silence, frames stop, and a timer looks for a block above the silence
// gate every wake_ms; the first one is drawn at once. The wait lies between frames, so no frame
// time counts it.
constexpr int wake_ms = 10;
static bool wake_armed; // a wake-up timer is pending

// The picture moves once a block: its fade, hue turn and release are set for a frame every 50 ms,
// the pace blocks come at. A frame that has drawn the newest block waits for the next instead of
// drawing the same one again, so a fast machine shows what a 20-frames-a-second one shows, and
// spends a quarter of the work. The capture's callback may make no system call to wake us, so a
// timer looks for the block every block_poll_ms: at most that late, a fraction of a frame.
constexpr int block_poll_ms = 2;
static bool block_poll_armed; // a timer looking for the next block is pending

// What the title shows: the rate frames reach the screen, from one frame's start to the next's
// (the work and the wait). The detail control learns from the frame's own work alone.
static int last_start = -1; // when the last frame started, in ms; -1 after a rest

static void wait_for_sound();

static void wake(int) {
    wake_armed = false;
    if (pic.silent_frames < fade_frames)
        return; // frames run again (an expose event drew one and found sound)
    // the frame takes the same block: no newer one comes within a few ms
    double p = pa_get_max();
    block_centre(pa_get_sample(), p, centred);
    if (picture_rests(pic, p))
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

static void look_for_block(int) {
    block_poll_armed = false;
    if (pa_block_waiting())
        glutPostRedisplay();
    else {
        block_poll_armed = true;
        glutTimerFunc(block_poll_ms, look_for_block, 0);
    }
}

static void wait_for_block() {
    if (pa_block_waiting())
        glutPostRedisplay(); // the frame took longer than a block: the next is there already
    else if (!block_poll_armed) {
        block_poll_armed = true;
        glutTimerFunc(block_poll_ms, look_for_block, 0);
    }
}

// Frames of loud broadband sound at full detail have the software GL driver bin hundreds of
// thousands of triangles; part of that memory it frees, and the C library keeps it. Once the
// picture rests, it is given back: 36 MB after such frames here.
static void rest() {
    malloc_trim(0);
    last_start = -1;
    wait_for_sound();
}

static void show() {
    if (too_large)
        return; // nothing is drawn until the window is a size that can be
    const int start = glutGet(GLUT_ELAPSED_TIME);
    const double *block = pa_get_sample();
    double p = pa_get_max();
    block = block_centre(block, p, centred);
    show_block_in_window(on_cpu, pic, block, p, w, h, [] { glutSwapBuffers(); });
    if (pic.silent_frames == fade_frames)
        rest();
    else
        wait_for_block();

    const int d = glutGet(GLUT_ELAPSED_TIME) - start;
    adjust_detail(pic.n_steps, frame_rate(d), detail_gain(p, pic.global_volume), w);
    const int seen = last_start >= 0 && start > last_start ? start - last_start : d;
    if (pic.silent_frames < fade_frames)
        last_start = start;
    if (seen >= 10) { // a rate past 100 a second is no rate a screen shows
        char now[sizeof title];
        format_title(now, sizeof now, frame_rate(seen));
        if (std::strcmp(now, title) != 0) {
            std::memcpy(title, now, sizeof title);
            glutSetWindowTitle(title);
        }
    }
}

// A window too large to draw: wider or taller than OpenGL's viewport may be, or of 2 GiB of
// pixels or more, where llvmpipe's rasteriser crashed (a window of 23200 x 23200 held, 32767 x
// 32767 ended lumora in a fault in its threads). Such a window is not drawn at all, and is asked
// to take the largest size of its shape that can be; lumora says so once.
static int largest_w = 16384, largest_h = 16384;
static bool said_too_large;

static bool drawable(long long width, long long height) {
    return width <= largest_w && height <= largest_h && width * height * 4 < (1LL << 31);
}

static void find_largest() {
    GLint dims[2] = {0, 0};
    glGetIntegerv(GL_MAX_VIEWPORT_DIMS, dims);
    if (dims[0] > 0 && dims[1] > 0) {
        largest_w = dims[0];
        largest_h = dims[1];
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
    too_large = !drawable(width, height);
    if (too_large) {
        // the largest size of the same shape that can be drawn
        double f = std::min(
            {1.0, largest_w / static_cast<double>(width), largest_h / static_cast<double>(height)});
        f = std::min(f, std::sqrt(((1LL << 31) - 1) / 4.0 / width / height));
        const int fit_w = std::max(1, static_cast<int>(width * f)),
                  fit_h = std::max(1, static_cast<int>(height * f));
        if (!said_too_large)
            std::fprintf(stderr,
                         "lumora: a window of %dx%d is larger than OpenGL here draws; it is "
                         "not drawn, and asked to be %dx%d\n",
                         width, height, fit_w, fit_h);
        said_too_large = true;
        glutReshapeWindow(fit_w, fit_h);
        return;
    }
    said_too_large = false;
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

static const char usage[] =
    "usage: lumora [toolkit options]\n"
    "Shows the default sound input as coloured standing waves, one for every 20 Hz from 40 Hz up.\n"
    "\n"
    "Keys:  Esc quits; F11 switches between full screen and a 600x300 window.\n"
    "\n"
    "Environment:\n"
    "  LUMORA_RENDERER=auto|cpu|gl  what draws: the processor where OpenGL draws in software\n"
    "                               (auto, the default), or the one named\n"
    "  PULSE_SOURCE=NAME            the PulseAudio or PipeWire source to listen to; to see what\n"
    "                               the computer plays:\n"
    "      PULSE_SOURCE=\"$(pactl get-default-sink).monitor\" lumora\n"
    "\n"
    "Options of the X11 toolkit, such as -display NAME, are passed on to it.\n"
    "lumora-render draws the same picture of a sound file into a video.\n"
    "See man lumora and man lumora-render.\n";

int main(int argc, char **argv) {
    standard_streams_open();
    // before anything opens a device or a display: asking is all these do
    for (int k = 1; k < argc; ++k) {
        if (!std::strcmp(argv[k], "--help") || !std::strcmp(argv[k], "-h")) {
            std::fputs(usage, stdout);
            return 0;
        }
        if (!std::strcmp(argv[k], "--version")) {
            std::printf("lumora %s\n", LUMORA_VERSION);
            return 0;
        }
    }
    const char *renderer = std::getenv("LUMORA_RENDERER");
    if (renderer && !painter_parse(renderer, choice)) {
        std::fprintf(stderr, "lumora: LUMORA_RENDERER is '%s': give auto, cpu or gl\n", renderer);
        return 2;
    }
    painter_gl_exact();
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
    find_largest();
    glutDisplayFunc(show);
    glutReshapeFunc(reshape);
    glutKeyboardFunc(keyboard);
    glutSpecialFunc(special);
    glutMainLoop();
    pa_close();
    ft_close();
    return 0;
}
