// lumora: entry point, window, keys and the display callback.
// Everything here runs on the main thread, inside or around the toolkit's main loop.
#include "ft.h"
#include "pa.h"

#include <GL/freeglut.h>

static int w, h;       // window size in pixels, as the toolkit last reported it
static int fullscreen; // nonzero while the window covers the screen

// Leaving full screen, the toolkit (or the window manager) restores the size the window had
// before, which can override our request for 600 x 300 that was issued at the same time. The
// first few reshapes after leaving repeat the request until the window has that size.
static int windowed_retries;

static void show() {
    glClearColor(0, 0, 0, 0);
    glClear(GL_COLOR_BUFFER_BIT);
    glutSwapBuffers();
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
    glViewport(0, 0, w, h);
    // x -> 2x - 1, y -> 2y - 1: the unit square fills the viewport whatever its aspect
    glMatrixMode(GL_PROJECTION);
    glLoadIdentity();
    glTranslatef(-1, -1, 0);
    glScalef(2, 2, 1);
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

int main(int argc, char **argv) {
    ft_init();
    pa_init(); // audio flows from here on; a failure ends the process before any window exists
    glutInit(&argc, argv);
    // let Esc and the window manager's close button return from the main loop, so that the
    // shutdown below runs instead of the toolkit ending the process
    glutSetOption(GLUT_ACTION_ON_WINDOW_CLOSE, GLUT_ACTION_GLUTMAINLOOP_RETURNS);
    glutInitDisplayMode(GLUT_DOUBLE);
    glutInitWindowSize(600, 300);
    glutCreateWindow("sinusoidal decomposition");
    glutDisplayFunc(show);
    glutReshapeFunc(reshape);
    glutKeyboardFunc(keyboard);
    glutSpecialFunc(special);
    glutMainLoop();
    pa_close();
    ft_close();
    return 0;
}
