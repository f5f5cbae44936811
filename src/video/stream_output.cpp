// SPDX-License-Identifier: GPL-3.0-or-later
#include "stream_output.h"

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

namespace {

stream_options opts;
std::string shown; // the destination, as lines name it
int channels, rate;

codec_ptr video, audio;
frame_ptr yuv, chunk;
packet_ptr pkt;

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

std::atomic<long long> frames_in{0}, dropped{0}, outages{0}, bits{0};
std::atomic<bool> connected{false};

// The connection: its container, when it was opened, and where its timestamps start.
struct connection {
    AVFormatContext *mux = nullptr;
    AVStream *v = nullptr, *a = nullptr;
    bool keyed = false;        // a key frame has gone: pictures may follow
    long long video_base = 0;  // the first picture's pts
    long long audio_base = -1; // the first sound's pts
} link;
long long audio_pts;              // sound frames encoded so far
steady::time_point deadline;      // a blocking call past it is abandoned
std::atomic<bool> closing{false}; // the encoders are being drained
bool force_key;
std::string write_error;   // why the last write failed
long long last_key_n = -1; // the frame of the last key frame asked for

// A call that blocks is abandoned past its deadline, and at once when the stream is stopped while
// it waits for a connection.
std::atomic<bool> abandon{false}, connecting{false};
int interrupted(void *) { return steady::now() > deadline || (abandon && connecting) ? 1 : 0; }
AVIOInterruptCB interrupt{interrupted, nullptr};

const char *format_name() {
    switch (opts.destination_kind) {
    case stream_destination_kind::rtmp:
        return "flv";
    case stream_destination_kind::icecast:
        return "webm";
    case stream_destination_kind::mkv:
        return "matroska";
    case stream_destination_kind::hls:
        return "hls";
    default:
        return "mpegts";
    }
}

const char *protocols() {
    switch (opts.destination_kind) {
    case stream_destination_kind::rtmp:
        return "rtmp,rtmps,tcp,tls";
    case stream_destination_kind::srt:
        return "srt,udp";
    case stream_destination_kind::icecast:
        return "icecast,http,tcp";
    default:
        return "file";
    }
}

int connections; // made so far

// The address FFmpeg opens: a recording's path as a file, whatever its name holds. A recording
// that failed and is opened again goes on in NAME-2.ts, NAME-3.ts ..., never over what it holds.
std::string address() {
    std::string d = opts.destination;
    const bool recording = opts.destination_kind == stream_destination_kind::ts ||
                           opts.destination_kind == stream_destination_kind::mkv;
    if (recording && connections > 0) {
        const std::size_t dot = d.rfind('.');
        d = d.substr(0, dot) + "-" + std::to_string(connections + 1) + d.substr(dot);
    }
    const bool local = recording || opts.destination_kind == stream_destination_kind::hls;
    return local ? "file:" + d : d;
}

void disconnect(bool tell_end) {
    if (!link.mux)
        return;
    deadline = steady::now() + std::chrono::milliseconds(tell_end ? 800 : 300);
    if (tell_end)
        av_write_trailer(link.mux);
    if (!(link.mux->oformat->flags & AVFMT_NOFILE))
        avio_closep(&link.mux->pb);
    avformat_free_context(link.mux);
    link = connection{};
    connected = false;
}

bool connect_now(std::string &why);

bool connect(std::string &why) {
    connecting = true;
    const bool ok = connect_now(why);
    connecting = false;
    return ok;
}

bool connect_now(std::string &why) {
    deadline = steady::now() + std::chrono::seconds(10);
    AVFormatContext *m = nullptr;
    if (avformat_alloc_output_context2(&m, nullptr, format_name(), address().c_str()) < 0 || !m) {
        why = "cannot make its container";
        return false;
    }
    link.mux = m;
    m->interrupt_callback = interrupt;
    m->protocol_whitelist = av_strdup(protocols());
    link.v = avformat_new_stream(m, nullptr);
    link.a = avformat_new_stream(m, nullptr);
    if (!link.v || !link.a || avcodec_parameters_from_context(link.v->codecpar, video.get()) < 0 ||
        avcodec_parameters_from_context(link.a->codecpar, audio.get()) < 0) {
        why = "out of memory";
        disconnect(false);
        return false;
    }
    link.v->time_base = video->time_base;
    link.a->time_base = audio->time_base;
    AVDictionary *o = nullptr;
    av_dict_set(&o, "protocol_whitelist", protocols(), 0);
    int err = 0;
    if (!(m->oformat->flags & AVFMT_NOFILE)) {
        if (opts.destination_kind == stream_destination_kind::icecast)
            av_dict_set(&o, "content_type", "video/webm", 0);
        err = avio_open2(&m->pb, address().c_str(), AVIO_FLAG_WRITE, &m->interrupt_callback, &o);
    }
    av_dict_free(&o);
    if (err >= 0) {
        if (opts.destination_kind == stream_destination_kind::hls) {
            // two-second segments, six in the playlist, the older deleted: a bounded disk
            av_dict_set(&o, "hls_time", "2", 0);
            av_dict_set(&o, "hls_list_size", "6", 0);
            av_dict_set(&o, "hls_flags", "delete_segments+program_date_time", 0);
        } else if (opts.destination_kind == stream_destination_kind::rtmp) {
            av_dict_set(&o, "flvflags", "no_duration_filesize", 0);
        } else if (opts.destination_kind == stream_destination_kind::icecast) {
            av_dict_set(&o, "live", "1", 0);
        }
        err = avformat_write_header(m, &o);
        av_dict_free(&o);
    }
    if (err < 0) {
        why = av_error_text(err);
        disconnect(false);
        return false;
    }
    connected = true;
    force_key = true;
    ++connections;
    return true;
}

// A packet from an encoder to the connection, its times from the connection's start.
bool write(AVCodecContext *c, AVStream *st) {
    while (true) {
        const int err = avcodec_receive_packet(c, pkt.get());
        if (err == AVERROR(EAGAIN) || err == AVERROR_EOF)
            return true;
        if (err < 0)
            return false;
        if (!link.mux) {
            av_packet_unref(pkt.get());
            continue;
        }
        if (c == video.get()) {
            if (!link.keyed && !(pkt->flags & AV_PKT_FLAG_KEY)) { // a viewer starts on a key frame
                av_packet_unref(pkt.get());
                continue;
            }
            if (!link.keyed)
                link.video_base = pkt->pts;
            link.keyed = true;
            pkt->pts -= link.video_base;
            pkt->dts -= link.video_base;
        } else {
            if (!link.keyed) {
                av_packet_unref(pkt.get());
                continue;
            }
            if (link.audio_base < 0) // the sound from the first picture's time
                link.audio_base = av_rescale_q(link.video_base, video->time_base, c->time_base);
            // and the packet before it, whose samples overlap the first one's
            if (pkt->pts < link.audio_base - c->frame_size) {
                av_packet_unref(pkt.get());
                continue;
            }
            pkt->pts -= link.audio_base;
            pkt->dts -= link.audio_base;
        }
        pkt->stream_index = st->index;
        bits += pkt->size * 8LL;
        av_packet_rescale_ts(pkt.get(), c->time_base, st->time_base);
        deadline = steady::now() + std::chrono::seconds(closing ? 1 : 5);
        if (const int err = av_interleaved_write_frame(link.mux, pkt.get()); err < 0) {
            write_error = av_error_text(err);
            return false;
        }
    }
}

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
        if (!link.mux) // away: the sound's time goes on, nothing is encoded
            continue;
        if (avcodec_send_frame(audio.get(), chunk.get()) < 0 || !write(audio.get(), link.a))
            return false;
    }
}

