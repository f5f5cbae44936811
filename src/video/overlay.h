// SPDX-License-Identifier: GPL-3.0-or-later
// What lumora-render lays over its picture for a video to share: an image behind it and the
// cover (the picture composited over them as "screen", so that the waves stay vivid over any
// image and black shows it), then the title and the captions, drawn with libass, each frame at
// its own time. Drawn into a copy of each frame before it is converted for the encoder, never
// into the painter's own picture, which the next picture fades from. Main thread only.
#pragma once

#include "render_options.h"

#include <string>

// Opens what o asks for, once the input is open (its tags and cover come from it), for frames
// of o's size. On failure, error holds one line to print. A sound without a cover of its own
// gets one line on standard error and the plain picture.
bool overlay_open(const render_options &o, std::string &error);

// Frame n of the video, n / fps seconds into the sound: lays out its text, and says whether
// anything over the picture differs from the frame before.
bool overlay_prepare(long long n);
// The frame: the painter's picture (rows from the bottom; null for black) with everything over
// it, in a buffer kept until the next call.
const unsigned char *overlay_apply(const unsigned char *pixels);

// Puts this line, as it is, in place of the title: for a stream's "now playing". Not with
// captions.
void overlay_set_text(const std::string &line);

void overlay_close();
