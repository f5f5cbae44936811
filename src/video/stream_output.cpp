// SPDX-License-Identifier: GPL-3.0-or-later
#include "stream_output.h"
#include "stream_output_parts.h"

#include "av_owners.h"
#include "own_stderr.h"
#include "to_yuv420.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

extern "C" {
#include <libavutil/opt.h>
}

using steady = std::chrono::steady_clock;

namespace stream_out {

stream_options opts;
int channels, rate;
codec_ptr video, audio;
frame_ptr yuv, chunk;
packet_ptr pkt;
std::atomic<long long> bits{0};
std::atomic<bool> connected{false}, abandon{false}, closing{false};
bool force_key;
std::string write_error;

} // namespace stream_out

using namespace stream_out;

namespace {

std::string shown; // the destination, as lines name it

// The queue of frames to the sender, allocated once.
struct slot {
    std::vector<unsigned char> pixels;
    long long n;
    bool same, black;
};
constexpr int queue_length = 3;
slot queue[queue_length];
int head, size;
// The sound waiting for the sender: a ring of 4 s of frames.
std::vector<float> sound;
long long sound_frames; // in the ring at most sound.size() / channels
long long sound_head, sound_size;
bool ending;
std::mutex lock;
std::condition_variable changed;
std::thread sender;
// The last frame that was dropped, for the frames like it that follow (main thread only).
std::vector<unsigned char> held;
bool held_valid, held_black;

std::atomic<long long> frames_in{0}, dropped{0}, outages{0};

long long audio_pts;       // sound frames encoded so far
long long last_key_n = -1; // the frame of the last key frame asked for

// Encodes the sound waiting, a codec frame at a time.
bool encode_sound() {
    const int n = audio->frame_size;
    while (true) {
        {
            std::lock_guard g(lock);
            if (sound_size < n)
                return true;
            if (av_frame_make_writable(chunk.get()) < 0)
                return false;
            for (int k = 0; k < n; ++k) {
                const float *in =
                    sound.data() + static_cast<size_t>((sound_head + k) % sound_frames) * channels;
                for (int ch = 0; ch < channels; ++ch) {
                    if (audio->sample_fmt == AV_SAMPLE_FMT_FLTP)
                        reinterpret_cast<float *>(chunk->extended_data[ch])[k] = in[ch];
                    else
                        reinterpret_cast<float *>(chunk->data[0])[k * channels + ch] = in[ch];
                }
            }
            sound_head = (sound_head + n) % sound_frames;
            sound_size -= n;
        }
        chunk->pts = audio_pts;
        audio_pts += n;
        if (!connection_up()) // away: the sound's time goes on, nothing is encoded
            continue;
        if (avcodec_send_frame(audio.get(), chunk.get()) < 0 || !connection_write(audio.get()))
            return false;
    }
}

void lost(const std::string &why, steady::time_point &since) {
    write_error.clear();
    connection_close(false);
    ++outages;
    since = steady::now();
    std::fprintf(own_stderr(), "lumora-stream: %s lost (%s); reconnecting\n", shown.c_str(),
                 why.c_str());
}

void sender_thread() {
    int attempt = 0;
    steady::time_point since = steady::now(), next_try = since;
    while (true) {
        std::unique_lock g(lock);
        changed.wait_for(g, std::chrono::milliseconds(200),
                         [] { return size > 0 || ending || sound_size >= audio->frame_size; });
        const bool end = ending && size == 0;
        g.unlock();
        if (!connection_up() && !end && steady::now() >= next_try) {
            std::string why;
            if (connection_open(why)) {
                std::fprintf(own_stderr(), "lumora-stream: %s back after %.1f s\n", shown.c_str(),
                             std::chrono::duration<double>(steady::now() - since).count());
                attempt = 0;
            } else {
                next_try = steady::now() + std::chrono::seconds(stream_backoff_seconds(attempt++));
            }
        }
        if (!encode_sound())
            lost(write_error.empty() ? "its sound could not be encoded" : write_error, since);
        if (end)
            break;
        g.lock();
        if (size == 0)
            continue;
        slot &s = queue[head];
        g.unlock();
        bool ok = true;
        if (connection_up()) {
            if (!s.same && av_frame_make_writable(yuv.get()) >= 0) {
                if (s.black) {
                    std::memset(yuv->data[0], 16,
                                static_cast<size_t>(yuv->linesize[0]) * opts.height);
                    std::memset(yuv->data[1], 128,
                                static_cast<size_t>(yuv->linesize[1]) * opts.height / 2);
                    std::memset(yuv->data[2], 128,
                                static_cast<size_t>(yuv->linesize[2]) * opts.height / 2);
                } else {
                    to_yuv420(s.pixels.data(), opts.width, opts.height, yuv->data[0],
                              yuv->linesize[0], yuv->data[1], yuv->data[2], yuv->linesize[1]);
                }
            }
            yuv->pts = s.n;
            // a key frame every 2 s of the stream's time, whatever frames were dropped between
            const long long gop = 2LL * opts.fps;
            const bool key = force_key || s.n / gop != last_key_n / gop;
            yuv->pict_type = key ? AV_PICTURE_TYPE_I : AV_PICTURE_TYPE_NONE;
            if (key)
                last_key_n = s.n;
            force_key = false;
            ok = avcodec_send_frame(video.get(), yuv.get()) >= 0 && connection_write(video.get());
        }
        g.lock();
        head = (head + 1) % queue_length;
        --size;
        changed.notify_all();
        g.unlock();
        if (!ok)
            lost(write_error.empty() ? "its pictures could not be encoded" : write_error, since);
    }
    // the end: what the encoders hold, then the trailer
    closing = true;
    if (connection_up()) {
        avcodec_send_frame(video.get(), nullptr);
        avcodec_send_frame(audio.get(), nullptr);
        if (connection_write(video.get()) && connection_write(audio.get()))
            connection_close(true);
    }
    connection_close(false);
}

} // namespace

