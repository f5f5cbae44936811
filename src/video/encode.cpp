// SPDX-License-Identifier: GPL-3.0-or-later
// The container of a video, and what its two tracks share: the first failure from either thread,
// and the hand-over of encoded packets to the container under one lock.
#include "encode.h"
#include "encode_parts.h"

#include "av_owners.h"

#include <cmath>
#include <memory>
#include <mutex>

extern "C" {
#include <libavformat/avformat.h>
}

namespace {

struct free_output {
    void operator()(AVFormatContext *f) const {
        if (f->pb)
            avio_closep(&f->pb);
        avformat_free_context(f);
    }
};
render_options opts;

std::unique_ptr<AVFormatContext, free_output> output;
std::mutex muxing; // the container takes packets from both threads

std::mutex failing;
std::string failure; // the first failure, from either thread

// Sends what an encoder has ready to the container.
bool drain(AVCodecContext *c, AVStream *st, AVPacket *pkt) {
    while (true) {
        int err = avcodec_receive_packet(c, pkt);
        if (err == AVERROR(EAGAIN) || err == AVERROR_EOF)
            return true;
        if (err < 0)
            return encode_fail("encoding failed: " + av_error_text(err));
        av_packet_rescale_ts(pkt, c->time_base, st->time_base);
        pkt->stream_index = st->index;
        {
            std::lock_guard lock(muxing);
            err = av_interleaved_write_frame(output.get(), pkt);
        }
        if (err < 0)
            return encode_fail("writing " + opts.output + " failed: " + av_error_text(err));
    }
}

} // namespace

const render_options &encode_options() { return opts; }
AVFormatContext *encode_container() { return output.get(); }

bool encode_fail(const std::string &text) {
    std::lock_guard lock(failing);
    if (failure.empty())
        failure = text;
    return false;
}

bool encode_has_failed() {
    std::lock_guard lock(failing);
    return !failure.empty();
}

bool encode_send(AVCodecContext *c, AVStream *st, const AVFrame *f, AVPacket *pkt) {
    const int err = avcodec_send_frame(c, f);
    if (err < 0 && err != AVERROR_EOF)
        return encode_fail("encoding failed: " + av_error_text(err));
    return drain(c, st, pkt);
}

const std::string &encode_failed() { return failure; }

bool encode_prepare(const render_options &o, std::string &error) {
    opts = o;
    return output_file_prepare(o, error);
}

bool encode_open(const render_options &o, const AVCodecContext *from, long long first,
                 std::string &error) {
    const char *container = o.kind == render_kind::mp4    ? "mp4"
                            : o.kind == render_kind::webm ? "webm"
                            : o.kind == render_kind::gif  ? "gif"
                                                          : "matroska";
    AVFormatContext *f = nullptr;
    int err = avformat_alloc_output_context2(&f, nullptr, container, output_file_temp());
    if (err < 0) {
        error = std::string("FFmpeg cannot write ") + container + ": " + av_error_text(err);
        return false;
    }
    output.reset(f);
    const AVCodec *pictures =
        o.lossless                    ? avcodec_find_encoder(AV_CODEC_ID_FFV1)
        : o.kind == render_kind::webm ? avcodec_find_encoder_by_name("libvpx-vp9")
        : o.kind == render_kind::gif  ? avcodec_find_encoder(AV_CODEC_ID_GIF)
                                      : avcodec_find_encoder_by_name("libx264");
    if (!pictures && !o.lossless && o.kind != render_kind::webm && o.kind != render_kind::gif)
        pictures = avcodec_find_encoder(AV_CODEC_ID_H264);
    const AVCodec *sounds = o.kind == render_kind::mp4    ? avcodec_find_encoder(AV_CODEC_ID_AAC)
                            : o.kind == render_kind::webm ? avcodec_find_encoder_by_name("libopus")
                                                          : avcodec_find_encoder(AV_CODEC_ID_FLAC);
    if (o.kind == render_kind::gif || o.no_sound) // pictures alone
        sounds = nullptr;
    if (!pictures || (!sounds && o.kind != render_kind::gif && !o.no_sound)) {
        error = std::string("FFmpeg here has no ") +
                (!pictures ? (o.lossless                    ? "FFV1"
                              : o.kind == render_kind::webm ? "VP9"
                              : o.kind == render_kind::gif  ? "GIF"
                                                            : "H.264")
                           : (o.kind == render_kind::mp4 ? "AAC" : "Opus")) +
                " encoder";
        return false;
    }
    if (!video_track_open(pictures) || (sounds && !sound_track_open(sounds, from, first))) {
        error = failure;
        return false;
    }
    if ((err = avio_open(&output->pb, output_file_temp(), AVIO_FLAG_WRITE)) < 0) {
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
    return video_track_start();
}

bool encode_finish(std::string &error) {
    if (output) {
        bool ok = video_track_finish() && sound_track_finish();
        int err = 0;
        if (ok && (err = av_write_trailer(output.get())) < 0)
            ok = encode_fail("cannot finish " + opts.output + ": " + av_error_text(err));
        if (ok && (err = avio_closep(&output->pb)) < 0)
            ok = encode_fail("writing " + opts.output + " failed: " + av_error_text(err));
        if (!ok) {
            error = failure;
            encode_abandon();
            return false;
        }
    }
    if (!output_file_commit(error)) {
        encode_abandon();
        return false;
    }
    encode_abandon(); // frees the rest; the file has its name
    return true;
}

void encode_abandon() {
    video_track_close(); // first: its thread sends packets to the container
    output.reset();
    sound_track_close();
    output_file_discard();
}