void lost(const std::string &why, steady::time_point &since) {
    write_error.clear();
    disconnect(false);
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
        if (!link.mux && !end && steady::now() >= next_try) {
            std::string why;
            if (connect(why)) {
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
        if (link.mux) {
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
            ok = avcodec_send_frame(video.get(), yuv.get()) >= 0 && write(video.get(), link.v);
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
    if (link.mux) {
        avcodec_send_frame(video.get(), nullptr);
        avcodec_send_frame(audio.get(), nullptr);
        if (write(video.get(), link.v) && write(audio.get(), link.a))
            disconnect(true);
    }
    disconnect(false);
}

bool open_encoders(std::string &error) {
    const bool vp9 = opts.destination_kind == stream_destination_kind::icecast;
    const AVCodec *vc = avcodec_find_encoder_by_name(vp9 ? "libvpx-vp9" : "libx264");
    const AVCodec *ac = avcodec_find_encoder_by_name(vp9 ? "libopus" : "aac");
    if (!vc || !ac) {
        error = std::string("FFmpeg here has no ") +
                (vc    ? ac->name
                 : vp9 ? "libvpx-vp9"
                       : "libx264") +
                " encoder";
        return false;
    }
    video.reset(avcodec_alloc_context3(vc));
    audio.reset(avcodec_alloc_context3(ac));
    AVCodecContext *v = video.get(), *a = audio.get();
    v->width = opts.width;
    v->height = opts.height;
    v->time_base = {1, opts.fps};
    v->framerate = {opts.fps, 1};
    v->pix_fmt = AV_PIX_FMT_YUV420P;
    v->gop_size = 4 * opts.fps; // key frames are asked for every 2 s; none later than 4 s
    v->keyint_min = 1;
    v->max_b_frames = 0;
    v->bit_rate = opts.bitrate;
    v->rc_max_rate = opts.bitrate;
    v->rc_buffer_size = static_cast<int>(std::min(2L * opts.bitrate, 200000000L));
    v->color_range = AVCOL_RANGE_MPEG;
    v->colorspace = AVCOL_SPC_BT709;
    v->color_primaries = AVCOL_PRI_BT709;
    v->color_trc = AVCOL_TRC_BT709;
    a->sample_rate = rate;
    av_channel_layout_default(&a->ch_layout, channels);
    a->sample_fmt = vp9 ? AV_SAMPLE_FMT_FLT : AV_SAMPLE_FMT_FLTP;
    a->bit_rate = channels == 1 ? 96000 : 128000;
    a->time_base = {1, rate};
    if (opts.destination_kind != stream_destination_kind::srt &&
        opts.destination_kind != stream_destination_kind::ts &&
        opts.destination_kind != stream_destination_kind::hls) {
        v->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
        a->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    }
    AVDictionary *vo = nullptr;
    if (vp9) {
        av_dict_set(&vo, "deadline", "realtime", 0);
        av_dict_set(&vo, "cpu-used", "8", 0);
        av_dict_set(&vo, "row-mt", "1", 0);
        av_dict_set(&vo, "lag-in-frames", "0", 0);
    } else {
        av_dict_set(&vo, "preset", "veryfast", 0);
        av_dict_set(&vo, "tune", "zerolatency", 0);
        // the key frames are asked for by time (see sender_thread); x264's own come later
        const std::string gop = std::to_string(4 * opts.fps);
        av_dict_set(&vo, "x264-params", ("scenecut=0:keyint=" + gop).c_str(), 0);
        av_dict_set(&vo, "forced-idr", "1", 0);
    }
    int err = avcodec_open2(v, vc, &vo);
    av_dict_free(&vo);
    if (err < 0 || (err = avcodec_open2(a, ac, nullptr)) < 0) {
        error = "cannot open the encoders: " + av_error_text(err);
        return false;
    }
    yuv.reset(av_frame_alloc());
    chunk.reset(av_frame_alloc());
    pkt.reset(av_packet_alloc());
    if (!yuv || !chunk || !pkt) {
        error = "out of memory";
        return false;
    }
    yuv->format = v->pix_fmt;
    yuv->width = v->width;
    yuv->height = v->height;
    chunk->format = a->sample_fmt;
    chunk->nb_samples = a->frame_size > 0 ? a->frame_size : 1024;
    chunk->sample_rate = rate;
    av_channel_layout_copy(&chunk->ch_layout, &a->ch_layout);
    if (a->frame_size <= 0)
        a->frame_size = chunk->nb_samples;
    if (av_frame_get_buffer(yuv.get(), 0) < 0 || av_frame_get_buffer(chunk.get(), 0) < 0) {
        error = "out of memory";
        return false;
    }
    return true;
}

} // namespace

bool stream_output_open(const stream_options &o, int ch, int r, std::string &error) {
    opts = o;
    channels = ch;
    rate = r;
    shown = stream_shown(o.destination);
    if (!open_encoders(error))
        return false;
    for (slot &s : queue)
        s.pixels.resize(static_cast<size_t>(o.width) * o.height * 4);
    held.resize(static_cast<size_t>(o.width) * o.height * 4);
    sound_frames = 4LL * rate;
    sound.assign(static_cast<size_t>(sound_frames * channels), 0.0f);
    std::string why;
    if (!connect(why)) {
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
