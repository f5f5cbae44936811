// SPDX-License-Identifier: GPL-3.0-or-later
// The connection to a stream's destination: its container by the destination's kind, opened
// through that kind's protocols only, each blocking call given a deadline; and each packet's times
// from the connection's start.
#include "stream_output_parts.h"

#include <chrono>

using steady = std::chrono::steady_clock;
using namespace stream_out;

namespace {

// The connection: its container, when it was opened, and where its timestamps start.
struct connection {
    AVFormatContext *mux = nullptr;
    AVStream *v = nullptr, *a = nullptr;
    bool keyed = false;        // a key frame has gone: pictures may follow
    long long video_base = 0;  // the first picture's pts
    long long audio_base = -1; // the first sound's pts
} current;
steady::time_point deadline; // a blocking call past it is abandoned

// A call that blocks is abandoned past its deadline, and at once when the stream is stopped while
// it waits for a connection.
std::atomic<bool> connecting{false};
int interrupted(void *) { return steady::now() > deadline || (abandon && connecting) ? 1 : 0; }
AVIOInterruptCB interrupt{interrupted, nullptr};

const char *format_name() {
    switch (opts.destination_kind) {
    case stream_destination_kind::rtmp:
        return "flv";
    case stream_destination_kind::icecast:
        return "webm";
    case stream_destination_kind::mkv:
        return "matroska";
    case stream_destination_kind::hls:
        return "hls";
    default:
        return "mpegts";
    }
}

const char *protocols() {
    switch (opts.destination_kind) {
    case stream_destination_kind::rtmp:
        return "rtmp,rtmps,tcp,tls";
    case stream_destination_kind::srt:
        return "srt,udp";
    case stream_destination_kind::icecast:
        return "icecast,http,tcp";
    default:
        return "file";
    }
}

int connections; // made so far

// The address FFmpeg opens: a recording's path as a file, whatever its name holds. A recording
// that failed and is opened again goes on in NAME-2.ts, NAME-3.ts ..., never over what it holds.
std::string address() {
    std::string d = opts.destination;
    const bool recording = opts.destination_kind == stream_destination_kind::ts ||
                           opts.destination_kind == stream_destination_kind::mkv;
    if (recording && connections > 0) {
        const std::size_t dot = d.rfind('.');
        d = d.substr(0, dot) + "-" + std::to_string(connections + 1) + d.substr(dot);
    }
    const bool local = recording || opts.destination_kind == stream_destination_kind::hls;
    return local ? "file:" + d : d;
}

void disconnect(bool tell_end) {
    if (!current.mux)
        return;
    deadline = steady::now() + std::chrono::milliseconds(tell_end ? 800 : 300);
    if (tell_end)
        av_write_trailer(current.mux);
    if (!(current.mux->oformat->flags & AVFMT_NOFILE))
        avio_closep(&current.mux->pb);
    avformat_free_context(current.mux);
    current = connection{};
    connected = false;
}

bool connect_now(std::string &why);

bool connect(std::string &why) {
    connecting = true;
    const bool ok = connect_now(why);
    connecting = false;
    return ok;
}

bool connect_now(std::string &why) {
    deadline = steady::now() + std::chrono::seconds(10);
    AVFormatContext *m = nullptr;
    if (avformat_alloc_output_context2(&m, nullptr, format_name(), address().c_str()) < 0 || !m) {
        why = "cannot make its container";
        return false;
    }
    current.mux = m;
    m->interrupt_callback = interrupt;
    m->protocol_whitelist = av_strdup(protocols());
    current.v = avformat_new_stream(m, nullptr);
    current.a = avformat_new_stream(m, nullptr);
    if (!current.v || !current.a ||
        avcodec_parameters_from_context(current.v->codecpar, video.get()) < 0 ||
        avcodec_parameters_from_context(current.a->codecpar, audio.get()) < 0) {
        why = "out of memory";
        disconnect(false);
        return false;
    }
    current.v->time_base = video->time_base;
    current.a->time_base = audio->time_base;
    AVDictionary *o = nullptr;
    av_dict_set(&o, "protocol_whitelist", protocols(), 0);
    int err = 0;
    if (!(m->oformat->flags & AVFMT_NOFILE)) {
        if (opts.destination_kind == stream_destination_kind::icecast)
            av_dict_set(&o, "content_type", "video/webm", 0);
        err = avio_open2(&m->pb, address().c_str(), AVIO_FLAG_WRITE, &m->interrupt_callback, &o);
    }
    av_dict_free(&o);
    if (err >= 0) {
        if (opts.destination_kind == stream_destination_kind::hls) {
            // two-second segments, six in the playlist, the older deleted: a bounded disk
            av_dict_set(&o, "hls_time", "2", 0);
            av_dict_set(&o, "hls_list_size", "6", 0);
            av_dict_set(&o, "hls_flags", "delete_segments+program_date_time", 0);
        } else if (opts.destination_kind == stream_destination_kind::rtmp) {
            av_dict_set(&o, "flvflags", "no_duration_filesize", 0);
        } else if (opts.destination_kind == stream_destination_kind::icecast) {
            av_dict_set(&o, "live", "1", 0);
        }
        err = avformat_write_header(m, &o);
        av_dict_free(&o);
    }
    if (err < 0) {
        why = av_error_text(err);
        disconnect(false);
        return false;
    }
    connected = true;
    force_key = true;
    ++connections;
    return true;
}

// A packet from an encoder to the connection, its times from the connection's start.
bool write(AVCodecContext *c, AVStream *st) {
    while (true) {
        const int err = avcodec_receive_packet(c, pkt.get());
        if (err == AVERROR(EAGAIN) || err == AVERROR_EOF)
            return true;
        if (err < 0)
            return false;
        if (!current.mux) {
            av_packet_unref(pkt.get());
            continue;
        }
        if (c == video.get()) {
            if (!current.keyed &&
                !(pkt->flags & AV_PKT_FLAG_KEY)) { // a viewer starts on a key frame
                av_packet_unref(pkt.get());
                continue;
            }
            if (!current.keyed)
                current.video_base = pkt->pts;
            current.keyed = true;
            pkt->pts -= current.video_base;
            pkt->dts -= current.video_base;
        } else {
            if (!current.keyed) {
                av_packet_unref(pkt.get());
                continue;
            }
            if (current.audio_base < 0) // the sound from the first picture's time
                current.audio_base =
                    av_rescale_q(current.video_base, video->time_base, c->time_base);
            // and the packet before it, whose samples overlap the first one's
            if (pkt->pts < current.audio_base - c->frame_size) {
                av_packet_unref(pkt.get());
                continue;
            }
            pkt->pts -= current.audio_base;
            pkt->dts -= current.audio_base;
        }
        pkt->stream_index = st->index;
        bits += pkt->size * 8LL;
        av_packet_rescale_ts(pkt.get(), c->time_base, st->time_base);
        deadline = steady::now() + std::chrono::seconds(closing ? 1 : 5);
        if (const int err = av_interleaved_write_frame(current.mux, pkt.get()); err < 0) {
            write_error = av_error_text(err);
            return false;
        }
    }
}

} // namespace

bool stream_out::connection_open(std::string &why) { return connect(why); }
void stream_out::connection_close(bool tell_end) { disconnect(tell_end); }
bool stream_out::connection_up() { return current.mux != nullptr; }
bool stream_out::connection_write(AVCodecContext *c) {
    return write(c, c == video.get() ? current.v : current.a);
}
