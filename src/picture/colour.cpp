// SPDX-License-Identifier: GPL-3.0-or-later
#include "colour.h"

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
