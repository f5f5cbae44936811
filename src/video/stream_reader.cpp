// SPDX-License-Identifier: GPL-3.0-or-later
// The reader thread: the source opened (the next file of a folder or playlist, or a live source
// once more after a failure), decoded, converted once to the sound track's format and mixed to
// mono, and put on the queue.
#include "stream_source.h"
#include "stream_source_parts.h"

#include "av_owners.h"
#include "decode.h"
#include "own_stderr.h"
#include "picture/ft.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <thread>

extern "C" {
#include <libavutil/opt.h>
}

using steady = std::chrono::steady_clock;
using namespace stream_parts;

namespace {

std::vector<std::string> files; // a files source's, in playing order
std::size_t playing;            // the one playing now
bool first_open;                // the first file is open, from stream_source_open
std::thread reader;

std::mutex title_lock;
std::string title;
std::atomic<unsigned> title_changes{0};

void set_title(const std::string &t) {
    std::lock_guard g(title_lock);
    if (t != title) {
        title = t;
        ++title_changes;
    }
}

// An HTTP stream's title now: StreamTitle='...'; in its last ICY metadata.
void poll_icy_title() {
    uint8_t *meta = nullptr;
    void *io = const_cast<AVIOContext *>(decode_bytes());
    if (!io || av_opt_get(io, "icy_metadata_packet", AV_OPT_SEARCH_CHILDREN, &meta) < 0 || !meta)
        return;
    const std::string text = reinterpret_cast<char *>(meta);
    av_free(meta);
    const std::size_t at = text.find("StreamTitle='");
    if (at == std::string::npos)
        return;
    const std::size_t from = at + 13, to = text.find("';", from);
    set_title(text.substr(from, to == std::string::npos ? std::string::npos : to - from));
}

// Opens the next file that plays, from `playing` on; false once none is left (or, with --loop,
// once a whole turn found none).
bool open_next_file() {
    std::size_t tried = 0;
    while (!stopping) {
        if (playing >= files.size()) {
            if (!opts.loop)
                return false;
            std::string why;
            files = stream_files_list(opts.source, why); // the folder as it is now
            playing = 0;
            if (files.empty())
                return false;
        }
        std::string error;
        if (decode_open(files[playing].c_str(), error)) {
            set_title(stream_file_title(files[playing]));
            return true;
        }
        std::fprintf(own_stderr(), "lumora-stream: %s; skipped\n", error.c_str());
        ++playing;
        if (++tried > files.size())
            return false;
    }
    return false;
}

// The resampler to the sound track's format, and the last chunk it made.
swr_ptr to_track;
frame_format track_from;
constexpr int chunk = 1 << 16; // frames converted at a time: more than any frame brings
float converted[chunk * 2];

int convert(const AVFrame *f) {
    if (!f && !to_track)
        return 0;
    if (!f) { // the end of a sound: what the resampler holds, and a fresh one for the next
        uint8_t *out = reinterpret_cast<uint8_t *>(converted);
        const int n = swr_convert(to_track.get(), &out, chunk, nullptr, 0);
        to_track.reset();
        track_from.clear();
        return n;
    }
    if (!to_track || !track_from.same_as(f)) {
        SwrContext *s = nullptr;
        AVChannelLayout out{}, in{};
        av_channel_layout_default(&out, channels);
        av_channel_layout_copy(&in, &f->ch_layout);
        swr_alloc_set_opts2(&s, &out, AV_SAMPLE_FMT_FLT, rate, &in,
                            static_cast<AVSampleFormat>(f->format), f->sample_rate, 0, nullptr);
        av_channel_layout_uninit(&in);
        if (!s || swr_init(s) < 0) {
            swr_free(&s);
            return -1;
        }
        to_track.reset(s);
        track_from.take(f);
    }
    uint8_t *out = reinterpret_cast<uint8_t *>(converted);
    return swr_convert(to_track.get(), &out, chunk, const_cast<const uint8_t **>(f->extended_data),
                       f->nb_samples);
}

// Puts mono samples [from, to) of the decoder's count and n sound frames on the queue: for files
// waiting while it is full, for a live source letting the oldest go.
void push(long long from, long long to, int n) {
    std::unique_lock g(lock);
    if (!live())
        changed.wait(g, [] { return mono_size < files_ahead || stopping; });
    static double block[ft_size];
    for (long long c = from; c < to;) {
        // the decoder keeps its last seconds: read them a block at a time from its window
        const long long count = std::min<long long>(ft_size, to - c);
        decode_block(c + ft_size / 2, block);
        for (long long k = 0; k < count; ++k) {
            if (mono_size == ring) { // only a live source gets here: its oldest goes
                mono_head = (mono_head + 1) % ring;
                --mono_size;
            }
            mono[static_cast<size_t>((mono_head + mono_size++) % ring)] = block[k];
        }
        c += count;
    }
    for (int k = 0; k < n; ++k) {
        if (sound_size == ring) {
            sound_head = (sound_head + 1) % ring;
            --sound_size;
        }
        const long long at = (sound_head + sound_size++) % ring;
        for (int ch = 0; ch < channels; ++ch)
            sound[static_cast<size_t>(at * 2 + ch)] = converted[k * channels + ch];
    }
    changed.notify_all();
}

// Waits s seconds, or less once asked to stop.
void rest(int s) {
    std::unique_lock g(lock);
    changed.wait_for(g, std::chrono::seconds(s), [] { return stopping.load(); });
}

bool open_live(std::string &error) {
    static AVIOInterruptCB interrupt{[](void *) { return stopping ? 1 : 0; }, nullptr};
    switch (opts.source_kind) {
    case stream_source_kind::standard_input:
        return decode_open("-", error);
    case stream_source_kind::http:
        return decode_open_address(opts.source, stream_shown(opts.source), "http,https,tcp,tls",
                                   nullptr, &interrupt, error);
    case stream_source_kind::default_input:
        return decode_open_address("default", "the default input", "", "alsa", &interrupt, error);
    case stream_source_kind::files:
        break;
    }
    return false;
}

void reader_thread() {
    bool open = first_open, in_outage = false;
    int attempt = 0;
    steady::time_point outage_start, last_poll;
    std::string why;
    while (!stopping) {
        if (!open) {
            if (live()) {
                open = open_live(why);
                if (!open && opts.source_kind == stream_source_kind::standard_input) {
                    std::fprintf(own_stderr(), "lumora-stream: %s\n", why.c_str());
                    source_failed = true;
                    break; // standard input is read once: it does not come back
                }
            } else {
                open = open_next_file();
                if (!open && !opts.loop)
                    break; // the last file is over
                why = "no file of " + opts.source + " plays";
            }
            if (!open) {
                if (!in_outage) {
                    in_outage = true;
                    outage_start = steady::now();
                    ++outages;
                    std::fprintf(own_stderr(), "lumora-stream: source lost: %s; retrying\n",
                                 why.c_str());
                }
                rest(stream_backoff_seconds(attempt++));
                continue;
            }
            if (in_outage)
                std::fprintf(own_stderr(), "lumora-stream: source back after %.1f s\n",
                             std::chrono::duration<double>(steady::now() - outage_start).count());
            in_outage = false;
            attempt = 0;
        }
        const long long before = decode_mono_end();
        const AVFrame *f = decode_next();
        if (f || decode_failed().empty()) { // a frame, or the end: what the resampler holds
            const int n = convert(f);
            if (n < 0) {
                why = "cannot convert its sound";
                f = nullptr;
            } else {
                push(before, decode_mono_end(), n);
            }
        }
        if (opts.source_kind == stream_source_kind::http &&
            steady::now() - last_poll > std::chrono::seconds(1)) {
            poll_icy_title();
            last_poll = steady::now();
        }
        if (f)
            continue;
        // the end of this sound, or a failure
        const std::string failed = decode_failed();
        decode_close();
        open = false;
        if (opts.source_kind == stream_source_kind::files) {
            if (!failed.empty())
                std::fprintf(own_stderr(), "lumora-stream: %s; going on with the next\n",
                             failed.c_str());
            ++playing;
        } else if (opts.source_kind == stream_source_kind::standard_input) {
            if (!failed.empty())
                std::fprintf(own_stderr(), "lumora-stream: %s\n", failed.c_str());
            source_failed = !failed.empty();
            break; // standard input does not come back
        } else {   // a live source that may come back: the outage starts now
            in_outage = true;
            outage_start = steady::now();
            ++outages;
            std::fprintf(own_stderr(), "lumora-stream: source lost: %s; retrying\n",
                         failed.empty() ? (stream_shown(opts.source) + ": it ended").c_str()
                                        : failed.c_str());
        }
    }
    std::lock_guard g(lock);
    finished = true;
    changed.notify_all();
}

} // namespace

