// SPDX-License-Identifier: GPL-3.0-or-later
// A stream's encoders: a key frame at most every 4 s of their own (the sender asks for one every
// 2 s of stream time), a capped bitrate, BT.709 colours, and the sound in the track's channels.
#include "stream_output_parts.h"

#include <algorithm>

extern "C" {
#include <libavutil/opt.h>
}

using namespace stream_out;

bool stream_out::stream_encoders_open(std::string &error) {
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
