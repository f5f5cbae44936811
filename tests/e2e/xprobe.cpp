// A small X11 probe for the end-to-end tests: asks a window to close the way a window manager
// does, and grabs a window's pixels into a PPM file that the picture checks read.
//   xprobe close WINDOW        send WM_DELETE_WINDOW
//   xprobe shot WINDOW FILE    write the window's pixels as binary PPM
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

static int usage() {
    std::fprintf(stderr, "usage: xprobe close WINDOW | xprobe shot WINDOW FILE\n");
    return 2;
}

static int close_window(Display *dpy, Window win) {
    XEvent ev{};
    ev.xclient.type = ClientMessage;
    ev.xclient.window = win;
    ev.xclient.message_type = XInternAtom(dpy, "WM_PROTOCOLS", False);
    ev.xclient.format = 32;
    ev.xclient.data.l[0] = static_cast<long>(XInternAtom(dpy, "WM_DELETE_WINDOW", False));
    ev.xclient.data.l[1] = CurrentTime;
    XSendEvent(dpy, win, False, NoEventMask, &ev);
    XSync(dpy, False);
    return 0;
}

static int shot(Display *dpy, Window win, const char *path) {
    XWindowAttributes wa;
    if (!XGetWindowAttributes(dpy, win, &wa))
        return 1;
    XImage *img = XGetImage(dpy, win, 0, 0, wa.width, wa.height, AllPlanes, ZPixmap);
    if (!img) {
        std::fprintf(stderr, "xprobe: cannot read the window's pixels\n");
        return 1;
    }
    FILE *f = std::fopen(path, "wb");
    if (!f) {
        std::perror(path);
        return 1;
    }
    std::fprintf(f, "P6\n%d %d\n255\n", wa.width, wa.height);
    for (int y = 0; y < wa.height; ++y)
        for (int x = 0; x < wa.width; ++x) {
            unsigned long p = XGetPixel(img, x, y);
            unsigned char rgb[3] = {static_cast<unsigned char>((p & img->red_mask) >> 16),
                                    static_cast<unsigned char>((p & img->green_mask) >> 8),
                                    static_cast<unsigned char>(p & img->blue_mask)};
            std::fwrite(rgb, 1, 3, f);
        }
    std::fclose(f);
    XDestroyImage(img);
    return 0;
}

int main(int argc, char **argv) {
    if (argc < 3)
        return usage();
    Display *dpy = XOpenDisplay(nullptr);
    if (!dpy) {
        std::fprintf(stderr, "xprobe: cannot open display\n");
        return 1;
    }
    Window win = std::strtoul(argv[2], nullptr, 0);
    int rc;
    if (!std::strcmp(argv[1], "close"))
        rc = close_window(dpy, win);
    else if (!std::strcmp(argv[1], "shot") && argc == 4)
        rc = shot(dpy, win, argv[3]);
    else
        rc = usage();
    XCloseDisplay(dpy);
    return rc;
}
