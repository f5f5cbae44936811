// SPDX-License-Identifier: GPL-3.0-or-later
#include "image_file.h"

#include "av_owners.h"
#include "input_file.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

extern "C" {
#include <libavformat/avformat.h>
#include <libswscale/swscale.h>
}

namespace {

constexpr int largest_side = 8192;
constexpr long long largest_area = 40'000'000;

struct free_sws {
    void operator()(SwsContext *s) const { sws_freeContext(s); }
};

bool decode(const AVCodecParameters *par, const AVPacket *pkt, image &out, std::string &error) {
    const AVCodec *codec = avcodec_find_decoder(par->codec_id);
    codec_ptr c(codec ? avcodec_alloc_context3(codec) : nullptr);
    frame_ptr f(av_frame_alloc());
    if (!c || !f || avcodec_parameters_to_context(c.get(), par) < 0) {
        error = "not an image lumora-render reads (PNG, JPEG, WebP or BMP)";
        return false;
    }
    c->max_pixels = largest_area; // the decoder refuses a larger picture before allocating it
    int err = avcodec_open2(c.get(), codec, nullptr);
    if (err >= 0)
        err = avcodec_send_packet(c.get(), pkt);
    if (err >= 0)
        err = avcodec_send_packet(c.get(), nullptr);
    if (err >= 0)
        err = avcodec_receive_frame(c.get(), f.get());
    if (err < 0 || f->width < 1 || f->height < 1) {
        // the decoder refuses the size it reads from the header before it allocates anything
        error = err == AVERROR(EINVAL)
                    ? "larger than 40 million pixels (or its header is damaged)"
                    : "damaged: " + av_error_text(err < 0 ? err : AVERROR_INVALIDDATA);
        return false;
    }
    if (f->width > largest_side || f->height > largest_side) {
        error = "larger than 8192 pixels a side";
        return false;
    }
    std::unique_ptr<SwsContext, free_sws> to_bgra(
        sws_getContext(f->width, f->height, static_cast<AVPixelFormat>(f->format), f->width,
                       f->height, AV_PIX_FMT_BGRA, SWS_BICUBIC, nullptr, nullptr, nullptr));
    if (!to_bgra) {
        error = "its colours cannot be read";
        return false;
    }
    out.w = f->width;
    out.h = f->height;
    out.bgra.assign(static_cast<size_t>(out.w) * out.h * 4, 0);
    uint8_t *planes[1] = {out.bgra.data()};
    const int strides[1] = {out.w * 4};
    sws_scale(to_bgra.get(), f->data, f->linesize, 0, f->height, planes, strides);
    for (size_t k = 3; k < out.bgra.size(); k += 4) // opaque: the picture goes over it
        out.bgra[k] = 255;
    return true;
}

} // namespace

bool image_from_packet(const AVCodecParameters *par, const AVPacket *pkt, image &out,
                       std::string &error) {
    return decode(par, pkt, out, error);
}

// The kind of image a file's first bytes say it is, as FFmpeg's demuxer for it is named.
const char *image_kind(const std::string &path) {
    unsigned char head[12] = {};
    FILE *f = std::fopen(path.c_str(), "rb");
    const size_t n = f ? std::fread(head, 1, sizeof head, f) : 0;
    if (f)
        std::fclose(f);
    if (n >= 8 && !std::memcmp(head, "\x89PNG\r\n\x1a\n", 8))
        return "png_pipe";
    if (n >= 3 && head[0] == 0xFF && head[1] == 0xD8 && head[2] == 0xFF)
        return "jpeg_pipe";
    if (n >= 12 && !std::memcmp(head, "RIFF", 4) && !std::memcmp(head + 8, "WEBP", 4))
        return "webp_pipe";
    if (n >= 2 && head[0] == 'B' && head[1] == 'M')
        return "bmp_pipe";
    return nullptr;
}

bool image_from_file(const std::string &path, image &out, std::string &error) {
    const char *kind = image_kind(path);
    if (!kind) {
        FILE *there = std::fopen(path.c_str(), "rb");
        error = path + ": " +
                (there ? "not an image lumora-render reads (PNG, JPEG, WebP or BMP)"
                       : std::string(std::strerror(errno)));
        if (there)
            std::fclose(there);
        return false;
    }
    std::string why;
    const auto in = input_file_open_local(
        path, nullptr, kind, "not an image lumora-render reads (PNG, JPEG, WebP or BMP)", why);
    if (!in) {
        error = path + ": " + why;
        return false;
    }
    AVFormatContext *f = in.get();
    int err = 0;
    packet_ptr pkt(av_packet_alloc());
    if (f->nb_streams < 1 || !pkt || (err = av_read_frame(f, pkt.get())) < 0) {
        error = path + ": damaged: " + av_error_text(err < 0 ? err : AVERROR_INVALIDDATA);
        return false;
    }
    if (!decode(f->streams[0]->codecpar, pkt.get(), out, error)) {
        error = path + ": " + error;
        return false;
    }
    return true;
}

void image_place(const image &src, box where, bool fill, unsigned char *canvas, int w, int h) {
    if (src.w < 1 || where.w < 1 || where.h < 1)
        return;
    // the scale that fills the box (cut to it) or fits in it
    const double sx = static_cast<double>(where.w) / src.w,
                 sy = static_cast<double>(where.h) / src.h;
    const double s = fill ? std::max(sx, sy) : std::min(sx, sy);
    const int dw = std::max(1, static_cast<int>(src.w * s + 0.5)),
              dh = std::max(1, static_cast<int>(src.h * s + 0.5));
    std::unique_ptr<SwsContext, free_sws> scale(sws_getContext(src.w, src.h, AV_PIX_FMT_BGRA, dw,
                                                               dh, AV_PIX_FMT_BGRA, SWS_BICUBIC,
                                                               nullptr, nullptr, nullptr));
    if (!scale)
        return;
    std::vector<unsigned char> scaled(static_cast<size_t>(dw) * dh * 4);
    const uint8_t *in[1] = {src.bgra.data()};
    const int in_stride[1] = {src.w * 4};
    uint8_t *out[1] = {scaled.data()};
    const int out_stride[1] = {dw * 4};
    sws_scale(scale.get(), in, in_stride, 0, src.h, out, out_stride);
    // centred in the box, and only what lies in the box and on the canvas
    const int x0 = where.x + (where.w - dw) / 2, y0 = where.y + (where.h - dh) / 2;
    for (int y = std::max({0, y0, where.y}); y < std::min({h, y0 + dh, where.y + where.h}); ++y) {
        const int xa = std::max({0, x0, where.x}), xb = std::min({w, x0 + dw, where.x + where.w});
        if (xa >= xb)
            continue;
        std::memcpy(canvas + (static_cast<size_t>(h - 1 - y) * w + xa) * 4,
                    scaled.data() + (static_cast<size_t>(y - y0) * dw + (xa - x0)) * 4,
                    static_cast<size_t>(xb - xa) * 4);
    }
}
