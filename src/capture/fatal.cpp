// SPDX-License-Identifier: GPL-3.0-or-later
#include "common.h"

#include <cstdio>
#include <cstdlib>

int error_status(int code) {
    // an exit status keeps only the low 8 bits: -9984 would read as 0, i.e. success
    return (code & 0xff) != 0 ? code : 1;
}

void error(const char *prefix, const char *text, int code) {
    std::fprintf(stderr, "%s%s\n", prefix, text);
    std::exit(error_status(code));
}

void error_now(const char *prefix, const char *text, int code) {
    std::fprintf(stderr, "%s%s\n", prefix, text);
    std::fflush(stderr);
    std::_Exit(error_status(code));
}

void h_to_rgb(double *r, double *g, double *b, double hue) {
    *r = 0;
    *g = 0;
    *b = 0;
    // strict comparisons: a hue on a sector boundary belongs to the later sector
    if (hue < 1.0 / 6) {
        *r = 1;
        *g = 6 * hue;
    } else if (hue < 1.0 / 3) {
        *r = 1 - 6 * (hue - 1.0 / 6);
        *g = 1;
    } else if (hue < 1.0 / 2) {
        *g = 1;
        *b = 6 * (hue - 1.0 / 3);
    } else if (hue < 2.0 / 3) {
        *g = 1 - 6 * (hue - 1.0 / 2);
        *b = 1;
    } else if (hue < 5.0 / 6) {
        *r = 6 * (hue - 2.0 / 3);
        *b = 1;
    } else if (hue < 1) {
        *r = 1;
        *b = 1 - 6 * (hue - 5.0 / 6);
    }
}