bool stream_output_open(const stream_options &o, int ch, int r, std::string &error) {
    opts = o;
    channels = ch;
    rate = r;
    shown = stream_shown(o.destination);
    if (!stream_encoders_open(error))
        return false;
    for (slot &s : queue)
        s.pixels.resize(static_cast<size_t>(o.width) * o.height * 4);
    held.resize(static_cast<size_t>(o.width) * o.height * 4);
    sound_frames = 4LL * rate;
    sound.assign(static_cast<size_t>(sound_frames * channels), 0.0f);
    std::string why;
    if (!connection_open(why)) {
        if (o.once) {
            error = shown + ": cannot be reached (" + why + ")";
            return false;
        }
        ++outages;
        std::fprintf(own_stderr(), "lumora-stream: %s cannot be reached (%s); retrying\n",
                     shown.c_str(), why.c_str());
    }
    try {
        sender = std::thread(sender_thread);
    } catch (const std::system_error &) {
        error = "cannot start the sender thread";
        return false;
    }
    return true;
}

bool stream_output_picture(long long n, const unsigned char *bgra, bool same) {
    ++frames_in;
    std::unique_lock g(lock);
    // a frame's time of room at most: the sender may be a moment slow, but never far behind
    changed.wait_for(g, std::chrono::microseconds(1000000 / opts.fps),
                     [] { return size < queue_length || !connected; });
    if (size == queue_length || !connected) {
        ++dropped;
        g.unlock();
        // the frames after it that are like it need its pixels
        if (!same) {
            held_black = !bgra;
            if (bgra)
                std::memcpy(held.data(), bgra, held.size());
        }
        held_valid = true;
        return false;
    }
    slot &s = queue[(head + size) % queue_length];
    g.unlock();
    s.n = n;
    if (same && held_valid) { // like a frame that was dropped: that one's pixels
        same = false;
        bgra = held_black ? nullptr : held.data();
    }
    held_valid = false;
    s.same = same;
    s.black = !same && !bgra;
    if (!same && bgra)
        std::memcpy(s.pixels.data(), bgra, s.pixels.size());
    g.lock();
    ++size;
    changed.notify_all();
    return true;
}

void stream_output_sound(const float *samples, int frames) {
    std::lock_guard g(lock);
    for (int k = 0; k < frames; ++k) {
        if (sound_size == sound_frames) { // the sender is far behind: the oldest goes
            sound_head = (sound_head + 1) % sound_frames;
            --sound_size;
        }
        float *out =
            sound.data() + static_cast<size_t>((sound_head + sound_size) % sound_frames) * channels;
        std::memcpy(out, samples + static_cast<size_t>(k) * channels, sizeof(float) * channels);
        ++sound_size;
    }
    changed.notify_all();
}

void stream_output_close() {
    abandon = true;
    {
        std::lock_guard g(lock);
        ending = true;
        changed.notify_all();
    }
    if (sender.joinable())
        sender.join();
    video.reset();
    audio.reset();
}

stream_output_counts stream_output_counts_now() {
    return {frames_in, dropped, outages, bits, connected};
}
