// SPDX-License-Identifier: GPL-3.0-or-later
// Opening INPUT, which may come from anyone: a local file, or standard input as "-", and nothing
// else. Its name is a file's name, colons and all, never an FFmpeg address; every file FFmpeg
// opens on its behalf must be local too; and formats whose job is to point at other files or at
// network addresses (playlists, lists of files, sessions, name patterns) are refused before they
// read anything more than their first bytes.
#pragma once

#include "av_owners.h"

#include <string>

struct input_file {
    struct close_format {
        void operator()(AVFormatContext *f) const { avformat_close_input(&f); }
    };
    struct close_io {
        void operator()(AVIOContext *io) const { avio_close(io); }
    };
    // members go in reverse: the decoder, then the container, then the bytes it reads through
    std::unique_ptr<AVIOContext, close_io> bytes;
    std::unique_ptr<AVFormatContext, close_format> format;
    codec_ptr codec; // the best sound stream's decoder, opened
    int stream = -1;

    void close() {
        codec.reset();
        format.reset();
        bytes.reset();
        stream = -1;
    }
};

// Opens path ("-": standard input) and its best sound stream; on failure, error holds one line.
bool input_file_open(const std::string &path, input_file &in, std::string &error);

// Opens an address the user named (address as FFmpeg takes it, named as lines name it), reading
// it through `protocols` only (FFmpeg's comma-separated names), with the same demuxers refused;
// or, where device is given, that capture device's demuxer (FFmpeg's "alsa"), in stereo at
// 44100 Hz. interrupt, where given, may end a wait for the network.
bool input_file_open_address(const std::string &address, const std::string &named,
                             const char *protocols, const char *device, AVIOInterruptCB *interrupt,
                             input_file &in, std::string &error);

// Opens a local file the user named for something else than the sound (a segment, an image,
// captions): its name is a file's, never an address, and only the demuxers in `formats` (FFmpeg's
// comma-separated names) may read it, or `forced` alone where it is given. On failure, null, and
// why says why: `not_one` where the file is of another kind.
std::unique_ptr<AVFormatContext, input_file::close_format>
input_file_open_local(const std::string &path, const char *formats, const char *forced,
                      const std::string &not_one, std::string &why);

// What a demuxer that points at other files or addresses is, for the line that refuses it; null
// for every other demuxer.
const char *input_file_refused(const char *demuxer);
