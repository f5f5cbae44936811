// SPDX-License-Identifier: GPL-3.0-or-later
// lumora-render: turns a sound file into a video, or one picture, of exactly what lumora's window
// draws: the same analysis, frame arithmetic, painter and order of a frame, with the picture's
// state (hue, running volume, fade and silence) carried from picture to picture as the window
// carries it. No display and no sound card: the sound is decoded from the file, and the pictures
// are drawn off screen. The pictures keep the window's pace, 20 a second, picture k showing the
// block of sound centred on k / 20 s, so a beat is seen when it is heard; a frame at another time
// mixes the two pictures either side.
// The main thread decodes, analyses, draws and reads back; an encoder thread encodes.
#include "picture/cpu_painter.h"
#include "picture/frame.h"
#include "picture/frame_time.h"
#include "picture/ft.h"
#include "picture/paint.h"
#include "picture/painter_choice.h"
#include "picture/standard_streams.h"
#include "video/decode.h"
#include "video/encode.h"
#include "video/frame_loop.h"
#include "video/join.h"
#include "video/memory_check.h"
#include "video/offscreen.h"
#include "video/overlay.h"
#include "video/own_stderr.h"
#include "video/progress.h"
#include "video/render_options.h"

#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <new>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

extern "C" {
#include <libavutil/log.h>
}

using steady = std::chrono::steady_clock;

namespace {

// Drawing starts this many pictures before the first one a frame shows; the pictures before only
// advance the picture's state. The fade halves every pixel each picture, but blending faint waves
// over a pixel can keep a difference of one step alive, about half the time each picture.
// Measured on music at 320 x 180, against drawing every picture from the start: 12 left up to 24
// bytes different, 20 one byte in one of 8 places, 24 and more none. With 32, segments of a video
// (--frames) gave the whole render's frames to the byte, compared losslessly, on the music-like
// sound, a real recording and pink noise at 320 x 180, and on the recording at 1280 x 720 and
// 1920 x 1080, in loud passages and after a silence; with 4, an eighth to a quarter differed.
constexpr long long warm_up_pictures = 32;

int fail(const std::string &line) {
    std::fprintf(own_stderr(), "lumora-render: %s\n", line.c_str());
    encode_abandon();
    offscreen_close();
    decode_close();
    return 1;
}

} // namespace

