// SPDX-License-Identifier: GPL-3.0-or-later
// The video's pictures: each is copied into a short queue, allocated once, and converted to YUV and
// encoded on a thread of its own, so that drawing goes on meanwhile.
#include "encode.h"
#include "encode_parts.h"

#include "av_owners.h"
#include "to_yuv420.h"

#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

extern "C" {
#include <libavutil/opt.h>
}

namespace {

// Pictures: converted and encoded on the encoder thread.
codec_ptr video;
AVStream *video_stream;
frame_ptr yuv;
packet_ptr video_packet;
int64_t video_pts;

// A short queue of pictures to the encoder thread, allocated once.
struct slot {
    std::vector<unsigned char> pixels;
    enum { picture, repeat, end } kind = picture;
};
constexpr int queue_length = 3;
slot queue[queue_length];
int queue_head, queue_size;
std::mutex queueing;
std::condition_variable queue_changed;
std::thread encoder;
bool encoder_stop;

void convert(const unsigned char *bgra) {
    const int w = encode_options().width, h = encode_options().height;
    if (encode_options().lossless) { // the picture's own bytes, its rows top-down; black is 0
        const size_t stride = static_cast<size_t>(yuv->linesize[0]);
        if (!bgra)
            std::memset(yuv->data[0], 0, stride * h);
        for (int y = 0; bgra && y < h; ++y)
            std::memcpy(yuv->data[0] + stride * y, bgra + static_cast<size_t>(h - 1 - y) * w * 4,
                        static_cast<size_t>(w) * 4);
        return;
    }
    if (!bgra) { // black: Y at 16, U and V at 128
        std::memset(yuv->data[0], 16, static_cast<size_t>(yuv->linesize[0]) * h);
        std::memset(yuv->data[1], 128, static_cast<size_t>(yuv->linesize[1]) * (h / 2));
        std::memset(yuv->data[2], 128, static_cast<size_t>(yuv->linesize[2]) * (h / 2));
        return;
    }
    to_yuv420(bgra, w, h, yuv->data[0], yuv->linesize[0], yuv->data[1], yuv->data[2],
              yuv->linesize[1]);
}

void encode_pictures();

// The encoder thread: pictures from the queue, converted and encoded, until the end or a failure,
// which wakes the main thread if it waits for room.
void encoder_thread() {
    encode_pictures();
    std::lock_guard lock(queueing);
    queue_changed.notify_all();
}

void encode_pictures() {
    const bool gif = encode_options().kind == render_kind::gif;
    while (true) {
        std::unique_lock lock(queueing);
        queue_changed.wait(lock, [] { return queue_size > 0 || encoder_stop; });
        if (queue_size == 0)
            return; // stopped
        slot &s = queue[queue_head];
        lock.unlock();
        bool ok = true;
        if (s.kind == slot::end) {
            ok = gif ? gif_track_finish(video.get(), video_stream, video_packet.get())
                     : encode_send(video.get(), video_stream, nullptr, video_packet.get());
        } else if (gif) { // takes its copy of the picture before the slot is let go
            ok = gif_track_send(s.kind == slot::picture ? s.pixels.data() : nullptr, video_pts++,
                                video.get(), video_stream, video_packet.get());
        } else if (s.kind == slot::picture) {
            ok = av_frame_make_writable(yuv.get()) >= 0 || encode_fail("out of memory");
            if (ok)
                convert(s.pixels.data());
        }
        const bool end = s.kind == slot::end;
        lock.lock();
        queue_head = (queue_head + 1) % queue_length;
        --queue_size;
        queue_changed.notify_all();
        lock.unlock();
        if (end || !ok)
            return;
        if (gif)
            continue;
        yuv->pts = video_pts++;
        if (!encode_send(video.get(), video_stream, yuv.get(), video_packet.get()))
            return;
    }
}

bool push(const unsigned char *bgra, decltype(slot::kind) kind) {
    std::unique_lock lock(queueing);
    queue_changed.wait(lock, [] { return queue_size < queue_length || encode_has_failed(); });
    if (encode_has_failed())
        return false;
    slot &s = queue[(queue_head + queue_size) % queue_length];
    lock.unlock();
    s.kind = kind;
    if (kind == slot::picture && bgra)
        std::memcpy(s.pixels.data(), bgra, s.pixels.size());
    else if (kind == slot::picture)
        std::memset(s.pixels.data(), 0, s.pixels.size());
    lock.lock();
    ++queue_size;
    queue_changed.notify_all();
    return true;
}

} // namespace

