// SPDX-License-Identifier: GPL-3.0-or-later
// What the encoding module's files share, and no other module uses: the container and the first
// failure (encode.cpp), the temporary file and its signal handler (output_file.cpp), the pictures'
// track with its queue and thread (video_track.cpp), a .gif's palette (gif_track.cpp), the sound
// track (sound_track.cpp) and the still picture (still.cpp).
#pragma once

#include "render_options.h"

#include <string>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

// encode.cpp. The options of this run, the container being written, and the first failure from
// either thread: encode_fail records it and returns false.
const render_options &encode_options();
AVFormatContext *encode_container();
bool encode_fail(const std::string &text);
bool encode_has_failed();
// Sends a frame (null: the end) to an encoder and what it has ready to the container; both
// threads call it.
bool encode_send(AVCodecContext *c, AVStream *st, const AVFrame *f, AVPacket *pkt);

// output_file.cpp. Makes the temporary file beside OUTPUT (see encode_prepare); its path and
// descriptor; committing gives it OUTPUT's name, discarding removes it.
bool output_file_prepare(const render_options &o, std::string &error);
const char *output_file_temp();
int output_file_fd();
bool output_file_commit(std::string &error);
void output_file_discard();

// video_track.cpp. The pictures' encoder and its thread, started once the container's header is
// written; finish sends the end and waits for it.
bool video_track_open(const AVCodec *codec);
bool video_track_start();
bool video_track_finish();
void video_track_close();

// gif_track.cpp. A .gif's pictures on the encoder thread, through the palette filters: send
// hands on a picture (null: the one before again), finish the end.
bool gif_track_open(const AVCodecContext *c);
bool gif_track_send(const unsigned char *bgra, int64_t pts, AVCodecContext *c, AVStream *st,
                    AVPacket *pkt);
bool gif_track_finish(AVCodecContext *c, AVStream *st, AVPacket *pkt);
void gif_track_close();

// sound_track.cpp. The sound's encoder: the input's frames from first / fps seconds to `to`.
bool sound_track_open(const AVCodec *codec, const AVCodecContext *from, long long first);
bool sound_track_finish();
void sound_track_close();