int render(int argc, char **argv) {
    // a reader of standard error that has gone, or a file size limit, fails a write, not the
    // render: a failed write of OUTPUT ends it with one line, and leaves nothing
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGXFSZ, SIG_IGN);
    render_options o;
    std::string line;
    switch (render_parse_args(argc, argv, o, line)) {
    case render_parse::help:
        std::fputs(render_usage(), stdout);
        return 0;
    case render_parse::version:
        std::printf("lumora-render %s\n", LUMORA_VERSION);
        return 0;
    case render_parse::error:
        std::fprintf(own_stderr(), "lumora-render: %s\n", line.c_str());
        return 2;
    case render_parse::run:
        break;
    }
    struct stat out;
    if (o.keep_existing && o.plan == 0 && stat(o.output.c_str(), &out) == 0) {
        std::fprintf(own_stderr(), "lumora-render: %s is there already: kept\n", o.output.c_str());
        return 0;
    }
    av_log_set_level(AV_LOG_QUIET); // FFmpeg's own lines; ours say what went wrong, once
    own_stderr_install();           // and the lines libraries write to descriptor 2 themselves
    if (!o.segments.empty())
        return join_segments(o);
    if (o.plan > 0)
        return plan_print(o, argv[0]);
    if (const std::string short_of = memory_short(o); !short_of.empty()) {
        std::fprintf(own_stderr(), "lumora-render: %s\n", short_of.c_str());
        return 1;
    }
    painter_gl_exact();
    ft_init();
    paint_init();
    // the painter first, so that a size OpenGL cannot draw costs no input opened: auto takes a
    // GPU's OpenGL where there is one, else the processor, which then needs no OpenGL at all
    bool on_cpu = o.painter == painter_choice::cpu;
    if (o.painter == painter_choice::automatic) {
        std::string no_gpu;
        on_cpu = !offscreen_open(o.width, o.height, true, no_gpu);
        if (on_cpu)
            offscreen_close();
    } else if (o.painter == painter_choice::gl && !offscreen_open(o.width, o.height, false, line)) {
        return fail(line);
    }
    // a picture's time, when not given, is half the sound as it decodes: a header may say more
    // (only a file read from a disk can be read twice: a pipe, a FIFO or a device is read once,
    // as standard input is; told by what it is, not by its name)
    double measured = -1;
    struct stat st;
    const bool once = o.input == "-" || stat(o.input.c_str(), &st) != 0 || !S_ISREG(st.st_mode);
    if (o.kind == render_kind::png && o.at < 0 && !once &&
        !decode_measure(o.input.c_str(), measured, line))
        return fail(line);
    const bool decorated = render_decorated(o);
    if (!decode_open(o.input.c_str(), line) || !encode_prepare(o, line) ||
        (decorated && !overlay_open(o, line)))
        return fail(line);
    if (on_cpu)
        cpu_picture_size(o.width, o.height);

    const bool video = o.kind != render_kind::png;
    const double length = decode_length();
    if (!video && o.at < 0 && measured < 0 && length <= 0)
        return fail((o.input == "-" ? "standard input" : o.input + ", a pipe or a device") +
                    ": its length is not known before its end; give --at");
    const double at = o.at >= 0 ? o.at : (measured >= 0 ? measured : length) / 2;
    // a video's frames are those whose time lies in [from, to); a picture is the frame nearest --at
    const long long first = video ? render_first_frame(o) : std::llround(at * o.fps);
    if (video && !encode_open(o, decode_codec(), first, line))
        return fail(line);
    const long long draw_from =
        std::max(0LL, frame_between(first, o.fps).before - warm_up_pictures);
    const double end_s = std::min(o.to, length > 0 ? length : o.to);
    const double total_s = std::isfinite(end_s) ? end_s - first / static_cast<double>(o.fps) : 0;

    picture pic;
    pic.n_steps = o.detail;
    progress shown;
    shown.fps = o.fps;
    // the sound, decoded as far as the loop needs and handed on to the sound track (a .png has
    // none)
    struct decoded_sound final : frame_loop_sound {
        bool over = false;
        bool until(long long c, bool &ended) override {
            const bool ok = encode_sound_until(c, ended);
            over = ended;
            return ok;
        }
        double block(long long c, double *b) override { return decode_block(c, b); }
        long long end() override { return decode_mono_end(); }
    } sound;
    // the frames, to the encoder; a .png keeps the first
    struct encoded_frames final : frame_loop_frames {
        const render_options &o;
        progress &shown;
        bool video, on_cpu, said_renderer = false;
        long long first, drawn = 0;
        double total_s;
        const unsigned char *still = nullptr;
        encoded_frames(const render_options &o, progress &shown, bool video, bool on_cpu,
                       long long first, double total_s)
            : o(o), shown(shown), video(video), on_cpu(on_cpu), first(first), total_s(total_s) {}
        bool past_end(long long n) override { return video && render_frame_past_end(o, n); }
        bool draw(long long, picture &) override { return true; }
        void drew(long long, steady::duration took) override {
            ++drawn;
            shown.drawing += took;
        }
        frame_loop_next frame(long long n, const unsigned char *pixels, bool same) override {
            if (!said_renderer && drawn > 0) // with the first frame: a failure before is one line
                std::fprintf(own_stderr(), "lumora-render: drawing with %s\n",
                             on_cpu ? cpu_painter_description().c_str()
                                    : offscreen_description().c_str());
            said_renderer = drawn > 0;
            if (!video) {
                still = pixels;
                return frame_loop_next::stop;
            }
            if (!(same ? encode_repeat() : encode_picture(pixels)))
                return frame_loop_next::fail;
            ++shown.frames;
            shown.show((n - first + 1) / static_cast<double>(o.fps), total_s);
            return frame_loop_next::go_on;
        }
    } frames(o, shown, video, on_cpu, first, total_s);
    frame_loop_settings settings;
    settings.fps = o.fps;
    settings.width = o.width;
    settings.height = o.height;
    settings.on_cpu = on_cpu;
    settings.decorated = decorated;
    settings.first = first;
    settings.draw_from = draw_from;
    const frame_loop_result r = frame_loop_run(settings, sound, frames, pic);
    if (r.end == frame_loop_end::sound_failed)
        return fail(decode_failed().empty() ? encode_failed() : decode_failed());
    if (r.end == frame_loop_end::frames_failed)
        return fail(encode_failed());
    const bool reached = r.end == frame_loop_end::stopped;
    const unsigned char *still = frames.still;
    const long long n = r.next_frame;
    bool ended = sound.over;
    const double sound_s = decode_mono_end() / 44100.0;
    if (video && shown.frames == 0)
        return fail(sound_s == 0
                        ? o.input + ": the sound is empty"
                        : (o.first_frame >= 0
                               ? "--frames " + std::to_string(o.first_frame) + ":" +
                                     (o.end_frame >= 0 ? std::to_string(o.end_frame) : "") +
                                     " starts"
                               : "--from " + render_format_time(o.from) + " is") +
                              " past the end of the sound, at " + render_format_time(sound_s));
    if (!video && !reached)
        return fail(sound_s == 0
                        ? o.input + ": the sound is empty"
                        : "--at " + render_format_time(at) + " is past the end of the sound, at " +
                              render_format_time(sound_s));
    // the rest of the sound track, up to the end of the last frame's time
    while (video && !ended) {
        const AVFrame *f = decode_next();
        if (!f)
            break;
        if (!encode_sound(f))
            return fail(encode_failed());
        if (decode_mono_end() > frame_centre_sample(n, o.fps))
            break;
    }
    if (video ? !encode_finish(line) : !encode_png(still, line) || !encode_finish(line))
        return fail(line.empty() ? encode_failed() : line);
    if (const long long nan = decode_not_numbers(); nan > 0)
        std::fprintf(own_stderr(),
                     "lumora-render: %lld %s of the sound %s not a number: taken as 0\n", nan,
                     nan == 1 ? "sample" : "samples", nan == 1 ? "was" : "were");
    if (decode_damaged() > 1)
        std::fprintf(own_stderr(), "lumora-render: %d damaged parts of the sound were skipped\n",
                     decode_damaged());
    if (video)
        shown.summary(o.output,
                      std::to_string(shown.frames) + " frames, " +
                          render_format_time(shown.frames / static_cast<double>(o.fps)) +
                          " of sound",
                      shown.frames / static_cast<double>(o.fps));
    else
        shown.summary(o.output,
                      "the picture at " + std::to_string(first / o.fps) + "." +
                          std::to_string(100 + first % o.fps * 100 / o.fps).substr(1) + " s",
                      0);
    overlay_close();
    offscreen_close();
    decode_close();
    ft_close();
    return 0;
}

int main(int argc, char **argv) {
    standard_streams_open(); // before any file is opened: OUTPUT must never be descriptor 2
    // Memory that runs out, wherever it does (a picture's buffers, the painter's store, FFmpeg's
    // frames through the standard library): one line, and nothing left behind.
    try {
        return render(argc, argv);
    } catch (const std::bad_alloc &) {
        return fail("out of memory");
    }
}
