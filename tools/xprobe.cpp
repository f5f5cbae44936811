// SPDX-License-Identifier: GPL-3.0-or-later
// A small X11 probe for the end-to-end tests and the picture scripts: asks a window to close the
// way a window manager does, grabs a window's pixels into a PPM file, and measures such a file.
//   xprobe close WINDOW        send WM_DELETE_WINDOW
//   xprobe shot WINDOW FILE    write the window's pixels as binary PPM
//   xprobe waves FILE          measure a PPM: "lit=F max=N crests=N troughs=N"
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

static int usage() {
    std::fprintf(stderr, "usage: xprobe close WINDOW | shot WINDOW FILE | waves FILE\n");
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

// Reads the window's pixels from the root window, so that a window partly off the screen (the
// toolkit places new windows at -1, -1 when no window manager runs) still reads; the part off
// the screen reads black.
static int shot(Display *dpy, Window win, const char *path) {
    XWindowAttributes wa, ra;
    Window root = DefaultRootWindow(dpy), child;
    int wx, wy;
    if (!XGetWindowAttributes(dpy, win, &wa) || !XGetWindowAttributes(dpy, root, &ra) ||
        !XTranslateCoordinates(dpy, win, root, 0, 0, &wx, &wy, &child))
        return 1;
    int x0 = wx < 0 ? 0 : wx, y0 = wy < 0 ? 0 : wy;
    int x1 = wx + wa.width > ra.width ? ra.width : wx + wa.width;
    int y1 = wy + wa.height > ra.height ? ra.height : wy + wa.height;
    XImage *img = nullptr;
    if (x1 > x0 && y1 > y0)
        img = XGetImage(dpy, root, x0, y0, x1 - x0, y1 - y0, AllPlanes, ZPixmap);
    FILE *f = std::fopen(path, "wb");
    if (!f) {
        std::perror(path);
        return 1;
    }
    std::fprintf(f, "P6\n%d %d\n255\n", wa.width, wa.height);
    for (int y = 0; y < wa.height; ++y)
        for (int x = 0; x < wa.width; ++x) {
            int rx = wx + x, ry = wy + y;
            unsigned long p = 0;
            if (img && rx >= x0 && rx < x1 && ry >= y0 && ry < y1)
                p = XGetPixel(img, rx - x0, ry - y0);
            unsigned char rgb[3] = {static_cast<unsigned char>((p >> 16) & 0xff),
                                    static_cast<unsigned char>((p >> 8) & 0xff),
                                    static_cast<unsigned char>(p & 0xff)};
            std::fwrite(rgb, 1, 3, f);
        }
    std::fclose(f);
    if (img)
        XDestroyImage(img);
    return 0;
}

// Counts the turns of a profile that are at least `min_rise` deep: the zigzag of its extremes.
static int count_peaks(const std::vector<int> &v, int min_rise) {
    int peaks = 0, low = v.empty() ? 0 : v[0], high = low;
    bool rising = true;
    for (int x : v) {
        if (rising) {
            if (x > high)
                high = x;
            else if (high - x >= min_rise && high - low >= min_rise) {
                ++peaks;
                rising = false;
                low = x;
            }
        } else {
            if (x < low)
                low = x;
            else if (x - low >= min_rise) {
                rising = true;
                high = x;
            }
        }
    }
    return peaks;
}

// The picture's measures: the lit share of pixels, the brightest channel, and the crests and
// troughs of the lit area's upper and lower edges (how far each column's lit pixels reach above
// and below the middle), which for one dominant wave are its half-periods above and below.
static int waves(const char *path) {
    FILE *f = std::fopen(path, "rb");
    int w, h, maxval;
    if (!f || std::fscanf(f, "P6 %d %d %d", &w, &h, &maxval) != 3 || std::fgetc(f) == EOF) {
        std::fprintf(stderr, "xprobe: cannot read %s\n", path);
        return 1;
    }
    std::vector<unsigned char> px(static_cast<size_t>(w) * h * 3);
    size_t got = std::fread(px.data(), 1, px.size(), f);
    std::fclose(f);
    if (got != px.size())
        return 1;
    const int threshold = 24;
    long lit = 0;
    int brightest = 0;
    std::vector<int> up(w, 0), down(w, 0);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const unsigned char *p = &px[(static_cast<size_t>(y) * w + x) * 3];
            int l = std::max({p[0], p[1], p[2]});
            brightest = std::max(brightest, l);
            if (l <= threshold)
                continue;
            ++lit;
            if (2 * y < h)
                up[x] = std::max(up[x], h / 2 - y);
            else
                down[x] = std::max(down[x], y - h / 2);
        }
    std::printf("lit=%.4f max=%d crests=%d troughs=%d\n", static_cast<double>(lit) / w / h,
                brightest, count_peaks(up, 3), count_peaks(down, 3));
    return 0;
}

int main(int argc, char **argv) {
    if (argc < 3)
        return usage();
    if (!std::strcmp(argv[1], "waves"))
        return waves(argv[2]);
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
