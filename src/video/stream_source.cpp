// SPDX-License-Identifier: GPL-3.0-or-later
#include "stream_source.h"

#include "av_owners.h"
#include "decode.h"
#include "own_stderr.h"
#include "picture/ft.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <mutex>
#include <sstream>
#include <sys/stat.h>
#include <thread>
#include <vector>

extern "C" {
#include <libavutil/opt.h>
}

using steady = std::chrono::steady_clock;

namespace {

stream_options opts;
std::vector<std::string> files; // a files source's, in playing order
std::size_t playing;            // the one playing now
int channels = 2, rate = 44100; // the sound track's
bool first_open;                // the first file is open, from stream_source_open

// The queue from the reader: mono samples at 44100 Hz and the sound track's frames, each a ring.
constexpr long long ring = 1 << 18; // 5.9 s of mono
std::vector<double> mono(ring);
std::vector<float> sound(ring * 2);
long long mono_head, mono_size;   // the oldest sample's place, and how many wait
long long sound_head, sound_size; // in frames
// A files source reads ahead this far and waits; a live one keeps at most a second, the oldest
// let go, so that a source that bursts back after a stall is not heard later and later.
constexpr long long files_ahead = 3 * 44100, live_most = 44100;
constexpr auto live_grace = std::chrono::milliseconds(500); // a live source's lateness forgiven

std::mutex lock;
std::condition_variable changed;
std::thread reader;
std::atomic<bool> stopping{false};
bool finished;                          // the source is over and cannot come back
std::atomic<bool> source_failed{false}; // and it ended in a failure
bool live() { return opts.source_kind != stream_source_kind::files; }

// The main thread's side: what has been taken, and the window the picture's blocks come from.
constexpr long long window_size = 1 << 17;
std::vector<double> window(window_size);
long long taken, sound_taken; // mono samples and sound frames taken, silence included
std::vector<float> handed(1 << 17);
int handed_frames;
bool started;
steady::time_point t0;
long long silence_samples;
steady::duration waited{}; // in stream_source_until, for the time or for the source
std::atomic<long long> outages{0};

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

std::string tag(const AVFormatContext *f, int stream, const char *key) {
    const AVDictionaryEntry *e = f ? av_dict_get(f->metadata, key, nullptr, 0) : nullptr;
    if (!e && f && stream >= 0)
        e = av_dict_get(f->streams[stream]->metadata, key, nullptr, 0);
    return e ? e->value : "";
}

// A file's title: "artist – title", or its title, or its name without folder and extension.
std::string file_title(const std::string &path) {
    const AVFormatContext *f = decode_container();
    const std::string t = tag(f, decode_stream(), "title"), a = tag(f, decode_stream(), "artist");
    if (!t.empty())
        return a.empty() ? t : a + " \u2013 " + t;
    std::string name = path.substr(path.rfind('/') == std::string::npos ? 0 : path.rfind('/') + 1);
    const std::size_t dot = name.rfind('.');
    return dot == std::string::npos || dot == 0 ? name : name.substr(0, dot);
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

// The files of a folder, by name, or of a playlist, or the one file.
std::vector<std::string> list_files(std::string &why) {
    std::vector<std::string> out;
    struct stat st;
    const std::string &path = opts.source;
    if (stat(path.c_str(), &st) != 0) {
        why = path + ": " + std::strerror(errno);
        return out;
    }
    if (S_ISDIR(st.st_mode)) {
        if (DIR *d = opendir(path.c_str())) {
            while (const dirent *e = readdir(d))
                if (stream_sound_name(e->d_name))
                    out.push_back(path + "/" + e->d_name);
            closedir(d);
        }
        std::sort(out.begin(), out.end());
        if (out.empty())
            why = path + ": a folder without sound files (.flac, .mp3, .ogg, .opus, .wav, ...)";
        return out;
    }
    const std::size_t dot = path.rfind('.');
    std::string ext = dot == std::string::npos ? "" : path.substr(dot);
    for (char &c : ext)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (ext == ".m3u" || ext == ".m3u8") {
        std::ifstream in(path);
        std::stringstream text;
        text << in.rdbuf();
        const std::size_t slash = path.rfind('/');
        int refused = 0;
        out = stream_playlist_entries(
            text.str(), slash == std::string::npos ? "." : path.substr(0, slash), refused);
        if (refused > 0)
            std::fprintf(own_stderr(),
                         "lumora-stream: %s: %d %s left out: a playlist here names local files "
                         "only\n",
                         path.c_str(), refused, refused == 1 ? "address" : "addresses");
        if (out.empty())
            why = path + ": a playlist without local files";
        return out;
    }
    out.push_back(path);
    return out;
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
            files = list_files(why); // the folder as it is now
            playing = 0;
            if (files.empty())
                return false;
        }
        std::string error;
        if (decode_open(files[playing].c_str(), error)) {
            set_title(file_title(files[playing]));
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
    files = list_files(error);
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

bool stream_source_until(long long c, bool &ended) {
    std::unique_lock g(lock);
    if (!started) {
        started = true;
        t0 = steady::now();
    }
    const steady::time_point due = t0 + std::chrono::duration_cast<steady::duration>(
                                            std::chrono::duration<double>(c / 44100.0));
    const steady::time_point asked = steady::now();
    changed.wait_until(g, due, [] { return stopping.load(); }); // never before its time
    auto take_sound = [&](bool silence) {
        const long long target = taken * rate / 44100;
        const long long room = static_cast<long long>(handed.size()) / channels - handed_frames;
        long long want = std::min(target - sound_taken, room);
        for (; want > 0; --want) {
            float *out = handed.data() + static_cast<size_t>(handed_frames) * channels;
            if (sound_size > 0) {
                for (int ch = 0; ch < channels; ++ch)
                    out[ch] = sound[static_cast<size_t>(sound_head * 2 + ch)];
                sound_head = (sound_head + 1) % ring;
                --sound_size;
            } else if (silence) {
                std::fill(out, out + channels, 0.0f);
            } else {
                break; // the resampler's few samples of delay: taken next time
            }
            ++handed_frames;
            ++sound_taken;
        }
    };
    while (taken < c && !stopping) {
        if (live() && mono_size > live_most) { // the oldest of a burst goes: a bounded delay
            const long long drop = mono_size - live_most / 2;
            mono_head = (mono_head + drop) % ring;
            mono_size -= drop;
            const long long drop_sound = std::min(sound_size, drop * rate / 44100);
            sound_head = (sound_head + drop_sound) % ring;
            sound_size -= drop_sound;
        }
        const long long k = std::min(mono_size, c - taken);
        for (long long j = 0; j < k; ++j) {
            window[static_cast<size_t>(taken % window_size)] = mono[static_cast<size_t>(mono_head)];
            mono_head = (mono_head + 1) % ring;
            ++taken;
        }
        mono_size -= k;
        take_sound(false);
        changed.notify_all();
        if (taken == c)
            break;
        if (finished) {
            ended = true;
            break;
        }
        // the source is late: a while for it, and then silence in its place
        if (!changed.wait_until(g, due + live_grace,
                                [] { return mono_size > 0 || finished || stopping.load(); })) {
            silence_samples += c - taken;
            for (; taken < c; ++taken)
                window[static_cast<size_t>(taken % window_size)] = 0;
            take_sound(true);
        }
    }
    if (finished && mono_size == 0)
        ended = true;
    waited += steady::now() - asked;
    return !stopping;
}

const float *stream_source_sound(int &frames) {
    frames = handed_frames;
    handed_frames = 0;
    return handed.data();
}

double stream_source_block(long long c, double *block) {
    double peak = 0;
    for (int k = 0; k < ft_size; ++k) {
        const long long n = c - ft_size / 2 + k;
        const double v = n >= 0 && n < taken && n >= taken - window_size
                             ? window[static_cast<size_t>(n % window_size)]
                             : 0.0;
        block[k] = v;
        peak = std::max(peak, v);
    }
    return peak;
}

long long stream_source_end() { return taken; }

double stream_source_waited_s() { return std::chrono::duration<double>(waited).count(); }

double stream_source_behind_s() {
    std::lock_guard g(lock);
    if (!started)
        return 0;
    return std::chrono::duration<double>(steady::now() - t0).count() - taken / 44100.0;
}

unsigned stream_source_title_changes() { return title_changes; }

std::string stream_source_title(unsigned &changes) {
    std::lock_guard g(title_lock);
    changes = title_changes;
    return title;
}

double stream_source_silence_s() { return silence_samples / 44100.0; }
long long stream_source_outages() { return outages; }
bool stream_source_failed() { return source_failed; }
