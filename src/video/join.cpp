// SPDX-License-Identifier: GPL-3.0-or-later
// The pictures go through FFmpeg's concat demuxer untouched; the sound is decoded from INPUT and
// encoded once, as a whole render encodes it, since a sound encoder started afresh at each join
// (AAC's priming samples, a last frame padded out) leaves a click or a gap there. Every segment
// is opened and checked before anything is written: lumora-render's, of this sound, drawn and
// encoded alike, each starting where the one before ends; while the pictures are copied, each
// segment's count of frames. A failure is one line naming the segment, and leaves nothing.
#include "join.h"

#include "av_owners.h"
#include "decode.h"
#include "encode.h"
#include "input_file.h"
#include "own_stderr.h"
#include "picture/frame_time.h"
#include "segments.h"

#include <cerrno>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <sys/stat.h>

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/mem.h>
}

namespace {

struct free_parameters {
    void operator()(AVCodecParameters *p) const { avcodec_parameters_free(&p); }
};

int fail(const std::string &line) {
    std::fprintf(own_stderr(), "lumora-render: %s\n", line.c_str());
    encode_abandon();
    decode_close();
    return 1;
}

// The concat demuxer's list, read from memory.
struct list_text {
    std::string text;
    std::size_t at = 0;
};
int read_list(void *opaque, uint8_t *buf, int size) {
    list_text &l = *static_cast<list_text *>(opaque);
    const std::size_t n = std::min(static_cast<std::size_t>(size), l.text.size() - l.at);
    if (n == 0)
        return AVERROR_EOF;
    std::memcpy(buf, l.text.data() + l.at, n);
    l.at += n;
    return static_cast<int>(n);
}

// A segment is a local file, never an FFmpeg address ("http:x.mkv" and "01:a.mkv" are files),
// in one of the containers lumora-render writes its segments in; nothing it names is opened.
constexpr const char *segment_formats = "mov,mp4,m4a,3gp,3g2,mj2,matroska,webm";

// A name in the list: the whole path as a file's address, quoted as the demuxer reads it.
std::string listed(const std::string &path) {
    char whole[PATH_MAX];
    std::string p = realpath(path.c_str(), whole) ? whole : path, out = "'file:";
    for (const char c : p)
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

bool same_pictures(const AVCodecParameters *a, const AVCodecParameters *b) {
    return a->codec_id == b->codec_id && a->width == b->width && a->height == b->height &&
           a->format == b->format && a->extradata_size == b->extradata_size &&
           (a->extradata_size == 0 ||
            !std::memcmp(a->extradata, b->extradata, static_cast<size_t>(a->extradata_size)));
}

} // namespace

int join_segments(render_options o) {
    const auto start = std::chrono::steady_clock::now();
    const std::vector<std::string> &names = o.segments;
    std::vector<segment_info> segs(names.size());
    std::unique_ptr<AVCodecParameters, free_parameters> pictures(avcodec_parameters_alloc());
    const AVOutputFormat *container = av_guess_format(nullptr, o.output.c_str(), nullptr);
    struct stat out, in;
    const bool replacing = stat(o.output.c_str(), &out) == 0;
    std::string line;
    for (std::size_t k = 0; k < names.size(); ++k) {
        const std::string &name = names[k];
        if (replacing && stat(name.c_str(), &in) == 0 && in.st_dev == out.st_dev &&
            in.st_ino == out.st_ino)
            return fail(o.output + ": OUTPUT is one of the segments; give another name");
        if (name.find('\n') != std::string::npos)
            return fail(name + ": a name with a line break in it: rename the file to join it");
        std::string why;
        const auto seg =
            input_file_open_local(name, segment_formats, nullptr, "not a .mp4, .mkv or .webm", why);
        if (!seg)
            return fail(name + ": cannot read it: " + why);
        AVFormatContext *f = seg.get();
        const AVDictionaryEntry *tag = av_dict_get(f->metadata, render_segment_tag, nullptr, 0);
        const int v = av_find_best_stream(f, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
        if (!tag || v < 0 || !segment_parse(tag->value, segs[k]))
            return fail(name + ": not a segment of lumora-render (one made with --frames)");
        const AVCodecParameters *p = f->streams[v]->codecpar;
        if (k == 0) {
            if (!pictures || avcodec_parameters_copy(pictures.get(), p) < 0)
                return fail("out of memory");
            if (!container ||
                avformat_query_codec(container, p->codec_id, FF_COMPLIANCE_NORMAL) != 1)
                return fail(name + ": its " + segs[k].pictures + " pictures cannot go into " +
                            o.output + ": give OUTPUT the segments' extension");
        } else if (!same_pictures(p, pictures.get())) {
            return fail(name + ": encoded otherwise than " + names[0]);
        }
        // a segment that stops short, as its container states its length
        const segment_info &s = segs[k];
        // (a Matroska file states when it ends, its frames keeping their time in the whole
        // render, and not how many frames it holds)
        const long long stated = f->streams[v]->nb_frames > 0 ? f->streams[v]->nb_frames
                                 : f->duration > 0
                                     ? av_rescale(f->duration, s.fps, AV_TIME_BASE) - s.first
                                     : -1;
        if (s.end >= 0 && stated >= 0 && stated != s.end - s.first)
            return fail(name + ": holds " + std::to_string(stated) + " frames, and its frames " +
                        std::to_string(s.first) + ":" + std::to_string(s.end) + " are " +
                        std::to_string(s.end - s.first));
    }
    struct stat sound;
    const bool file =
        o.input != "-" && stat(o.input.c_str(), &sound) == 0 && S_ISREG(sound.st_mode);
    if (!segments_follow(
            segs, names,
            segment_of_sound(o.input, file ? static_cast<long long>(sound.st_size) : -1), line))
        return fail(line);

    // the video the segments make: their settings, frames first to the last one's end
    const segment_info &head = segs.front(), &tail = segs.back();
    const long long first = head.first;
    o.fps = head.fps;
    o.width = head.width;
    o.height = head.height;
    o.detail = head.detail;
    o.lossless = head.pictures == "ffv1";
    o.from = static_cast<double>(first) / o.fps;
    if (tail.end >= 0)
        o.to = static_cast<double>(tail.end) / o.fps;
    if (!encode_prepare(o, line) || !decode_open(o.input.c_str(), line) ||
        !encode_open_copy(o, decode_codec(), first, pictures.get(), line))
        return fail(line);

    // each segment's share of the time, in whole microseconds as the list gives it, rounded
    // from the start so that no error adds up
    list_text list{"ffconcat version 1.0\n"};
    std::vector<long long> offsets; // each segment's first frame in the joined video
    for (std::size_t k = 0; k < segs.size(); ++k) {
        offsets.push_back(segs[k].first - first);
        list.text += "file " + listed(names[k]) + "\n";
        if (segs[k].end >= 0) {
            const long long a = av_rescale(segs[k].first - first, AV_TIME_BASE, o.fps),
                            b = av_rescale(segs[k].end - first, AV_TIME_BASE, o.fps);
            list.text += "duration " + std::to_string(b - a) + "us\n";
        }
    }
    AVFormatContext *cat = avformat_alloc_context();
    unsigned char *buffer = static_cast<unsigned char *>(av_malloc(4096));
    AVIOContext *io = cat && buffer
                          ? avio_alloc_context(buffer, 4096, 0, &list, read_list, nullptr, nullptr)
                          : nullptr;
    if (!io) {
        av_free(buffer);
        avformat_free_context(cat);
        return fail("out of memory");
    }
    std::unique_ptr<AVIOContext, void (*)(AVIOContext *)> list_io(io, [](AVIOContext *c) {
        av_freep(&c->buffer);
        avio_context_free(&c);
    });
    cat->pb = io;
    cat->flags |= AVFMT_FLAG_CUSTOM_IO;
    AVDictionary *options = nullptr; // the list and what it names: local files of those formats
    av_dict_set(&options, "protocol_whitelist", "file", 0);
    av_dict_set(&options, "format_whitelist", (std::string("concat,") + segment_formats).c_str(),
                0);
    av_dict_set(&options, "safe", "0", 0);         // the list names whole paths
    av_dict_set(&options, "auto_convert", "0", 0); // the packets go back into their own container
    int err = avformat_open_input(&cat, "", av_find_input_format("concat"), &options);
    av_dict_free(&options);
    if (err < 0)
        return fail(names[0] + ": cannot read it: " + av_error_text(err));
    std::unique_ptr<AVFormatContext, input_file::close_format> joined(cat);
    const int v = av_find_best_stream(cat, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    if (v < 0)
        return fail(names[0] + ": not a segment of lumora-render (one made with --frames)");
    const AVRational tb = cat->streams[v]->time_base, frame = {1, o.fps};

    packet_ptr pkt(av_packet_alloc());
    std::vector<long long> counts(segs.size());
    bool ended = false;
    // the sound up to sample c, handed on to the sound track
    auto decode_to = [&](long long c) { return encode_sound_until(c, ended); };
    std::size_t at = 0; // the segment of the last frame read
    while (pkt) {
        if ((err = av_read_frame(cat, pkt.get())) < 0) {
            if (err == AVERROR_EOF)
                break;
            return fail(names[at] + ": cannot read it: " + av_error_text(err));
        }
        if (pkt->stream_index != v) {
            av_packet_unref(pkt.get());
            continue;
        }
        const long long n = av_rescale_q_rnd(pkt->pts, tb, frame, AV_ROUND_NEAR_INF);
        const long long d = pkt->dts == AV_NOPTS_VALUE
                                ? n
                                : av_rescale_q_rnd(pkt->dts, tb, frame, AV_ROUND_NEAR_INF);
        while (at + 1 < segs.size() && n >= offsets[at + 1])
            ++at;
        while (at > 0 && n < offsets[at])
            --at;
        ++counts[at];
        if (!decode_to(frame_centre_sample(first + d + 1, o.fps)))
            return fail(decode_failed().empty() ? encode_failed() : decode_failed());
        pkt->pts = n;
        pkt->dts = d;
        pkt->duration = 1;
        if (!encode_copied(pkt.get()))
            return fail(encode_failed());
    }
    long long frames = 0;
    for (const long long c : counts)
        frames += c;
    // the rest of the sound: to the end of the last frame's time, or all of it where the last
    // segment runs to its end
    if (!decode_to(tail.end >= 0 ? frame_centre_sample(first + frames, o.fps) : LLONG_MAX - 1))
        return fail(decode_failed().empty() ? encode_failed() : decode_failed());
    for (std::size_t k = 0; k < segs.size(); ++k) {
        long long want = segs[k].end >= 0 ? segs[k].end - segs[k].first : LLONG_MAX;
        if (k + 1 == segs.size() && ended) // the sound may end before the last segment's end
            want = std::min(want, frames_of_sound(decode_mono_end(), o.fps) - segs[k].first);
        if (counts[k] != want)
            return fail(names[k] + ": holds " + std::to_string(counts[k]) + " frames, and " +
                        (segs[k].end >= 0 ? "its frames " + std::to_string(segs[k].first) + ":" +
                                                std::to_string(segs[k].end) + " are "
                                          : "the sound has from its frame " +
                                                std::to_string(segs[k].first) + " on ") +
                        std::to_string(want));
    }
    if (!encode_finish(line))
        return fail(line);
    decode_close();
    const double took =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::fprintf(
        own_stderr(), "lumora-render: wrote %s: %lld frames, %s of sound, from %zu %s, in %.1f s\n",
        o.output.c_str(), frames, render_format_time(frames / static_cast<double>(o.fps)).c_str(),
        segs.size(), segs.size() == 1 ? "segment" : "segments", took);
    return 0;
}