bool stream_source_open(const stream_options &o, std::string &error) {
    opts = o;
    if (o.source_kind != stream_source_kind::files)
        return true;
    files = stream_files_list(o.source, error);
    if (files.empty())
        return false;
    playing = 0;
    const bool loop = opts.loop;
    opts.loop = false; // a whole turn of the list, once
    first_open = open_next_file();
    opts.loop = loop;
    if (!first_open) {
        error = o.source + ": none of its files plays";
        return false;
    }
    const AVCodecContext *c = decode_codec();
    channels = c->ch_layout.nb_channels == 1 ? 1 : 2;
    rate = c->sample_rate == 48000 ? 48000 : 44100;
    return true;
}

int stream_source_channels() { return channels; }
int stream_source_rate() { return rate; }

bool stream_source_start(int ch, int r, std::string &error) {
    channels = ch;
    rate = r;
    try {
        reader = std::thread(reader_thread);
    } catch (const std::system_error &) {
        error = "cannot start the reader thread";
        return false;
    }
    return true;
}

void stream_source_stop() {
    stopping = true;
    std::lock_guard g(lock);
    changed.notify_all();
}

void stream_source_close() {
    stream_source_stop();
    // a read of standard input may block past any stop: the process ends without waiting for it
    if (reader.joinable()) {
        std::unique_lock g(lock);
        if (changed.wait_for(g, std::chrono::milliseconds(500), [] { return finished; })) {
            g.unlock();
            reader.join();
        } else {
            reader.detach();
        }
    }
}

unsigned stream_source_title_changes() { return title_changes; }

std::string stream_source_title(unsigned &changes) {
    std::lock_guard g(title_lock);
    changes = title_changes;
    return title;
}
