// SPDX-License-Identifier: GPL-3.0-or-later
// What the stream output's files share, and no other module uses: the encoders and the options
// (stream_output.cpp, which also holds the queue and the sender thread), their opening
// (stream_encoders.cpp), and the connection to the destination, which each packet goes through
// (stream_connection.cpp). The sender thread alone uses these once the stream runs.
#pragma once

#include "av_owners.h"
#include "stream_options.h"

#include <atomic>
#include <string>

namespace stream_out {

extern stream_options opts;
extern int channels, rate;     // the sound track's
extern codec_ptr video, audio; // the encoders
extern frame_ptr yuv, chunk;   // a picture and a sound frame for them, allocated once
extern packet_ptr pkt;
extern std::atomic<long long> bits; // sent in all
extern std::atomic<bool> connected;
extern std::atomic<bool> abandon; // the stream is stopping: a connection's wait is given up
extern std::atomic<bool> closing; // the encoders are being drained: writes have 1 s each
extern bool force_key;            // the next picture is a key frame (a new connection)
extern std::string write_error;   // why the last write failed

// stream_encoders.cpp. H.264 and AAC, or VP9 and Opus for Icecast, at opts' size, rate and
// bitrate; false with the line in error.
bool stream_encoders_open(std::string &error);

// stream_connection.cpp. Opens the destination's container and writes its header: false with
// why. close tells it the stream ends (its trailer) where tell_end. up: a connection is open.
bool connection_open(std::string &why);
void connection_close(bool tell_end);
bool connection_up();
// What the encoder c has ready, to the connection, its times from the connection's start; a
// connection starts on a key frame. False when a write failed (write_error says why).
bool connection_write(AVCodecContext *c);

} // namespace stream_out
