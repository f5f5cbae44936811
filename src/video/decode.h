// SPDX-License-Identifier: GPL-3.0-or-later
// Decoding: the sound of a media file, streamed a frame at a time, never the whole file in
// memory. Each frame of the best sound stream goes on to the video's sound track as it is, and
// its mix to one channel at 44100 Hz (the mean of the channels, as a sound server records a
// stereo source in mono) joins a window of the last seconds, from which the picture's blocks are
// taken. One thread at a time: lumora-render's main thread, lumora-stream's reader.
#pragma once

#include <string>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

// Opens the file ("-": standard input) and its best sound stream. On failure, error holds one
// line to print.
bool decode_open(const char *path, std::string &error);
// Opens an address or a capture device (see input_file_open_address) instead; the sound goes on
// from where the one before ended, its samples counted on.
bool decode_open_address(const std::string &address, const std::string &named,
                         const char *protocols, const char *device, AVIOInterruptCB *interrupt,
                         std::string &error);
void decode_close();
// The bytes the container is read through (null for a device): an HTTP stream's titles.
const AVIOContext *decode_bytes();

// The sound stream's decoder: its channels, sample rate and sample format.
const AVCodecContext *decode_codec();
// The file as FFmpeg opened it (its tags, any picture it carries), and its sound stream's index.
const AVFormatContext *decode_container();
int decode_stream();
// One of the file's tags ("title", "artist", "album"): the container's, else its sound stream's;
// empty where it has none.
std::string decode_tag(const char *key);

// The sound's length as the file states it (its sound stream's, else the container's), in
// seconds; 0 when it does not.
double decode_length();

// The sound's length as it decodes, in seconds, whatever the file states: a file of its own,
// opened and read through apart from the one decode_open keeps. Not for standard input.
bool decode_measure(const char *path, double &seconds, std::string &error);

// Decodes the next frame of sound and adds its mono mix to the window; null at the end of the
// sound, or on a failure, which decode_failed() then reports. A damaged packet is skipped, as
// players do, with one warning on standard error for the first; decode_damaged() counts them.
// Samples that are not numbers (NaN, infinities) come out as 0; decode_not_numbers() counts them.
const AVFrame *decode_next();
const std::string &decode_failed();
int decode_damaged();
long long decode_not_numbers();

// Mono samples decoded so far; sample n is at n / 44100 s from the start of the sound.
long long decode_mono_end();

// Copies the 2205 mono samples centred on sample c into block, with zeros before the start and
// past the end of what has been decoded, and returns their peak as the capture does: the largest
// sample, never below 0, with glitches (NaN, infinity, a lone sample beyond the capture's limit
// between two within it) taken as 0.
// Samples are kept for a few seconds after they are decoded: c must not lag far behind.
double decode_block(long long c, double *block);
