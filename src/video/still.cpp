// SPDX-License-Identifier: GPL-3.0-or-later
// A .png: the one picture, encoded as PNG and written into the temporary file.
#include "encode.h"
#include "encode_parts.h"

#include "av_owners.h"

#include <cerrno>
#include <cstring>
#include <unistd.h>

bool encode_png(const unsigned char *bgra, std::string &error) {
    const AVCodec *codec = avcodec_find_encoder(AV_CODEC_ID_PNG);
    codec_ptr c(codec ? avcodec_alloc_context3(codec) : nullptr);
    frame_ptr rgb(av_frame_alloc());
    packet_ptr pkt(av_packet_alloc());
    if (!c || !rgb || !pkt) {
        error = codec ? "out of memory" : "FFmpeg here has no PNG encoder";
        return false;
    }
    const int w = encode_options().width, h = encode_options().height;
    c->width = w;
    c->height = h;
    c->pix_fmt = AV_PIX_FMT_RGB24;
    c->time_base = {1, 1};
    int err = avcodec_open2(c.get(), codec, nullptr);
    rgb->format = AV_PIX_FMT_RGB24;
    rgb->width = w;
    rgb->height = h;
    if (err < 0 || av_frame_get_buffer(rgb.get(), 0) < 0) {
        error = "cannot open the PNG encoder: " + av_error_text(err);
        return false;
    }
    // bottom-up BGRA rows to top-down RGB: the fourth byte is what the window does not have
    for (int y = 0; y < h; ++y) {
        const unsigned char *src = bgra ? bgra + static_cast<size_t>(h - 1 - y) * w * 4 : nullptr;
        unsigned char *dst = rgb->data[0] + static_cast<size_t>(y) * rgb->linesize[0];
        for (int x = 0; x < w; ++x)
            for (int k = 0; k < 3; ++k)
                dst[3 * x + k] = src ? src[4 * x + 2 - k] : 0;
    }
    if ((err = avcodec_send_frame(c.get(), rgb.get())) < 0 ||
        (err = avcodec_receive_packet(c.get(), pkt.get())) < 0) {
        error = "cannot encode the picture: " + av_error_text(err);
        return false;
    }
    for (int done = 0; done < pkt->size;) {
        const ssize_t n =
            write(output_file_fd(), pkt->data + done, static_cast<size_t>(pkt->size - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            error = "writing " + encode_options().output + " failed: " + std::strerror(errno);
            return false;
        }
        done += static_cast<int>(n);
    }
    return true;
}
