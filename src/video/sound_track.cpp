// SPDX-License-Identifier: GPL-3.0-or-later
// The video's sound track: the input's own sound, in its own channels where the container's
// encoder takes them, converted for the encoder and cut to the video's time.
#include "encode.h"
#include "encode_parts.h"

#include "av_owners.h"
#include "decode.h"
#include "own_stderr.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <memory>
#include <vector>

extern "C" {
#include <libavutil/audio_fifo.h>
#include <libswresample/swresample.h>
}

namespace {

struct free_fifo {
    void operator()(AVAudioFifo *f) const { av_audio_fifo_free(f); }
};

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

// Opens the encoder for the sound in the given layout; false, with the encoder's error, when it
// does not take it.
int try_layout(const AVCodec *codec, const AVCodecContext *from, const AVChannelLayout &layout) {
    sound.reset(avcodec_alloc_context3(codec));
    AVCodecContext *c = sound.get();
    if (!c)
        return AVERROR(ENOMEM);
    av_channel_layout_copy(&c->ch_layout, &layout);
    c->sample_rate = rate_for(codec, from->sample_rate);
    c->sample_fmt = format_for(codec, from->sample_fmt);
    if (codec->id == AV_CODEC_ID_FLAC && c->sample_fmt == AV_SAMPLE_FMT_S32)
        c->bits_per_raw_sample = 24;
    if (codec->id != AV_CODEC_ID_FLAC) // lossy: enough for music, per channel
        c->bit_rate = std::min(96000 * c->ch_layout.nb_channels, 512000);
    c->time_base = {1, c->sample_rate};
    if (encode_container()->oformat->flags & AVFMT_GLOBALHEADER)
        c->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    return avcodec_open2(c, codec, nullptr);
}

// The input's own channels where the encoder takes them; else a stereo mix, or mono.
bool open_sound(const AVCodec *codec, const AVCodecContext *from) {
    AVChannelLayout own{};
    if (from->ch_layout.order == AV_CHANNEL_ORDER_UNSPEC)
        av_channel_layout_default(&own, from->ch_layout.nb_channels);
    else
        av_channel_layout_copy(&own, &from->ch_layout);
    bool listed = !codec->ch_layouts;
    for (const AVChannelLayout *l = codec->ch_layouts; l && l->nb_channels; ++l)
        listed = listed || !av_channel_layout_compare(l, &own);
    int err = listed ? try_layout(codec, from, own) : AVERROR(EINVAL);
    const AVChannelLayout stereo = AV_CHANNEL_LAYOUT_STEREO, mono = AV_CHANNEL_LAYOUT_MONO;
    const AVChannelLayout *mixed = nullptr;
    for (const AVChannelLayout *l : {&stereo, &mono})
        if (err < 0 && own.nb_channels > l->nb_channels && (err = try_layout(codec, from, *l)) >= 0)
            mixed = l;
    if (mixed) {
        char name[64];
        av_channel_layout_describe(&own, name, sizeof name);
        std::fprintf(own_stderr(),
                     "lumora-render: %s cannot carry %s sound: the sound track is %s\n",
                     codec->name, name, mixed == &stereo ? "stereo" : "mono");
    }
    av_channel_layout_uninit(&own);
    if (err < 0)
        return encode_fail(std::string("cannot open the ") + codec->name +
                           " encoder for the sound: " + av_error_text(err));
    AVCodecContext *c = sound.get();
    sound_stream = avformat_new_stream(encode_container(), nullptr);
    if (!sound_stream || avcodec_parameters_from_context(sound_stream->codecpar, c) < 0)
        return encode_fail("out of memory");
    sound_stream->time_base = c->time_base;
    sound_fifo.reset(av_audio_fifo_alloc(c->sample_fmt, c->ch_layout.nb_channels, 1 << 14));
    sound_in.reset(av_frame_alloc());
    sound_out.reset(av_frame_alloc());
    sound_packet.reset(av_packet_alloc());
    return (sound_fifo && sound_in && sound_out && sound_packet) || encode_fail("out of memory");
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
    // Into one channel, the mean of the channels, as the picture hears them. The resampler's own
    // mix adds a stereo pair at -3 dB each: 3 dB louder than its mono part where a chained file
    // goes from mono to stereo and the track was set up for the first.
    const int channels = f->ch_layout.nb_channels;
    bool mixed = true;
    if (err >= 0 && c->ch_layout.nb_channels == 1 && channels > 1) {
        std::vector<double> mean(static_cast<size_t>(channels), 1.0 / channels);
        mixed = swr_set_matrix(s, mean.data(), channels) >= 0;
    }
    if (err < 0 || !mixed || swr_init(s) < 0)
        return encode_fail("cannot convert the sound for the " + std::string(c->codec->name) +
                           " encoder");
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
            return encode_fail("out of memory");
        av_audio_fifo_read(sound_fifo.get(), reinterpret_cast<void **>(f->extended_data), n);
        f->pts = sound_pts;
        sound_pts += n;
        if (!encode_send(c, sound_stream, f, sound_packet.get()))
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
        return encode_fail("too many channels");
    for (int p = 0; p < planes; ++p)
        parts[p] = data[p] + skip;
    if (av_audio_fifo_write(sound_fifo.get(), reinterpret_cast<void **>(parts),
                            static_cast<int>(to - from)) < 0)
        return encode_fail("out of memory");
    return encode_sound_fifo(false);
}

} // namespace

bool sound_track_open(const AVCodec *codec, const AVCodecContext *from, long long first) {
    if (!open_sound(codec, from))
        return false;
    const render_options &o = encode_options();
    sound_begin = av_rescale(first, sound->sample_rate, o.fps);
    sound_end = std::isfinite(o.to) ? static_cast<int64_t>(std::llround(o.to * sound->sample_rate))
                                    : INT64_MAX;
    sound_pos = 0;
    sound_pts = o.first_frame >= 0 ? sound_begin : 0; // a segment keeps its place in time
    return true;
}

bool encode_sound(const AVFrame *f) {
    if (!sound) // a .gif has no sound
        return !encode_has_failed();
    if (encode_has_failed() || !sound_for(f))
        return false;
    const int room = swr_get_out_samples(to_sound.get(), f->nb_samples);
    AVFrame *in = sound_in.get();
    if (in->nb_samples < room) {
        av_frame_unref(in);
        in->nb_samples = room;
        in->format = sound->sample_fmt;
        av_channel_layout_copy(&in->ch_layout, &sound->ch_layout);
        if (av_frame_get_buffer(in, 0) < 0)
            return encode_fail("out of memory");
    }
    const int n = swr_convert(to_sound.get(), in->extended_data, room,
                              const_cast<const uint8_t **>(f->extended_data), f->nb_samples);
    if (n < 0)
        return encode_fail("cannot convert the sound: " + av_error_text(n));
    const int64_t at = sound_pos;
    sound_pos += n;
    return keep_sound(in->extended_data, at, n);
}

bool encode_sound_until(long long c, bool &ended) {
    while (!ended && decode_mono_end() <= c) {
        const AVFrame *f = decode_next();
        if (!f) {
            if (!decode_failed().empty())
                return false;
            ended = true;
        } else if (!encode_sound(f)) {
            return false;
        }
    }
    return true;
}

bool sound_track_finish() {
    return !sound || (encode_sound_fifo(true) &&
                      encode_send(sound.get(), sound_stream, nullptr, sound_packet.get()));
}

void sound_track_close() {
    sound.reset();
    to_sound.reset();
    sound_fifo.reset();
    sound_from.clear();
}
