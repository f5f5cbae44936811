// SPDX-License-Identifier: GPL-3.0-or-later
#include "encode.h"

#include "av_owners.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/audio_fifo.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

namespace {

struct free_output {
    void operator()(AVFormatContext *f) const {
        if (f->pb)
            avio_closep(&f->pb);
        avformat_free_context(f);
    }
};
struct free_sws {
    void operator()(SwsContext *s) const { sws_freeContext(s); }
};
struct free_fifo {
    void operator()(AVAudioFifo *f) const { av_audio_fifo_free(f); }
};

render_options opts;

// The temporary file, beside OUTPUT. Its path is also read by the signal handler.
char temp_path[PATH_MAX];
char interrupted_line[PATH_MAX + 64];
int temp_fd = -1;

std::unique_ptr<AVFormatContext, free_output> output;
std::mutex muxing; // the container takes packets from both threads

// Pictures: converted and encoded on the encoder thread.
codec_ptr video;
AVStream *video_stream;
std::unique_ptr<SwsContext, free_sws> to_yuv;
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

// The sound track: the input's frames, converted for the encoder and cut to the video's time.
codec_ptr sound;
AVStream *sound_stream;
swr_ptr to_sound;
std::unique_ptr<AVAudioFifo, free_fifo> sound_fifo;
frame_ptr sound_in, sound_out;
packet_ptr sound_packet;
frame_format sound_from;        // what to_sound was set up for
int64_t sound_pos;              // samples converted so far, at the encoder's rate
int64_t sound_begin, sound_end; // the part of them the video keeps
int64_t sound_pts;              // samples sent to the encoder

std::mutex failing;
std::string failure; // the first failure, from either thread

bool fail(const std::string &text) {
    std::lock_guard lock(failing);
    if (failure.empty())
        failure = text;
    return false;
}

bool failed() {
    std::lock_guard lock(failing);
    return !failure.empty();
}

extern "C" void on_signal(int sig) {
    // only what is safe in a signal handler: the temporary file goes, OUTPUT stays as it was
    if (temp_path[0])
        unlink(temp_path);
    const ssize_t ignored = write(2, interrupted_line, std::strlen(interrupted_line));
    (void)ignored;
    _exit(128 + sig);
}

std::string folder_of(const std::string &path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

// Sends what an encoder has ready to the container.
bool drain(AVCodecContext *c, AVStream *st, AVPacket *pkt) {
    while (true) {
        int err = avcodec_receive_packet(c, pkt);
        if (err == AVERROR(EAGAIN) || err == AVERROR_EOF)
            return true;
        if (err < 0)
            return fail("encoding failed: " + av_error_text(err));
        av_packet_rescale_ts(pkt, c->time_base, st->time_base);
        pkt->stream_index = st->index;
        {
            std::lock_guard lock(muxing);
            err = av_interleaved_write_frame(output.get(), pkt);
        }
        if (err < 0)
            return fail("writing " + opts.output + " failed: " + av_error_text(err));
    }
}

bool send(AVCodecContext *c, AVStream *st, const AVFrame *f, AVPacket *pkt) {
    const int err = avcodec_send_frame(c, f);
    if (err < 0 && err != AVERROR_EOF)
        return fail("encoding failed: " + av_error_text(err));
    return drain(c, st, pkt);
}

void convert(const unsigned char *bgra) {
    const int w = opts.width, h = opts.height;
    if (!bgra) { // black: Y at 16, U and V at 128
        std::memset(yuv->data[0], 16, static_cast<size_t>(yuv->linesize[0]) * h);
        std::memset(yuv->data[1], 128, static_cast<size_t>(yuv->linesize[1]) * (h / 2));
        std::memset(yuv->data[2], 128, static_cast<size_t>(yuv->linesize[2]) * (h / 2));
        return;
    }
    // GL's rows go bottom-up: start at the last row and step back
    const uint8_t *top = bgra + static_cast<size_t>(h - 1) * w * 4;
    const int stride = -w * 4;
    sws_scale(to_yuv.get(), &top, &stride, 0, h, yuv->data, yuv->linesize);
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
    while (true) {
        std::unique_lock lock(queueing);
        queue_changed.wait(lock, [] { return queue_size > 0 || encoder_stop; });
        if (queue_size == 0)
            return; // stopped
        slot &s = queue[queue_head];
        lock.unlock();
        bool ok = true;
        if (s.kind == slot::end) {
            ok = send(video.get(), video_stream, nullptr, video_packet.get());
        } else if (s.kind == slot::picture) {
            ok = av_frame_make_writable(yuv.get()) >= 0 || fail("out of memory");
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
        yuv->pts = video_pts++;
        if (!send(video.get(), video_stream, yuv.get(), video_packet.get()))
            return;
    }
}

bool push(const unsigned char *bgra, decltype(slot::kind) kind) {
    std::unique_lock lock(queueing);
    queue_changed.wait(lock, [] { return queue_size < queue_length || failed(); });
    if (failed())
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

// A rate the encoder takes: the input's, or the nearest it has.
int rate_for(const AVCodec *c, int want) {
    if (!c->supported_samplerates)
        return want;
    int best = c->supported_samplerates[0];
    for (const int *r = c->supported_samplerates; *r; ++r)
        if (std::abs(*r - want) < std::abs(best - want))
            best = *r;
    return best;
}

AVSampleFormat format_for(const AVCodec *c, AVSampleFormat want) {
    if (!c->sample_fmts)
        return want;
    for (const AVSampleFormat *f = c->sample_fmts; *f != AV_SAMPLE_FMT_NONE; ++f)
        if (*f == want)
            return want;
    // FLAC keeps 16 bits as 16 bits and takes more in 32
    if (c->id == AV_CODEC_ID_FLAC)
        return av_get_bytes_per_sample(want) <= 2 ? AV_SAMPLE_FMT_S16 : AV_SAMPLE_FMT_S32;
    for (const AVSampleFormat *f = c->sample_fmts; *f != AV_SAMPLE_FMT_NONE; ++f)
        if (*f == AV_SAMPLE_FMT_FLTP || *f == AV_SAMPLE_FMT_FLT)
            return *f;
    return c->sample_fmts[0];
}

bool open_video(const AVCodec *codec) {
    video.reset(avcodec_alloc_context3(codec));
    AVCodecContext *c = video.get();
    c->width = opts.width;
    c->height = opts.height;
    c->time_base = {1, opts.fps};
    c->framerate = {opts.fps, 1};
    c->pix_fmt = AV_PIX_FMT_YUV420P;
    c->gop_size = 5 * opts.fps; // a key frame every 5 s, for seeking
    // the colours as HD video carries them, and said so, so that players show what was drawn
    c->color_range = AVCOL_RANGE_MPEG;
    c->colorspace = AVCOL_SPC_BT709;
    c->color_primaries = AVCOL_PRI_BT709;
    c->color_trc = AVCOL_TRC_BT709;
    if (output->oformat->flags & AVFMT_GLOBALHEADER)
        c->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    if (codec->id == AV_CODEC_ID_H264) {
        av_opt_set(c->priv_data, "preset", "medium", 0);
        av_opt_set(c->priv_data, "crf", "20", 0);
    } else {
        av_opt_set(c->priv_data, "crf", "32", 0);
        c->bit_rate = 0; // quality alone decides
        av_opt_set(c->priv_data, "deadline", "good", 0);
        av_opt_set(c->priv_data, "cpu-used", "4", 0);
        av_opt_set(c->priv_data, "row-mt", "1", 0);
    }
    int err = avcodec_open2(c, codec, nullptr);
    if (err < 0)
        return fail(std::string("cannot open the ") + codec->name + " encoder at " +
                    std::to_string(opts.width) + "x" + std::to_string(opts.height) + ": " +
                    av_error_text(err));
    video_stream = avformat_new_stream(output.get(), nullptr);
    if (!video_stream || avcodec_parameters_from_context(video_stream->codecpar, c) < 0)
        return fail("out of memory");
    video_stream->time_base = c->time_base;
    video_stream->avg_frame_rate = c->framerate;
    to_yuv.reset(sws_getContext(opts.width, opts.height, AV_PIX_FMT_BGR0, opts.width, opts.height,
                                AV_PIX_FMT_YUV420P, SWS_BICUBIC | SWS_ACCURATE_RND, nullptr,
                                nullptr, nullptr));
    yuv.reset(av_frame_alloc());
    video_packet.reset(av_packet_alloc());
    if (!to_yuv || !yuv || !video_packet)
        return fail("out of memory");
    const int *bt709 = sws_getCoefficients(SWS_CS_ITU709);
    sws_setColorspaceDetails(to_yuv.get(), bt709, 1, bt709, 0, 0, 1 << 16, 1 << 16);
    yuv->format = c->pix_fmt;
    yuv->width = c->width;
    yuv->height = c->height;
    yuv->color_range = c->color_range;
    yuv->colorspace = c->colorspace;
    if (av_frame_get_buffer(yuv.get(), 0) < 0)
        return fail("out of memory");
    for (slot &s : queue)
        s.pixels.resize(static_cast<size_t>(opts.width) * opts.height * 4);
    return true;
}

bool open_sound(const AVCodec *codec, const AVCodecContext *from) {
    sound.reset(avcodec_alloc_context3(codec));
    AVCodecContext *c = sound.get();
    AVChannelLayout layout{};
    if (from->ch_layout.order == AV_CHANNEL_ORDER_UNSPEC)
        av_channel_layout_default(&layout, from->ch_layout.nb_channels);
    else
        av_channel_layout_copy(&layout, &from->ch_layout);
    bool layout_taken = !codec->ch_layouts;
    for (const AVChannelLayout *l = codec->ch_layouts; l && l->nb_channels; ++l)
        layout_taken = layout_taken || !av_channel_layout_compare(l, &layout);
    if (!layout_taken) {
        char name[64];
        av_channel_layout_describe(&layout, name, sizeof name);
        std::fprintf(stderr, "lumora-render: %s cannot carry %s sound: the sound track is stereo\n",
                     codec->name, name);
        av_channel_layout_uninit(&layout);
        layout = AV_CHANNEL_LAYOUT_STEREO;
    }
    av_channel_layout_copy(&c->ch_layout, &layout);
    av_channel_layout_uninit(&layout);
    c->sample_rate = rate_for(codec, from->sample_rate);
    c->sample_fmt = format_for(codec, from->sample_fmt);
    if (codec->id == AV_CODEC_ID_FLAC && c->sample_fmt == AV_SAMPLE_FMT_S32)
        c->bits_per_raw_sample = 24;
    if (codec->id != AV_CODEC_ID_FLAC) // lossy: enough for music, per channel
        c->bit_rate = std::min(96000 * c->ch_layout.nb_channels, 512000);
    c->time_base = {1, c->sample_rate};
    if (output->oformat->flags & AVFMT_GLOBALHEADER)
        c->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    const int err = avcodec_open2(c, codec, nullptr);
    if (err < 0)
        return fail(std::string("cannot open the ") + codec->name +
                    " encoder for the sound: " + av_error_text(err));
    sound_stream = avformat_new_stream(output.get(), nullptr);
    if (!sound_stream || avcodec_parameters_from_context(sound_stream->codecpar, c) < 0)
        return fail("out of memory");
    sound_stream->time_base = c->time_base;
    sound_fifo.reset(av_audio_fifo_alloc(c->sample_fmt, c->ch_layout.nb_channels, 1 << 14));
    sound_in.reset(av_frame_alloc());
    sound_out.reset(av_frame_alloc());
    sound_packet.reset(av_packet_alloc());
    return (sound_fifo && sound_in && sound_out && sound_packet) || fail("out of memory");
}

// Sets up (again) the conversion of the input's frames for the sound encoder.
bool sound_for(const AVFrame *f) {
    if (to_sound && sound_from.same_as(f))
        return true;
    SwrContext *s = nullptr;
    const AVCodecContext *c = sound.get();
    AVChannelLayout in{}, out{}; // FFmpeg 5.1 takes them as not const
    if (f->ch_layout.order == AV_CHANNEL_ORDER_UNSPEC)
        av_channel_layout_default(&in, f->ch_layout.nb_channels);
    else
        av_channel_layout_copy(&in, &f->ch_layout);
    av_channel_layout_copy(&out, &c->ch_layout);
    const int err =
        swr_alloc_set_opts2(&s, &out, c->sample_fmt, c->sample_rate, &in,
                            static_cast<AVSampleFormat>(f->format), f->sample_rate, 0, nullptr);
    av_channel_layout_uninit(&in);
    av_channel_layout_uninit(&out);
    to_sound.reset(s);
    if (err < 0 || swr_init(s) < 0)
        return fail("cannot convert the sound for the " + std::string(c->codec->name) + " encoder");
    sound_from.take(f);
    return true;
}

// Encodes whole encoder frames from the queue of converted sound; at the end, the rest too.
bool encode_sound_fifo(bool end) {
    AVCodecContext *c = sound.get();
    const int size = c->frame_size > 0 ? c->frame_size : 4096;
    while (av_audio_fifo_size(sound_fifo.get()) >= (end ? 1 : size)) {
        const int n = std::min(size, av_audio_fifo_size(sound_fifo.get()));
        AVFrame *f = sound_out.get();
        av_frame_unref(f);
        f->nb_samples = n;
        f->format = c->sample_fmt;
        f->sample_rate = c->sample_rate;
        av_channel_layout_copy(&f->ch_layout, &c->ch_layout);
        if (av_frame_get_buffer(f, 0) < 0)
            return fail("out of memory");
        av_audio_fifo_read(sound_fifo.get(), reinterpret_cast<void **>(f->data), n);
        f->pts = sound_pts;
        sound_pts += n;
        if (!send(c, sound_stream, f, sound_packet.get()))
            return false;
    }
    return true;
}

// Keeps the converted samples [at, at + n) that lie inside the video's time.
bool keep_sound(uint8_t **data, int64_t at, int n) {
    const int64_t from = std::max(at, sound_begin), to = std::min(at + n, sound_end);
    if (from >= to)
        return true;
    const AVCodecContext *c = sound.get();
    const int bytes = av_get_bytes_per_sample(c->sample_fmt);
    const bool planar = av_sample_fmt_is_planar(c->sample_fmt);
    const int planes = planar ? c->ch_layout.nb_channels : 1;
    const int64_t skip = (from - at) * bytes * (planar ? 1 : c->ch_layout.nb_channels);
    static uint8_t *parts[64]; // the encoders take at most 8 (AAC) or 255 (Opus) channels
    if (planes > 64)
        return fail("too many channels");
    for (int p = 0; p < planes; ++p)
        parts[p] = data[p] + skip;
    if (av_audio_fifo_write(sound_fifo.get(), reinterpret_cast<void **>(parts),
                            static_cast<int>(to - from)) < 0)
        return fail("out of memory");
    return encode_sound_fifo(false);
}

} // namespace

const std::string &encode_failed() { return failure; }

bool encode_prepare(const render_options &o, std::string &error) {
    opts = o;
    struct stat in, out;
    if (stat(o.output.c_str(), &out) == 0) {
        if (S_ISDIR(out.st_mode)) {
            error = o.output + ": a folder; give a file name";
            return false;
        }
        if (stat(o.input.c_str(), &in) == 0 && in.st_dev == out.st_dev && in.st_ino == out.st_ino) {
            error = o.output + ": OUTPUT is the INPUT; give another name";
            return false;
        }
    }
    const std::string folder = folder_of(o.output);
    const std::size_t slash = o.output.rfind('/');
    const std::string name = slash == std::string::npos ? o.output : o.output.substr(slash + 1);
    const std::string temp = folder + "/." + name + ".XXXXXX";
    if (temp.size() >= sizeof temp_path) {
        error = o.output + ": the name is too long";
        return false;
    }
    // on a terminal the line ends the progress line first
    std::snprintf(interrupted_line, sizeof interrupted_line,
                  "%slumora-render: interrupted; %s was not written\n", isatty(2) ? "\n" : "",
                  o.output.c_str());
    // the handler must find the path complete: it is filled in with signals held back
    sigset_t all, before;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &before);
    std::vector<char> path(temp.begin(), temp.end());
    path.push_back('\0');
    temp_fd = mkstemp(path.data());
    const int err = errno;
    if (temp_fd >= 0)
        std::memcpy(temp_path, path.data(), path.size());
    struct sigaction act {};
    act.sa_handler = on_signal;
    sigemptyset(&act.sa_mask);
    for (int sig : {SIGINT, SIGTERM, SIGHUP})
        sigaction(sig, &act, nullptr);
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
    if (temp_fd < 0) {
        struct stat dir;
        const bool there = stat(folder.c_str(), &dir) == 0 && S_ISDIR(dir.st_mode);
        error = o.output + ": cannot write in " + folder + ": " +
                (!there          ? "no such folder"
                 : err == ENOENT ? "it takes no new files"
                                 : std::strerror(err));
        return false;
    }
    // mkstemp makes the file for its owner alone; OUTPUT gets what a new file usually gets
    const mode_t mask = umask(0);
    umask(mask);
    fchmod(temp_fd, 0666 & ~mask);
    return true;
}

bool encode_open(const render_options &o, const AVCodecContext *from, long long first,
                 std::string &error) {
    const char *container = o.kind == render_kind::mp4    ? "mp4"
                            : o.kind == render_kind::webm ? "webm"
                                                          : "matroska";
    AVFormatContext *f = nullptr;
    int err = avformat_alloc_output_context2(&f, nullptr, container, temp_path);
    if (err < 0) {
        error = std::string("FFmpeg cannot write ") + container + ": " + av_error_text(err);
        return false;
    }
    output.reset(f);
    const AVCodec *pictures = o.kind == render_kind::webm
                                  ? avcodec_find_encoder_by_name("libvpx-vp9")
                                  : avcodec_find_encoder_by_name("libx264");
    if (!pictures && o.kind != render_kind::webm)
        pictures = avcodec_find_encoder(AV_CODEC_ID_H264);
    const AVCodec *sounds = o.kind == render_kind::mp4    ? avcodec_find_encoder(AV_CODEC_ID_AAC)
                            : o.kind == render_kind::webm ? avcodec_find_encoder_by_name("libopus")
                                                          : avcodec_find_encoder(AV_CODEC_ID_FLAC);
    if (!pictures || !sounds) {
        error = std::string("FFmpeg here has no ") +
                (!pictures ? (o.kind == render_kind::webm ? "VP9" : "H.264")
                           : (o.kind == render_kind::mp4 ? "AAC" : "Opus")) +
                " encoder";
        return false;
    }
    if (!open_video(pictures) || !open_sound(sounds, from)) {
        error = failure;
        return false;
    }
    sound_begin = av_rescale(first, sound->sample_rate, o.fps);
    sound_end = std::isfinite(o.to) ? static_cast<int64_t>(std::llround(o.to * sound->sample_rate))
                                    : INT64_MAX;
    if ((err = avio_open(&output->pb, temp_path, AVIO_FLAG_WRITE)) < 0) {
        error = o.output + ": cannot write: " + av_error_text(err);
        return false;
    }
    AVDictionary *options = nullptr;
    if (o.kind == render_kind::mp4) // the index at the front: it plays while it downloads
        av_dict_set(&options, "movflags", "+faststart", 0);
    err = avformat_write_header(output.get(), &options);
    av_dict_free(&options);
    if (err < 0) {
        error = "cannot start " + o.output + ": " + av_error_text(err);
        return false;
    }
    encoder_stop = false;
    encoder = std::thread(encoder_thread);
    return true;
}

bool encode_picture(const unsigned char *bgra) { return push(bgra, slot::picture); }
bool encode_repeat() { return push(nullptr, slot::repeat); }

bool encode_sound(const AVFrame *f) {
    if (failed() || !sound_for(f))
        return false;
    const int room = swr_get_out_samples(to_sound.get(), f->nb_samples);
    AVFrame *in = sound_in.get();
    if (in->nb_samples < room) {
        av_frame_unref(in);
        in->nb_samples = room;
        in->format = sound->sample_fmt;
        av_channel_layout_copy(&in->ch_layout, &sound->ch_layout);
        if (av_frame_get_buffer(in, 0) < 0)
            return fail("out of memory");
    }
    const int n = swr_convert(to_sound.get(), in->data, room,
                              const_cast<const uint8_t **>(f->extended_data), f->nb_samples);
    if (n < 0)
        return fail("cannot convert the sound: " + av_error_text(n));
    const int64_t at = sound_pos;
    sound_pos += n;
    return keep_sound(in->extended_data, at, n);
}

bool encode_png(const unsigned char *bgra, std::string &error) {
    const AVCodec *codec = avcodec_find_encoder(AV_CODEC_ID_PNG);
    codec_ptr c(codec ? avcodec_alloc_context3(codec) : nullptr);
    frame_ptr rgb(av_frame_alloc());
    packet_ptr pkt(av_packet_alloc());
    if (!c || !rgb || !pkt) {
        error = codec ? "out of memory" : "FFmpeg here has no PNG encoder";
        return false;
    }
    const int w = opts.width, h = opts.height;
    c->width = w;
    c->height = h;
    c->pix_fmt = AV_PIX_FMT_RGB24;
    c->time_base = {1, 1};
    int err = avcodec_open2(c.get(), codec, nullptr);
    rgb->format = AV_PIX_FMT_RGB24;
    rgb->width = w;
    rgb->height = h;
    if (err < 0 || av_frame_get_buffer(rgb.get(), 0) < 0) {
        error = "cannot open the PNG encoder: " + av_error_text(err);
        return false;
    }
    // bottom-up BGRA rows to top-down RGB: the fourth byte is what the window does not have
    for (int y = 0; y < h; ++y) {
        const unsigned char *src = bgra ? bgra + static_cast<size_t>(h - 1 - y) * w * 4 : nullptr;
        unsigned char *dst = rgb->data[0] + static_cast<size_t>(y) * rgb->linesize[0];
        for (int x = 0; x < w; ++x)
            for (int k = 0; k < 3; ++k)
                dst[3 * x + k] = src ? src[4 * x + 2 - k] : 0;
    }
    if ((err = avcodec_send_frame(c.get(), rgb.get())) < 0 ||
        (err = avcodec_receive_packet(c.get(), pkt.get())) < 0) {
        error = "cannot encode the picture: " + av_error_text(err);
        return false;
    }
    for (int done = 0; done < pkt->size;) {
        const ssize_t n = write(temp_fd, pkt->data + done, static_cast<size_t>(pkt->size - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            error = "writing " + opts.output + " failed: " + std::strerror(errno);
            return false;
        }
        done += static_cast<int>(n);
    }
    return true;
}

static bool close_and_rename(std::string &error) {
    if (fsync(temp_fd) != 0 || close(temp_fd) != 0) {
        temp_fd = -1;
        error = "writing " + opts.output + " failed: " + std::strerror(errno);
        return false;
    }
    temp_fd = -1;
    if (rename(temp_path, opts.output.c_str()) != 0) {
        error = "cannot name the result " + opts.output + ": " + std::strerror(errno);
        return false;
    }
    temp_path[0] = '\0';
    return true;
}

static void stop_encoder() {
    if (!encoder.joinable())
        return;
    {
        std::lock_guard lock(queueing);
        encoder_stop = true;
    }
    queue_changed.notify_all();
    encoder.join();
}

bool encode_finish(std::string &error) {
    if (output) {
        bool ok = push(nullptr, slot::end);
        if (encoder.joinable())
            encoder.join();
        ok = ok && !failed() && encode_sound_fifo(true) &&
             send(sound.get(), sound_stream, nullptr, sound_packet.get());
        int err = 0;
        if (ok && (err = av_write_trailer(output.get())) < 0)
            ok = fail("cannot finish " + opts.output + ": " + av_error_text(err));
        if (ok && (err = avio_closep(&output->pb)) < 0)
            ok = fail("writing " + opts.output + " failed: " + av_error_text(err));
        if (!ok) {
            error = failure;
            encode_abandon();
            return false;
        }
    }
    if (!close_and_rename(error)) {
        encode_abandon();
        return false;
    }
    encode_abandon(); // frees the rest; the file has its name
    return true;
}

void encode_abandon() {
    stop_encoder();
    output.reset();
    video.reset();
    sound.reset();
    to_yuv.reset();
    to_sound.reset();
    sound_fifo.reset();
    sound_from.clear();
    if (temp_fd >= 0) {
        close(temp_fd);
        temp_fd = -1;
    }
    if (temp_path[0]) {
        unlink(temp_path);
        temp_path[0] = '\0';
    }
}
