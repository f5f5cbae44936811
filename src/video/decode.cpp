// SPDX-License-Identifier: GPL-3.0-or-later
#include "decode.h"

#include "av_owners.h"
#include "picture/ft.h"

#include <cmath>
#include <cstdio>
#include <memory>
#include <sys/stat.h>
#include <vector>

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
}

namespace {

struct close_input {
    void operator()(AVFormatContext *f) const { avformat_close_input(&f); }
};

std::unique_ptr<AVFormatContext, close_input> input;
codec_ptr codec;
frame_ptr frame;
packet_ptr packet;
swr_ptr to_mono;
int stream_index = -1;
std::string path_of, failure;
int damaged;
bool input_done, decoder_done;

frame_format mono_from; // what to_mono was set up for

// The window of mono samples: sample n lives at n % window_size. 2^20 samples are 23.8 s, far
// more than a frame of any format brings at once.
constexpr long long window_size = 1 << 20;

// A sample further from zero than this is a glitch and is taken as 0, like NaN and infinity: the
// rule the capture keeps for the live input, so that a file and the same sound captured draw
// alike.
constexpr double glitch_limit = 16.0;
std::vector<double> window(window_size);
long long mono_end;
constexpr int chunk = 1 << 16; // mono samples converted at a time
double converted[chunk];

std::string at_time() {
    char buf[32];
    const long s = static_cast<long>(mono_end / 44100);
    std::snprintf(buf, sizeof buf, "%ld:%02ld", s / 60, s % 60);
    return buf;
}

void note_damage(int err) {
    if (damaged++ == 0)
        std::fprintf(stderr, "lumora-render: %s: damaged sound at %s skipped (%s); going on\n",
                     path_of.c_str(), at_time().c_str(), av_error_text(err).c_str());
}

bool fail(std::string text) {
    failure = std::move(text);
    return false;
}

// Sets up (again) the mix to one channel of doubles at 44100 Hz: the mean of the channels.
bool mono_for(const AVFrame *f) {
    if (to_mono && mono_from.same_as(f))
        return true;
    // what the old set-up still holds belongs to the old format: it is let go
    SwrContext *s = nullptr;
    AVChannelLayout mono = AV_CHANNEL_LAYOUT_MONO, in{};
    av_channel_layout_copy(&in, &f->ch_layout); // FFmpeg 5.1 takes it as not const
    const int err =
        swr_alloc_set_opts2(&s, &mono, AV_SAMPLE_FMT_DBL, 44100, &in,
                            static_cast<AVSampleFormat>(f->format), f->sample_rate, 0, nullptr);
    av_channel_layout_uninit(&in);
    if (err < 0)
        return fail("cannot mix the sound's channels");
    to_mono.reset(s);
    const int channels = f->ch_layout.nb_channels;
    std::vector<double> mean(static_cast<size_t>(channels), 1.0 / channels);
    if (swr_set_matrix(s, mean.data(), channels) < 0 || swr_init(s) < 0)
        return fail("cannot mix the sound's " + std::to_string(channels) + " channels");
    mono_from.take(f);
    return true;
}

void append(int n) {
    for (int k = 0; k < n; ++k)
        window[static_cast<size_t>((mono_end + k) % window_size)] = converted[k];
    mono_end += n;
}

bool add_mono(const AVFrame *f) {
    if (!mono_for(f))
        return false;
    const uint8_t **in = const_cast<const uint8_t **>(f->extended_data);
    int count = f->nb_samples;
    while (true) {
        uint8_t *out = reinterpret_cast<uint8_t *>(converted);
        const int n = swr_convert(to_mono.get(), &out, chunk, in, count);
        if (n < 0)
            return fail("cannot mix the sound to one channel: " + av_error_text(n));
        append(n);
        if (n < chunk)
            return true;
        in = nullptr; // what did not fit is held by the resampler: take it next
        count = 0;
    }
}

} // namespace

