// SPDX-License-Identifier: GPL-3.0-or-later
// Where lumora-stream's frames go: encoded (H.264 and AAC, or VP9 and Opus for Icecast) with a key
// frame every 2 s at a capped bitrate, and sent to the destination on a sender thread of its own.
// The main thread hands each frame over through a short queue and never waits: a frame that
// finds the queue full is dropped, so that no backlog grows. A destination that fails is
// reconnected after 1, 2, 4 ... up to 30 s, forever, what is made meanwhile dropped, with one line
// when the outage starts and one when it ends; each connection starts on a key frame, its
// timestamps from 0.
#pragma once

#include "stream_options.h"

#include <string>

// Opens the encoders and the first connection (the sound track in `channels` at `rate`). A
// destination that cannot be reached is an outage, retried, unless o.once: then false, with the
// line in error. False too where an encoder cannot be opened.
bool stream_output_open(const stream_options &o, int channels, int rate, std::string &error);

// Frame n (rows bottom-up, BGRA; null for black), or a frame like the one before (same). False
// when it was dropped: the sender is behind, or the destination is away.
bool stream_output_picture(long long n, const unsigned char *bgra, bool same);
// The sound track's frames, interleaved floats; dropped while the destination is away.
void stream_output_sound(const float *samples, int frames);

// Tells the destination the stream ends (a container's trailer, HLS's #EXT-X-ENDLIST), within
// about a second, and stops the sender.
void stream_output_close();

// What has happened so far: frames handed over and dropped, outages, and the bits sent in all.
struct stream_output_counts {
    long long frames, dropped, outages, bits_sent;
    bool connected;
};
stream_output_counts stream_output_counts_now();
