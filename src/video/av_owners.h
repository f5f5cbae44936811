// SPDX-License-Identifier: GPL-3.0-or-later
// One owner for each FFmpeg object lumora-render opens: a unique_ptr with the library's own free
// function, so that every way out of a function releases what it opened. And FFmpeg's text for
// an error code, for the one line that reports it. And the format a resampler was set up for.
#pragma once

#include <memory>
#include <string>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libswresample/swresample.h>
}

struct av_free_codec {
    void operator()(AVCodecContext *c) const { avcodec_free_context(&c); }
};
struct av_free_frame {
    void operator()(AVFrame *f) const { av_frame_free(&f); }
};
struct av_free_packet {
    void operator()(AVPacket *p) const { av_packet_free(&p); }
};
struct av_free_swr {
    void operator()(SwrContext *s) const { swr_free(&s); }
};
using codec_ptr = std::unique_ptr<AVCodecContext, av_free_codec>;
using frame_ptr = std::unique_ptr<AVFrame, av_free_frame>;
using packet_ptr = std::unique_ptr<AVPacket, av_free_packet>;
using swr_ptr = std::unique_ptr<SwrContext, av_free_swr>;

// The channel layout, rate and sample format of the frames a resampler was set up for: a stream
// may change them midway, and the resampler is then set up again.
struct frame_format {
    AVChannelLayout layout{};
    int rate = 0, format = -1;
    bool same_as(const AVFrame *f) const {
        return f->format == format && f->sample_rate == rate &&
               !av_channel_layout_compare(&f->ch_layout, &layout);
    }
    void take(const AVFrame *f) {
        av_channel_layout_uninit(&layout);
        av_channel_layout_copy(&layout, &f->ch_layout);
        rate = f->sample_rate;
        format = f->format;
    }
    void clear() {
        av_channel_layout_uninit(&layout);
        format = -1;
    }
};

inline std::string av_error_text(int err) {
    char buf[AV_ERROR_MAX_STRING_SIZE];
    av_strerror(err, buf, sizeof buf);
    return buf;
}
