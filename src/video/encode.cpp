// SPDX-License-Identifier: GPL-3.0-or-later
// The container of a video, and what its two tracks share: the first failure from either thread,
// and the hand-over of encoded packets to the container under one lock.
#include "encode.h"
#include "encode_parts.h"

#include "av_owners.h"
#include "segments.h"

#include <cmath>
#include <memory>
#include <mutex>
#include <sys/stat.h>

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

namespace {

AVStream *copy_stream; // a join's pictures, copied from its segments; null when encoded here

// Opens the container of o's kind; its sound encoder for what the input's decoder gives (none for
// a .gif or with --no-sound); and the pictures: `copied`'s, or an encoder of o's kind.
bool open_tracks(const render_options &o, const AVCodecContext *from, long long first,
                 const AVCodecParameters *copied, std::string &error);

} // namespace

bool encode_open_copy(const render_options &o, const AVCodecContext *sound, long long first,
                      const AVCodecParameters *pictures, std::string &error) {
    return open_tracks(o, sound, first, pictures, error);
}

bool encode_copied(AVPacket *pkt) {
    av_packet_rescale_ts(pkt, AVRational{1, opts.fps}, copy_stream->time_base);
    pkt->stream_index = copy_stream->index;
    std::lock_guard lock(muxing);
    const int err = av_interleaved_write_frame(output.get(), pkt);
    return err >= 0 || encode_fail("writing " + opts.output + " failed: " + av_error_text(err));
}

bool encode_open(const render_options &o, const AVCodecContext *from, long long first,
                 std::string &error) {
    return open_tracks(o, from, first, nullptr, error);
}

namespace {

bool open_tracks(const render_options &o, const AVCodecContext *from, long long first,
                 const AVCodecParameters *copied, std::string &error) {
    copy_stream = nullptr;
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
    if ((!pictures && !copied) || (!sounds && o.kind != render_kind::gif && !o.no_sound)) {
        error = std::string("FFmpeg here has no ") +
                (!pictures && !copied ? (o.lossless                    ? "FFV1"
                                         : o.kind == render_kind::webm ? "VP9"
                                         : o.kind == render_kind::gif  ? "GIF"
                                                                       : "H.264")
                                      : (o.kind == render_kind::mp4 ? "AAC" : "Opus")) +
                " encoder";
        return false;
    }
    if (copied) {
        copy_stream = avformat_new_stream(output.get(), nullptr);
        if (!copy_stream || avcodec_parameters_copy(copy_stream->codecpar, copied) < 0) {
            error = "out of memory";
            return false;
        }
        copy_stream->codecpar->codec_tag = 0; // the container's own for the codec
        copy_stream->time_base = {1, o.fps};
        copy_stream->avg_frame_rate = {o.fps, 1};
    } else if (!video_track_open(pictures)) {
        error = failure;
        return false;
    }
    if (sounds && !sound_track_open(sounds, from, first)) {
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
    if (o.first_frame >= 0) { // a segment says what it is, for the join
        struct stat st;
        const bool file = stat(o.input.c_str(), &st) == 0 && S_ISREG(st.st_mode) && o.input != "-";
        segment_info s = segment_of_sound(o.input, file ? static_cast<long long>(st.st_size) : -1);
        s.first = o.first_frame;
        s.end = o.end_frame;
        s.fps = o.fps;
        s.width = o.width;
        s.height = o.height;
        s.detail = o.detail;
        s.pictures = pictures->name;
        av_dict_set(&output->metadata, render_segment_tag, segment_describe(s).c_str(), 0);
        if (o.kind == render_kind::mp4) // a tag of its own name
            av_dict_set(&options, "movflags", "+faststart+use_metadata_tags", 0);
    }
    err = avformat_write_header(output.get(), &options);
    av_dict_free(&options);
    if (err < 0) {
        error = "cannot start " + o.output + ": " + av_error_text(err);
        return false;
    }
    return copy_stream || video_track_start();
}

} // namespace

bool encode_finish(std::string &error) {
    if (output) {
        bool ok = (copy_stream || video_track_finish()) && sound_track_finish();
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
