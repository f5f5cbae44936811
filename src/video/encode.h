// SPDX-License-Identifier: GPL-3.0-or-later
// Encoding lumora-render's output: a video (H.264 or VP9 pictures with the input's own sound,
// in its own channels) or one PNG picture. Everything is written into a temporary file beside
// OUTPUT, which takes OUTPUT's name only once it is complete: a failed or interrupted render
// leaves no file behind and never touches one already there. Pictures are converted and encoded
// on a thread of their own, fed through a short queue, so that drawing goes on meanwhile. Called
// from lumora-render's main thread.
#pragma once

#include "render_options.h"

#include <string>

extern "C" {
#include <libavcodec/avcodec.h>
}

// Checks OUTPUT (not the INPUT, not a folder) and makes the temporary file beside it; from here
// on an interruption removes it. On failure, error holds one line to print.
bool encode_prepare(const render_options &o, std::string &error);

// Opens the encoders and the container of a video. Its pictures are frames first to last of
// the sound; its sound track is sound's frames from first / fps seconds up to `to` seconds (or
// the end of the sound).
bool encode_open(const render_options &o, const AVCodecContext *sound, long long first,
                 std::string &error);

// Opens a video whose pictures are copied as they were encoded, of `pictures`' codec and size:
// a join of segments whose first frame is `first` of the whole sound. Its sound track is as
// encode_open's.
bool encode_open_copy(const render_options &o, const AVCodecContext *sound, long long first,
                      const AVCodecParameters *pictures, std::string &error);
// The next of the copied pictures, its times in frames (1 / fps).
bool encode_copied(AVPacket *pkt);

// The next picture of the video, rows bottom-up, 4 bytes a pixel (blue, green, red, ignored);
// null for black. encode_repeat repeats the one before. False once encoding has failed.
bool encode_picture(const unsigned char *bgra);
bool encode_repeat();

// A frame of the input's sound, as decoded; what lies outside the video's time is left out.
bool encode_sound(const AVFrame *frame);
// Decodes the input's sound up to mono sample c, handing each frame to encode_sound; `ended` is
// set once the sound is over. False on a failure, which decode_failed() or encode_failed() says.
bool encode_sound_until(long long c, bool &ended);

// Writes the one picture of a .png.
bool encode_png(const unsigned char *bgra, std::string &error);

// Finishes the file and gives it OUTPUT's name. On failure, error holds one line to print and
// nothing is left behind.
bool encode_finish(std::string &error);

// Drops everything and removes the temporary file: for any failure before encode_finish.
void encode_abandon();

// The reason encoding failed, once encode_picture, encode_repeat or encode_sound returned false.
const std::string &encode_failed();
