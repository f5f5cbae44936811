// SPDX-License-Identifier: GPL-3.0-or-later
// Segments of one render, made on many machines and joined into one video: what a segment says of
// itself in its container's tags, the checks a join makes of its segments before it copies them,
// and the plan that splits a render into segments. Pure: no file, library or GL call.
#pragma once

#include "render_options.h"

#include <string>
#include <vector>

// What a segment was made of and with.
struct segment_info {
    long long first = 0, end = -1; // frames first to end - 1; end -1: to the end of the sound
    int fps = 0, width = 0, height = 0, detail = 0;
    std::string pictures;       // the encoder: ffv1, libx264, libvpx-vp9
    long long sound_bytes = -1; // the sound file's size; -1 where it was read from a pipe
    std::string sound_name;     // its name, without its folder
};

// The tag, one line: "frames=A:B fps=F size=WxH detail=D pictures=P sound=BYTES NAME".
std::string segment_describe(const segment_info &s);
bool segment_parse(const std::string &tag, segment_info &s);

// The sound a segment names: the file's name without its folder, and its size (-1 for a pipe).
segment_info segment_of_sound(const std::string &path, long long bytes);

// Checks that the segments, in the order given, are of `sound` (where both sizes are known),
// drawn alike, and follow one another frame after frame, only the last running to the end of the
// sound. On a failure, message is one line naming the segment, by its name in `names`.
bool segments_follow(const std::vector<segment_info> &segs, const std::vector<std::string> &names,
                     const segment_info &sound, std::string &message);

// The commands that render o in n segments, one a line, and then the one that joins them:
// `program` is how to run lumora-render, and `estimate` the frames the whole sound has as its
// file states its length. The last segment runs to the end of the sound, whatever the estimate.
// On a failure (fewer frames than segments), message says why and nothing is returned.
std::vector<std::string> plan_commands(const std::string &program, const render_options &o,
                                       long long estimate, std::string &message);

// A word for the shell: as it is where that is safe, else in single quotes.
std::string shell_word(const std::string &word);
