// SPDX-License-Identifier: GPL-3.0-or-later
// What the stream source's two files share, and no other module uses: the queue between the
// reader thread (stream_reader.cpp: opening, decoding and converting the source) and the main
// thread, which takes the sound from it at real time (stream_source.cpp).
#pragma once

#include "stream_options.h"

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

namespace stream_parts {

extern stream_options opts;
extern int channels, rate; // the sound track's

// The queue from the reader: mono samples at 44100 Hz and the sound track's frames (interleaved,
// room for two channels), each a ring. lock guards them, changed says they moved.
constexpr long long ring = 1 << 18; // 5.9 s of mono
extern std::vector<double> mono;
extern std::vector<float> sound;
extern long long mono_head, mono_size;   // the oldest sample's place, and how many wait
extern long long sound_head, sound_size; // in frames
// A files source reads ahead this far and waits; a live one keeps at most a second, the oldest
// let go, so that a source that bursts back after a stall is not heard later and later.
constexpr long long files_ahead = 3 * 44100, live_most = 44100;
extern std::mutex lock;
extern std::condition_variable changed;
extern std::atomic<bool> stopping;
extern bool finished;                   // the source is over and cannot come back
extern std::atomic<bool> source_failed; // and it ended in a failure
extern std::atomic<long long> outages;

// stream_files.cpp. The files a folder (its sound files by name), a .m3u playlist (its local
// files) or a file names, with why where there are none; and the title of the file decoding
// now: "artist – title", or its title, or its name without folder and extension.
std::vector<std::string> stream_files_list(const std::string &source, std::string &why);
std::string stream_file_title(const std::string &path);

inline bool live() { return opts.source_kind != stream_source_kind::files; }

} // namespace stream_parts
