// SPDX-License-Identifier: GPL-3.0-or-later
// A .gif's pictures: through FFmpeg's palette filters, which choose the 256 colours the whole
// animation shares from all of its frames (palettegen) and then give every frame those colours
// (paletteuse), so that a wave keeps its colour from frame to frame; then the GIF encoder. The
// palette is known only once the last frame is in, so the frames wait in the filters until then:
// the length and size of a .gif are capped (render_options.h) to keep that small.
// The encoder thread only, as video_track.cpp's pictures.
#include "encode_parts.h"

#include "av_owners.h"

#include <cstring>

extern "C" {
#include <libavfilter/avfilter.h>
#include <libavfilter/buffersink.h>
#include <libavfilter/buffersrc.h>
}

namespace {

struct free_graph {
    void operator()(AVFilterGraph *g) const { avfilter_graph_free(&g); }
};
std::unique_ptr<AVFilterGraph, free_graph> graph;
AVFilterContext *source, *sink;
frame_ptr picture, paletted; // the picture going in, with its rows top-down; what comes out

// Encodes what the filters have ready.
bool drain(AVCodecContext *c, AVStream *st, AVPacket *pkt) {
    while (true) {
        const int err = av_buffersink_get_frame(sink, paletted.get());
        if (err == AVERROR(EAGAIN) || err == AVERROR_EOF)
            return true;
        if (err < 0)
            return encode_fail("choosing the GIF's colours failed: " + av_error_text(err));
        const bool ok = encode_send(c, st, paletted.get(), pkt);
        av_frame_unref(paletted.get());
        if (!ok)
            return false;
    }
}

} // namespace

bool gif_track_open(const AVCodecContext *c) {
    graph.reset(avfilter_graph_alloc());
    picture.reset(av_frame_alloc());
    paletted.reset(av_frame_alloc());
    if (!graph || !picture || !paletted)
        return encode_fail("out of memory");
    char args[160];
    std::snprintf(args, sizeof args, "video_size=%dx%d:pix_fmt=%d:time_base=%d/%d:pixel_aspect=1/1",
                  c->width, c->height, AV_PIX_FMT_BGR0, c->time_base.num, c->time_base.den);
    AVFilterInOut *in = avfilter_inout_alloc(), *out = avfilter_inout_alloc();
    int err = avfilter_graph_create_filter(&source, avfilter_get_by_name("buffer"), "in", args,
                                           nullptr, graph.get());
    if (err >= 0)
        err = avfilter_graph_create_filter(&sink, avfilter_get_by_name("buffersink"), "out",
                                           nullptr, nullptr, graph.get());
    if (err >= 0 && in && out) {
        // the graph's open ends: its input is fed by source, its output drains into sink
        out->name = av_strdup("in");
        out->filter_ctx = source;
        in->name = av_strdup("out");
        in->filter_ctx = sink;
        // no dithering: the picture's smooth fades would turn to noise that compresses badly
        err = avfilter_graph_parse_ptr(graph.get(),
                                       "split[a][b];[a]palettegen=stats_mode=full[p];"
                                       "[b][p]paletteuse=dither=none,format=pal8",
                                       &in, &out, nullptr);
    }
    avfilter_inout_free(&in);
    avfilter_inout_free(&out);
    if (err >= 0)
        err = avfilter_graph_config(graph.get(), nullptr);
    if (err < 0)
        return encode_fail("FFmpeg here cannot choose a GIF's colours: " + av_error_text(err));
    picture->format = AV_PIX_FMT_BGR0;
    picture->width = c->width;
    picture->height = c->height;
    return av_frame_get_buffer(picture.get(), 0) >= 0 || encode_fail("out of memory");
}

bool gif_track_send(const unsigned char *bgra, int64_t pts, AVCodecContext *c, AVStream *st,
                    AVPacket *pkt) {
    if (bgra) { // a new picture; null: the one before again
        if (av_frame_make_writable(picture.get()) < 0)
            return encode_fail("out of memory");
        // the painters' rows go bottom-up
        const size_t row = static_cast<size_t>(c->width) * 4;
        for (int y = 0; y < c->height; ++y)
            std::memcpy(picture->data[0] + static_cast<size_t>(y) * picture->linesize[0],
                        bgra + static_cast<size_t>(c->height - 1 - y) * row, row);
    }
    picture->pts = pts;
    const int err = av_buffersrc_add_frame_flags(source, picture.get(), AV_BUFFERSRC_FLAG_KEEP_REF);
    if (err < 0)
        return encode_fail("choosing the GIF's colours failed: " + av_error_text(err));
    return drain(c, st, pkt);
}

bool gif_track_finish(AVCodecContext *c, AVStream *st, AVPacket *pkt) {
    const int err = av_buffersrc_add_frame(source, nullptr); // the end: the palette is chosen
    if (err < 0)
        return encode_fail("choosing the GIF's colours failed: " + av_error_text(err));
    return drain(c, st, pkt) && encode_send(c, st, nullptr, pkt);
}

void gif_track_close() {
    graph.reset();
    source = sink = nullptr;
    picture.reset();
    paletted.reset();
}