bool decode_open(const char *path, std::string &error) {
    path_of = path;
    struct stat st;
    if (stat(path, &st) == 0 && S_ISDIR(st.st_mode)) {
        error = path_of + ": a folder, not a sound file";
        return false;
    }
    AVFormatContext *f = nullptr;
    int err = avformat_open_input(&f, path, nullptr, nullptr);
    if (err < 0) {
        error = path_of + ": " +
                (err == AVERROR_INVALIDDATA ? "not a sound or video file FFmpeg can read"
                                            : av_error_text(err));
        return false;
    }
    input.reset(f);
    if ((err = avformat_find_stream_info(f, nullptr)) < 0) {
        error = path_of + ": cannot read its streams: " + av_error_text(err);
        return false;
    }
    const AVCodec *decoder = nullptr;
    stream_index = av_find_best_stream(f, AVMEDIA_TYPE_AUDIO, -1, -1, &decoder, 0);
    if (stream_index == AVERROR_DECODER_NOT_FOUND) {
        error = path_of + ": FFmpeg has no decoder for its sound";
        return false;
    }
    if (stream_index < 0) {
        error = path_of + ": has no sound";
        return false;
    }
    codec.reset(avcodec_alloc_context3(decoder));
    frame.reset(av_frame_alloc());
    packet.reset(av_packet_alloc());
    if (!codec || !frame || !packet) {
        error = "out of memory";
        return false;
    }
    avcodec_parameters_to_context(codec.get(), f->streams[stream_index]->codecpar);
    if ((err = avcodec_open2(codec.get(), decoder, nullptr)) < 0) {
        error = path_of + ": cannot decode its sound: " + av_error_text(err);
        return false;
    }
    // every other stream is left unread by the demuxer
    for (unsigned k = 0; k < f->nb_streams; ++k)
        if (static_cast<int>(k) != stream_index)
            f->streams[k]->discard = AVDISCARD_ALL;
    return true;
}

void decode_close() {
    to_mono.reset();
    packet.reset();
    frame.reset();
    codec.reset();
    input.reset();
    mono_from.clear();
}

const AVCodecContext *decode_codec() { return codec.get(); }

double decode_length() {
    if (input && input->duration > 0)
        return input->duration / static_cast<double>(AV_TIME_BASE);
    return 0;
}

const AVFrame *decode_next() {
    while (!decoder_done) {
        int err = avcodec_receive_frame(codec.get(), frame.get());
        if (err == 0) {
            if (!add_mono(frame.get()))
                return nullptr;
            return frame.get();
        }
        if (err == AVERROR_EOF) {
            decoder_done = true;
            break;
        }
        if (err != AVERROR(EAGAIN))
            note_damage(err); // a frame the decoder could not make: it goes on with the next packet
        if (input_done) {
            avcodec_send_packet(codec.get(), nullptr); // drain what the decoder holds
            continue;
        }
        err = av_read_frame(input.get(), packet.get());
        if (err == AVERROR_EOF) {
            input_done = true;
            continue;
        }
        if (err == AVERROR_INVALIDDATA) {
            note_damage(err); // the demuxer resynchronises on the next packet
            continue;
        }
        if (err < 0) {
            fail(path_of + ": reading failed at " + at_time() + ": " + av_error_text(err));
            return nullptr;
        }
        if (packet->stream_index == stream_index) {
            err = avcodec_send_packet(codec.get(), packet.get());
            if (err < 0 && err != AVERROR(EAGAIN))
                note_damage(err);
        }
        av_packet_unref(packet.get());
    }
    // the resampler may still hold the last few samples
    if (to_mono) {
        uint8_t *out = reinterpret_cast<uint8_t *>(converted);
        int n;
        while ((n = swr_convert(to_mono.get(), &out, chunk, nullptr, 0)) > 0)
            append(n);
    }
    return nullptr;
}

const std::string &decode_failed() { return failure; }
int decode_damaged() { return damaged; }
long long decode_mono_end() { return mono_end; }

double decode_block(long long c, double *block) {
    constexpr int half = ft_size / 2;
    double peak = 0;
    for (int k = 0; k < ft_size; ++k) {
        const long long n = c - half + k;
        double v = n >= 0 && n < mono_end && n >= mono_end - window_size
                       ? window[static_cast<size_t>(n % window_size)]
                       : 0.0;
        v = std::fabs(v) <= glitch_limit ? v : 0.0;
        block[k] = v;
        if (v > peak)
            peak = v;
    }
    return peak;
}