bool video_track_open(const AVCodec *codec) {
    const render_options &opts = encode_options();
    video.reset(avcodec_alloc_context3(codec));
    AVCodecContext *c = video.get();
    c->width = opts.width;
    c->height = opts.height;
    c->time_base = {1, opts.fps};
    c->framerate = {opts.fps, 1};
    c->pix_fmt = opts.kind == render_kind::gif ? AV_PIX_FMT_PAL8 : AV_PIX_FMT_YUV420P;
    c->gop_size = 5 * opts.fps; // a key frame every 5 s, for seeking
    // the colours as HD video carries them, and said so, so that players show what was drawn
    c->color_range = AVCOL_RANGE_MPEG;
    c->colorspace = AVCOL_SPC_BT709;
    c->color_primaries = AVCOL_PRI_BT709;
    c->color_trc = AVCOL_TRC_BT709;
    if (encode_container()->oformat->flags & AVFMT_GLOBALHEADER)
        c->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    if (opts.lossless) { // every picture whole, in its own colours: blue, green, red
        c->pix_fmt = AV_PIX_FMT_BGR0;
        c->gop_size = 1;
        c->color_range = AVCOL_RANGE_JPEG;
        c->colorspace = AVCOL_SPC_RGB;
        c->level = 3; // in slices, coded side by side on every core
        c->thread_count = 0;
    } else if (codec->id == AV_CODEC_ID_H264) {
        // veryfast: on music at 1280 x 720 it keeps the picture as medium does (35.1 dB against
        // a lossless render, both) in a file 2 % smaller, at three quarters of the processor
        // time; medium's trellis alone took a quarter of a render's time
        av_opt_set(c->priv_data, "preset", "veryfast", 0);
        av_opt_set(c->priv_data, "crf", "20", 0);
        // a segment: key frames at its first frame and every five seconds after, never at a
        // scene cut, so that every segment of a render is cut the same way
        if (opts.first_frame >= 0)
            av_opt_set(c->priv_data, "x264-params", "scenecut=0", 0);
    } else {
        av_opt_set(c->priv_data, "crf", "32", 0);
        c->bit_rate = 0; // quality alone decides
        av_opt_set(c->priv_data, "deadline", "good", 0);
        av_opt_set(c->priv_data, "cpu-used", "4", 0);
        av_opt_set(c->priv_data, "row-mt", "1", 0);
    }
    int err = avcodec_open2(c, codec, nullptr);
    if (err < 0)
        return encode_fail(std::string("cannot open the ") + codec->name + " encoder at " +
                           std::to_string(opts.width) + "x" + std::to_string(opts.height) + ": " +
                           av_error_text(err));
    video_stream = avformat_new_stream(encode_container(), nullptr);
    if (!video_stream || avcodec_parameters_from_context(video_stream->codecpar, c) < 0)
        return encode_fail("out of memory");
    video_stream->time_base = c->time_base;
    video_stream->avg_frame_rate = c->framerate;
    // a segment's frames keep their place in the whole render's time
    video_pts = opts.first_frame >= 0 ? opts.first_frame : 0;
    video_packet.reset(av_packet_alloc());
    if (!video_packet)
        return encode_fail("out of memory");
    for (slot &s : queue)
        s.pixels.resize(static_cast<size_t>(opts.width) * opts.height * 4);
    if (opts.kind == render_kind::gif)
        return gif_track_open(c);
    yuv.reset(av_frame_alloc());
    if (!yuv)
        return encode_fail("out of memory");
    yuv->format = c->pix_fmt;
    yuv->width = c->width;
    yuv->height = c->height;
    yuv->color_range = c->color_range;
    yuv->colorspace = c->colorspace;
    return av_frame_get_buffer(yuv.get(), 0) >= 0 || encode_fail("out of memory");
}

bool encode_picture(const unsigned char *bgra) { return push(bgra, slot::picture); }
bool encode_repeat() { return push(nullptr, slot::repeat); }

bool video_track_finish() {
    const bool ok = push(nullptr, slot::end);
    if (encoder.joinable())
        encoder.join();
    return ok && !encode_has_failed();
}

bool video_track_start() {
    encoder_stop = false;
    encoder = std::thread(encoder_thread);
    return true;
}

void video_track_close() {
    if (encoder.joinable()) {
        {
            std::lock_guard lock(queueing);
            encoder_stop = true;
        }
        queue_changed.notify_all();
        encoder.join();
    }
    video.reset();
    gif_track_close();
}
