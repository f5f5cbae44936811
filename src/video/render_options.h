// SPDX-License-Identifier: GPL-3.0-or-later
// lumora-render's command line: INPUT OUTPUT and the options, read and checked before anything is
// opened, so that a mistake costs one line and no work. Pure: no file, library or GL call.
#pragma once

#include "picture/painter_choice.h"

#include <limits>
#include <string>
#include <vector>

// What OUTPUT's extension asks for.
enum class render_kind { mp4, webm, mkv, png, gif };

// A .gif is for chats and pages, which take a few megabytes: at most this many pixels a side and
// this many seconds, 15 frames a second unless --fps says otherwise (30 at most, as GIF counts
// in hundredths of a second), 480x270 and the first 10 s after --from unless told.
constexpr int render_gif_max_side = 640;
constexpr double render_gif_max_seconds = 15;
constexpr int render_gif_max_fps = 30;

// The vertex steps across the width when --detail is not given. Every wave up to bin 64
// (1280 Hz: the bass, the voice and most melodies) gets two vertices a half-period, the tallest
// waves of music look as at full detail, and a frame of music at 1280 x 720 costs a seventh of
// what full detail costs under software GL (0.35 s against 2.6 s here).
constexpr int render_default_detail = 128;

struct render_options {
    std::string input, output;
    render_kind kind = render_kind::mp4;
    int width = 1280, height = 720;
    int fps = 30;
    int detail = render_default_detail;
    double from = 0;                                     // seconds
    double to = std::numeric_limits<double>::infinity(); // seconds
    double at = -1; // the picture's time for .png, seconds; below 0: halfway through the sound
    painter_choice painter = painter_choice::automatic; // --renderer
    bool lossless = false; // --lossless: a .mkv's pictures in FFV1, every pixel as drawn
    bool no_sound = false; // --no-sound: a video of the pictures alone
    // --keep-existing: an OUTPUT already there is complete (nothing else takes its name), and
    // is kept: a rerun of a catalogue, or of a job that was requeued, skips what is done
    bool keep_existing = false;
    // --frames A:B, frames A to B - 1 of the whole sound's video, the same range as --from A / fps
    // --to B / fps (which also hold it); -1 where the range is given in time. --frames A: runs
    // to the end of the sound (end_frame -1).
    long long first_frame = -1, end_frame = -1;
    // --join SEGMENT...: OUTPUT is made of these segments' pictures and INPUT's sound
    std::vector<std::string> segments;
    int plan = 0; // --plan N: print the commands of N segments and their join
    // On the picture, for videos to share: the title's lines (%t, %a and %A the input's title,
    // artist and album; "auto" the artist and title, or the file's name), the cover (the input's
    // own picture where cover_file is empty), an image behind it all, and captions
    std::string title, subtitle;
    bool cover = false;
    std::string cover_file, background, captions;
};

// Whether o draws anything over lumora's picture.
bool render_decorated(const render_options &o);

// A segment (--frames) names its range and what it was drawn with in its container's tags, so
// that a join can tell its segments apart from other files and from each other.
constexpr const char *render_segment_tag = "lumora_segment";

// The video's frames are first to end - 1: --frames as given, or from --from and --to, where
// frame n is in the video when n / fps lies in [from, to): ceil(from * fps) to ceil(to * fps) - 1.
long long render_first_frame(const render_options &o);
bool render_frame_past_end(const render_options &o, long long n);

constexpr int render_max_fps = 240;
// More vertex steps than this draw nothing more: the detail is clamped to the width, and no
// picture is wider.
constexpr int render_max_detail = 1 << 20;
constexpr double render_max_time = 100 * 3600.0; // seconds: the longest TIME taken

enum class render_parse { run, help, version, error };

// Reads the command line into o. On render_parse::error, message holds the one line to print.
render_parse render_parse_args(int argc, const char *const *argv, render_options &o,
                               std::string &message);

// About the memory a render at o's size needs at most, in bytes: the picture, the queue of
// pictures to the encoder and the encoder's own frames (x264 keeps about twenty).
long long render_memory_needed(const render_options &o);

// --size's value: WxH, or a name (720p, square, ...); false with the line to print otherwise.
bool render_parse_size(const std::string &value, int &w, int &h, std::string &message);
// A whole number in [low, high], digits only.
bool render_parse_whole(const char *text, long low, long high, long &v);

// A time as the user writes it: seconds ("90", "12.5") or [H:]M:S[.frac] ("1:30", "0:01:30.5"),
// up to render_max_time. False for anything else: signs, exponents, hexadecimal, NaN, infinity.
bool render_parse_time(const char *text, double &seconds);

// A time for messages and the progress line: M:SS, or H:MM:SS from an hour on.
std::string render_format_time(double seconds);

// The usage text for --help.
const char *render_usage();
