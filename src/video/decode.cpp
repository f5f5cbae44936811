// SPDX-License-Identifier: GPL-3.0-or-later
#include "decode.h"

#include "av_owners.h"
#include "input_file.h"
#include "own_stderr.h"
#include "picture/ft.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
}

namespace {

input_file input;
frame_ptr frame;
packet_ptr packet;
swr_ptr to_mono;
std::string path_of, failure;
int damaged;
long long not_numbers; // samples that were NaN or infinite, made 0
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
        std::fprintf(own_stderr(), "%s: %s: damaged sound at %s skipped (%s); going on\n",
                     own_program(), path_of.c_str(), at_time().c_str(), av_error_text(err).c_str());
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

static bool decode_start(std::string &error) {
    frame.reset(av_frame_alloc());
    packet.reset(av_packet_alloc());
    if (!frame || !packet) {
        error = "out of memory";
        return false;
    }
    input_done = decoder_done = false;
    failure.clear();
    return true;
}

bool decode_open(const char *path, std::string &error) {
    path_of = std::strcmp(path, "-") == 0 ? "standard input" : path;
    return input_file_open(path, input, error) && decode_start(error);
}

bool decode_open_address(const std::string &address, const std::string &named,
                         const char *protocols, const char *device, AVIOInterruptCB *interrupt,
                         std::string &error) {
    path_of = named;
    return input_file_open_address(address, named, protocols, device, interrupt, input, error) &&
           decode_start(error);
}

const AVIOContext *decode_bytes() { return input.bytes.get(); }

void decode_close() {
    to_mono.reset();
    packet.reset();
    frame.reset();
    input.close();
    mono_from.clear();
}

const AVCodecContext *decode_codec() { return input.codec.get(); }
const AVFormatContext *decode_container() { return input.format.get(); }
int decode_stream() { return input.stream; }

std::string decode_tag(const char *key) {
    const AVFormatContext *f = input.format.get();
    const AVDictionaryEntry *e = f ? av_dict_get(f->metadata, key, nullptr, 0) : nullptr;
    if (!e && f && input.stream >= 0)
        e = av_dict_get(f->streams[input.stream]->metadata, key, nullptr, 0);
    return e ? e->value : "";
}

double decode_length() {
    if (!input.format)
        return 0;
    const AVStream *st = input.format->streams[input.stream];
    if (st->duration > 0) // the sound's own, where the container holds more than sound
        return st->duration * av_q2d(st->time_base);
    if (input.format->duration > 0)
        return input.format->duration / static_cast<double>(AV_TIME_BASE);
    return 0;
}

bool decode_measure(const char *path, double &seconds, std::string &error) {
    input_file in;
    frame_ptr f(av_frame_alloc());
    packet_ptr p(av_packet_alloc());
    if (!input_file_open(path, in, error))
        return false;
    if (!f || !p) {
        error = "out of memory";
        return false;
    }
    // every frame the decoder makes, at its own rate; damaged packets are skipped as when drawing
    seconds = 0;
    bool reading = true;
    while (true) {
        const int err = avcodec_receive_frame(in.codec.get(), f.get());
        if (err == 0) {
            if (f->sample_rate > 0)
                seconds += f->nb_samples / static_cast<double>(f->sample_rate);
            continue;
        }
        if (err == AVERROR_EOF)
            return true;
        if (!reading) {
            avcodec_send_packet(in.codec.get(), nullptr);
            continue;
        }
        const int read = av_read_frame(in.format.get(), p.get());
        if (read == AVERROR_EOF) {
            reading = false;
        } else if (read < 0 && read != AVERROR_INVALIDDATA) {
            error = (std::strcmp(path, "-") == 0 ? "standard input" : std::string(path)) +
                    ": reading failed: " + av_error_text(read);
            return false;
        } else if (read == 0) {
            if (p->stream_index == in.stream)
                avcodec_send_packet(in.codec.get(), p.get());
            av_packet_unref(p.get());
        }
    }
}

// Samples that are not numbers (NaN, infinities) in a float file: silence, so that no encoder
// meets them (AAC's refuses the frame, and the render with it). The picture takes them as 0 too.
bool make_numbers(AVFrame *f) {
    const AVSampleFormat fmt = static_cast<AVSampleFormat>(f->format);
    const AVSampleFormat packed = av_get_packed_sample_fmt(fmt);
    if (packed != AV_SAMPLE_FMT_FLT && packed != AV_SAMPLE_FMT_DBL)
        return true;
    const bool planar = av_sample_fmt_is_planar(fmt);
    const int planes = planar ? f->ch_layout.nb_channels : 1;
    const long per_plane =
        static_cast<long>(f->nb_samples) * (planar ? 1 : f->ch_layout.nb_channels);
    bool writable = false;
    auto fix = [&](auto *samples, int plane) {
        for (long k = 0; k < per_plane; ++k) {
            if (std::isfinite(samples[k]))
                continue;
            if (!writable) { // the decoder's buffer may be shared: copied once, before the first
                if (av_frame_make_writable(f) < 0)
                    return fail("out of memory");
                writable = true;
                samples = reinterpret_cast<decltype(samples)>(f->extended_data[plane]);
            }
            samples[k] = 0;
            ++not_numbers;
        }
        return true;
    };
    for (int plane = 0; plane < planes; ++plane) {
        const bool ok = packed == AV_SAMPLE_FMT_FLT
                            ? fix(reinterpret_cast<float *>(f->extended_data[plane]), plane)
                            : fix(reinterpret_cast<double *>(f->extended_data[plane]), plane);
        if (!ok)
            return false;
    }
    return true;
}

const AVFrame *decode_next() {
    while (!decoder_done) {
        int err = avcodec_receive_frame(input.codec.get(), frame.get());
        if (err == 0) {
            if (!make_numbers(frame.get()) || !add_mono(frame.get()))
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
            avcodec_send_packet(input.codec.get(), nullptr); // drain what the decoder holds
            continue;
        }
        err = av_read_frame(input.format.get(), packet.get());
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
        if (packet->stream_index == input.stream) {
            err = avcodec_send_packet(input.codec.get(), packet.get());
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
long long decode_not_numbers() { return not_numbers; }
long long decode_mono_end() { return mono_end; }

double decode_block(long long c, double *block) {
    constexpr int half = ft_size / 2;
    double peak = 0;
    auto at = [](long long n) {
        return n >= 0 && n < mono_end && n >= mono_end - window_size
                   ? window[static_cast<size_t>(n % window_size)]
                   : 0.0;
    };
    for (int k = 0; k < ft_size; ++k) {
        const long long n = c - half + k;
        double v = at(n);
        // A file's level is its own: float sound may peak far past 1 and is drawn as it is. A
        // glitch is a lone sample past the capture's limit, between two within it; where every
        // sample past 16 was taken as 0, a file peaking near 100 kept only its zero crossings.
        if (!(std::fabs(v) <= glitch_limit) &&
            (!std::isfinite(v) ||
             (std::fabs(at(n - 1)) <= glitch_limit && std::fabs(at(n + 1)) <= glitch_limit)))
            v = 0.0;
        block[k] = v;
        if (v > peak)
            peak = v;
    }
    return peak;
}
