// SPDX-License-Identifier: GPL-3.0-or-later
#include "input_file.h"

#include <cstring>
#include <sys/stat.h>

namespace {

// What FFmpeg may open for INPUT: a file, or a pipe, whatever a file says it needs.
constexpr const char *local_only = "file,pipe";

} // namespace

static bool open_sound(input_file &in, const std::string &named, std::string &error);

const char *input_file_refused(const char *demuxer) {
    // a demuxer's name may list several, "mov,mp4,m4a,..."; these are each alone
    static const struct {
        const char *name, *what;
    } refused[] = {
        {"concat", "a list of other files"},
        {"hls", "an HLS playlist"},
        {"dash", "a DASH manifest"},
        {"imf", "an IMF composition of other files"},
        {"image2", "a sequence of pictures by name pattern"},
        {"sdp", "a network session description"},
        {"rtsp", "a network stream"},
        {"rtp", "a network stream"},
        {"avisynth", "a script"},
        {"vapoursynth", "a script"},
    };
    for (const auto &r : refused)
        if (std::strcmp(demuxer, r.name) == 0)
            return r.what;
    return nullptr;
}

bool input_file_open(const std::string &path, input_file &in, std::string &error) {
    in.close();
    struct stat st;
    if (path != "-" && stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
        error = path + ": a folder, not a sound file";
        return false;
    }
    // the name is a file's, whatever it holds: "http:x.wav" and "01:intro.wav" are files here
    const std::string address = path == "-" ? "pipe:0" : "file:" + path;
    const std::string named = path == "-" ? "standard input" : path;
    return input_file_open_address(address, named, local_only, nullptr, nullptr, in, error);
}

bool input_file_open_address(const std::string &address, const std::string &named,
                             const char *protocols, const char *device, AVIOInterruptCB *interrupt,
                             input_file &in, std::string &error) {
    in.close();
    auto options_for = [&] {
        AVDictionary *d = nullptr;
        av_dict_set(&d, "protocol_whitelist", protocols, 0);
        return d;
    };
    AVDictionary *options = nullptr;
    int err;
    if (device) { // a capture device: its own demuxer, nothing to probe and no protocol
        AVFormatContext *f = avformat_alloc_context();
        if (!f) {
            error = "out of memory";
            return false;
        }
        if (interrupt)
            f->interrupt_callback = *interrupt;
        av_dict_set(&options, "sample_rate", "44100", 0);
        av_dict_set(&options, "channels", "2", 0);
        err = avformat_open_input(&f, address.c_str(), av_find_input_format(device), &options);
        av_dict_free(&options);
        if (err < 0) {
            error = named + ": " + av_error_text(err);
            return false;
        }
        in.format.reset(f);
        return open_sound(in, named, error);
    }
    options = options_for();
    AVIOContext *io = nullptr;
    err = avio_open2(&io, address.c_str(), AVIO_FLAG_READ, interrupt, &options);
    av_dict_free(&options);
    if (err < 0) {
        error = named + ": " + av_error_text(err);
        return false;
    }
    in.bytes.reset(io);
    // what the first bytes say it is, decided before its demuxer reads on
    const AVInputFormat *demuxer = nullptr;
    err = av_probe_input_buffer2(io, &demuxer, address.c_str(), nullptr, 0, 0);
    if (err < 0 || !demuxer) {
        error =
            named + ": " +
            (err == AVERROR_INVALIDDATA || !demuxer ? "not a sound or video file FFmpeg can read"
                                                    : av_error_text(err));
        return false;
    }
    if (const char *what = input_file_refused(demuxer->name)) {
        error = named + ": " + what + " (" + demuxer->name +
                "), which points at other files or addresses; give the sound file itself";
        return false;
    }
    AVFormatContext *f = avformat_alloc_context();
    if (!f) {
        error = "out of memory";
        return false;
    }
    f->pb = io;
    f->flags |= AVFMT_FLAG_CUSTOM_IO;
    if (interrupt)
        f->interrupt_callback = *interrupt;
    options = options_for(); // for whatever the demuxer opens itself
    // Nothing here seeks: the index a demuxer keeps for seeking (an entry a packet for some
    // formats, such as Ogg) is held to a few seconds of entries, or a long file, or an endless
    // stream, grows it by about 2 kB a second, up to a megabyte a file.
    av_dict_set(&options, "indexmem", "4096", 0);
    err = avformat_open_input(&f, address.c_str(), demuxer, &options);
    av_dict_free(&options);
    if (err < 0) { // f is freed
        error = named + ": " +
                (err == AVERROR_INVALIDDATA ? "not a sound or video file FFmpeg can read"
                                            : av_error_text(err));
        return false;
    }
    in.format.reset(f);
    return open_sound(in, named, error);
}

// The best sound stream of an open container, and its decoder.
static bool open_sound(input_file &in, const std::string &named, std::string &error) {
    AVFormatContext *f = in.format.get();
    int err;
    if ((err = avformat_find_stream_info(f, nullptr)) < 0) {
        error = named + ": cannot read its streams: " + av_error_text(err);
        return false;
    }
    const AVCodec *decoder = nullptr;
    in.stream = av_find_best_stream(f, AVMEDIA_TYPE_AUDIO, -1, -1, &decoder, 0);
    if (in.stream == AVERROR_DECODER_NOT_FOUND) {
        error = named + ": FFmpeg has no decoder for its sound";
        return false;
    }
    if (in.stream < 0) {
        error = named + ": has no sound";
        return false;
    }
    in.codec.reset(avcodec_alloc_context3(decoder));
    if (!in.codec) {
        error = "out of memory";
        return false;
    }
    avcodec_parameters_to_context(in.codec.get(), f->streams[in.stream]->codecpar);
    if ((err = avcodec_open2(in.codec.get(), decoder, nullptr)) < 0) {
        error = named + ": cannot decode its sound: " + av_error_text(err);
        return false;
    }
    // every other stream is left unread by the demuxer
    for (unsigned k = 0; k < f->nb_streams; ++k)
        if (static_cast<int>(k) != in.stream)
            f->streams[k]->discard = AVDISCARD_ALL;
    return true;
}

std::unique_ptr<AVFormatContext, input_file::close_format>
input_file_open_local(const std::string &path, const char *formats, const char *forced,
                      const std::string &not_one, std::string &why) {
    AVDictionary *options = nullptr;
    av_dict_set(&options, "protocol_whitelist", "file", 0);
    if (!forced)
        av_dict_set(&options, "format_whitelist", formats, 0);
    AVFormatContext *f = nullptr;
    const int err = avformat_open_input(&f, ("file:" + path).c_str(),
                                        forced ? av_find_input_format(forced) : nullptr, &options);
    av_dict_free(&options);
    if (err < 0) // a format not on the list is refused as EINVAL
        why = err == AVERROR_INVALIDDATA || err == AVERROR(EINVAL) ? not_one : av_error_text(err);
    return std::unique_ptr<AVFormatContext, input_file::close_format>(err < 0 ? nullptr : f);
}
