// SPDX-License-Identifier: GPL-3.0-or-later
// Images for the picture's cover and background: a file given by name, or the picture a sound
// file carries (ID3's APIC, FLAC's PICTURE, an .mp4's cover), decoded once before rendering and
// scaled into their place. An image file is a local PNG, JPEG, WebP or BMP, and nothing else;
// one past 8192 pixels a side or 40 million in all is refused before it is decoded, as one that
// is damaged is, with one line. lumora-render's main thread.
#pragma once

#include "decorations.h"

#include <string>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
}

struct image {
    int w = 0, h = 0;
    std::vector<unsigned char> bgra; // rows from the top, 4 bytes a pixel (blue, green, red, 255)
};

bool image_from_file(const std::string &path, image &out, std::string &error);
bool image_from_packet(const AVCodecParameters *par, const AVPacket *pkt, image &out,
                       std::string &error);

// Draws src into `where` on a W x H canvas whose rows run from the bottom (the painter's order):
// filling it and cut to it (a background), or fitting inside it, centred (a cover).
void image_place(const image &src, box where, bool fill, unsigned char *canvas, int w, int h);
