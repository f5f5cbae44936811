// SPDX-License-Identifier: GPL-3.0-or-later
// The hue wheel that gives every wave its colour. A plain function with no state.
#pragma once

// Fully saturated, full-brightness colour of a hue given as a fraction of a turn in [0, 1).
// Hues of 1 and above, and NaN, give black. All three outputs are always written.
void h_to_rgb(double *r, double *g, double *b, double hue);
