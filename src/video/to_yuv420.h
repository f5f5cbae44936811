// SPDX-License-Identifier: GPL-3.0-or-later
// A picture's colours as an H.264 or VP9 video stores them: BT.709 in the limited range (Y 16 to
// 235, U and V 16 to 240), one U and one V for each block of 2 x 2 pixels, from the sums of its
// four. In whole numbers, the same on every processor:
//   Y = (11966 R + 40254 G + 4064 B + 16.5 * 2^16) >> 16
//   U = (-6596 R + -22188 G + 28784 B (each the sum of the block's four) + 128.5 * 2^18) >> 18
//   V = (28784 R + -26145 G + -2639 B (the same) + 128.5 * 2^18) >> 18
// so that black is (16, 128, 128), white (235, 128, 128) and every grey has U and V at 128.
// Written once with Highway for every vector unit, chosen at run time, and once plainly for the
// tests to compare with. Any thread.
#pragma once

#include <cstdint>

// bgra: w x h pixels, rows bottom-up (as the painters keep them), blue first, the fourth byte
// ignored; w and h even. The planes are written top-down, each row at its stride.
void to_yuv420(const uint8_t *bgra, int w, int h, uint8_t *y, int y_stride, uint8_t *u, uint8_t *v,
               int uv_stride);
void to_yuv420_plain(const uint8_t *bgra, int w, int h, uint8_t *y, int y_stride, uint8_t *u,
                     uint8_t *v, int uv_stride);
