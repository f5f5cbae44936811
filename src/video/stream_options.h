// SPDX-License-Identifier: GPL-3.0-or-later
// lumora-stream's command line, and the pure rules of a stream: what a source and a destination
// are by their names, the bitrate a size gets, the waits between reconnections, a playlist's
// entries and a folder's sound files. No FFmpeg here: any thread.
#pragma once

#include "picture/painter_choice.h"

#include <string>
#include <vector>

enum class stream_source_kind {
    files,          // a file, a folder of sound files, or a .m3u playlist of local files
    standard_input, // "-"
    http,           // http:// or https://, an Icecast or Shoutcast stream
    default_input   // "default": the machine's default input, as the window hears it
};

enum class stream_destination_kind {
    rtmp,    // rtmp:// and rtmps://: FLV, H.264 and AAC
    srt,     // srt://: MPEG-TS
    icecast, // icecast://: WebM, VP9 and Opus
    hls,     // a path ending in .m3u8: rolling MPEG-TS segments beside the playlist
    ts,      // a recording, MPEG-TS
    mkv      // a recording, Matroska
};

struct stream_options {
    std::string source, destination;
    stream_source_kind source_kind = stream_source_kind::files;
    stream_destination_kind destination_kind = stream_destination_kind::ts;
    int width = 1280, height = 720;
    int fps = 30;
    int detail = 128;            // where the detail starts, and the most it is raised to
    long bitrate = 0;            // the pictures' bits a second; 0 until parsed: by size
    bool loop = false;           // a files source starts again after its last
    bool once = false;           // a destination that cannot be reached at start ends the stream
    std::string text, text_file; // the line over the picture (%t: what is playing)
    painter_choice painter = painter_choice::automatic;
};

enum class stream_parse { run, help, version, error };

// Reads the command line into o; on stream_parse::error, message holds the one line to print.
stream_parse stream_parse_args(int argc, const char *const *argv, stream_options &o,
                               std::string &message);
const char *stream_usage();

// The arguments an --args-file holds: one a line, as it stands (spaces, quotes and % included),
// blank lines and lines starting with # left out. A service's configuration, which nothing
// splits or expands.
std::vector<std::string> stream_args_from_text(const std::string &text);

// What a destination's name says it is; false where it says nothing lumora-stream writes.
bool stream_destination_of(const std::string &name, stream_destination_kind &kind);

// The pictures' bitrate for a size and rate when none is given: 0.11 bits a pixel, about
// 3 Mbit/s at 720p and 30 fps, within 0.3 to 20 Mbit/s.
long stream_default_bitrate(int width, int height, int fps);

// The wait before reconnection attempt k (0 first): 1, 2, 4 ... up to 30 s.
int stream_backoff_seconds(int attempt);

// The local files a .m3u playlist in folder `dir` names, in order: its comments and blank lines
// left out, relative names taken from dir, and addresses (anything with "://") refused, each
// counted in `refused`.
std::vector<std::string> stream_playlist_entries(const std::string &text, const std::string &dir,
                                                 int &refused);
// Whether a file's name is a sound file's, by its extension, for a folder's files.
bool stream_sound_name(const std::string &name);

// An address as lines show it: without the password of user:password@.
std::string stream_shown(const std::string &address);

// %t in a text line: the title now playing; %% a percent sign.
std::string stream_text_line(const std::string &text, const std::string &title);

// The line of health written every minute.
struct stream_health {
    long long frames, dropped, outages;
    int detail;
    double kbit_s, resident_mb, behind_s;
};
std::string stream_health_line(const stream_health &h);
