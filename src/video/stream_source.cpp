// SPDX-License-Identifier: GPL-3.0-or-later
#include "stream_source.h"
#include "stream_source_parts.h"

#include "picture/ft.h"

#include <algorithm>
#include <chrono>

using steady = std::chrono::steady_clock;

namespace stream_parts {

stream_options opts;
int channels = 2, rate = 44100;
std::vector<double> mono(ring);
std::vector<float> sound(ring * 2);
long long mono_head, mono_size, sound_head, sound_size;
std::mutex lock;
std::condition_variable changed;
std::atomic<bool> stopping{false};
bool finished;
std::atomic<bool> source_failed{false};
std::atomic<long long> outages{0};

} // namespace stream_parts

using namespace stream_parts;

namespace {

constexpr auto live_grace = std::chrono::milliseconds(500); // a live source's lateness forgiven

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

} // namespace

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

double stream_source_silence_s() { return silence_samples / 44100.0; }
long long stream_source_outages() { return outages; }
bool stream_source_failed() { return source_failed; }
