// SPDX-License-Identifier: GPL-3.0-or-later
// lumora-stream: lumora's picture, live, to an audience. The sound comes from a file, a folder or a
// playlist at real time, from standard input, from an HTTP stream or from the default input; each
// frame is drawn as lumora-render draws it, through the same frame loop, and sent with the sound
// to a server or a recording, until the program is stopped. Frames are timed by the sound's
// sample count, never by the clock, so that picture and sound stay in step over any length; the
// clock only paces the sound. Drawing keeps real time by lowering its detail when it falls
// behind and raising it when there is room. Sources and destinations that fail are retried.
#include "picture/cpu_painter.h"
#include "picture/frame.h"
#include "picture/ft.h"
#include "picture/paint.h"
#include "picture/standard_streams.h"
#include "video/frame_loop.h"
#include "video/offscreen.h"
#include "video/overlay.h"
#include "video/own_stderr.h"
#include "video/render_options.h"
#include "video/stream_options.h"
#include "video/stream_output.h"
#include "video/stream_source.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <pthread.h>
#include <sstream>
#include <sys/stat.h>
#include <systemd/sd-daemon.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern "C" {
#include <libavdevice/avdevice.h>
#include <libavutil/log.h>
}

using steady = std::chrono::steady_clock;

namespace {

std::atomic<bool> stop_asked{false};

// Resident memory in megabytes, from /proc.
double resident_mb() {
    long pages = 0, resident = 0;
    if (FILE *f = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2)
            resident = 0;
        std::fclose(f);
    }
    return resident * static_cast<double>(sysconf(_SC_PAGESIZE)) / 1e6;
}

// The sound, paced by the clock, its track handed to the encoder as it is taken.
struct live_sound final : frame_loop_sound {
    bool until(long long c, bool &ended) override {
        const bool ok = stream_source_until(c, ended);
        int frames;
        const float *s = stream_source_sound(frames);
        if (frames > 0)
            stream_output_sound(s, frames);
        return ok;
    }
    double block(long long c, double *b) override { return stream_source_block(c, b); }
    long long end() override { return stream_source_end(); }
};

// The frames, to the sender; the detail kept so that drawing keeps real time.
struct sent_frames final : frame_loop_frames {
    const stream_options &o;
    int detail;
    steady::time_point since = steady::now(), minute = since, ping = since;
    double waited_then = 0;
    long long dropped_then = 0, bits_then = 0, frames_minute = 0, dropped_minute = 0;
    long long watchdog_us = 0;
    std::chrono::seconds health_every{60}; // LUMORA_STREAM_HEALTH in seconds, for the tests
    bool text_from_title;
    unsigned title_seen = ~0u;
    std::string text_line;
    struct timespec text_changed {};

    explicit sent_frames(const stream_options &o) : o(o), detail(o.detail) {
        uint64_t us = 0;
        if (sd_watchdog_enabled(0, &us) > 0)
            watchdog_us = static_cast<long long>(us);
        text_from_title = !o.text.empty();
        if (const char *e = std::getenv("LUMORA_STREAM_HEALTH"); e && std::atoi(e) > 0)
            health_every = std::chrono::seconds(std::atoi(e));
    }
    bool past_end(long long) override { return stop_asked; }
    bool draw(long long, picture &pic) override {
        // a second at a time: the share of it drawing left unused, and the frames the sender
        // could not take, say whether the detail goes down or up
        const steady::time_point now = steady::now();
        const double span = std::chrono::duration<double>(now - since).count();
        if (span >= 1) {
            const double waited = stream_source_waited_s();
            const double idle = (waited - waited_then) / span;
            const long long dropped = stream_output_counts_now().dropped;
            const bool sender_behind =
                dropped > dropped_then && stream_output_counts_now().connected;
            // as if frames came at 20 a second with a quarter of the time to spare
            const float rate = sender_behind ? 10.0f : static_cast<float>(20 * (0.75 + idle));
            // steps in proportion to the detail, so that a machine far too slow for it gets
            // down in a few seconds, not minutes
            adjust_detail(pic.n_steps, rate, std::max(1.0, pic.n_steps / 32.0), o.detail);
            waited_then = waited;
            dropped_then = dropped;
            since = now;
        }
        detail = pic.n_steps;
        // far behind even so: pictures are let go, whole, rather than the delay growing
        return stream_source_behind_s() < 1.0;
    }
    void drew(long long, steady::duration) override {}
    frame_loop_next frame(long long n, const unsigned char *pixels, bool same) override {
        if (stream_source_behind_s() > 1.5 || !stream_output_picture(n, pixels, same))
            ++dropped_minute;
        ++frames_minute;
        const steady::time_point now = steady::now();
        if (watchdog_us > 0 && now - ping > std::chrono::microseconds(watchdog_us / 4)) {
            sd_notify(0, "WATCHDOG=1");
            ping = now;
        }
        if (now - minute >= health_every)
            health(now);
        update_text();
        return frame_loop_next::go_on;
    }
    void health(steady::time_point now) {
        const stream_output_counts c = stream_output_counts_now();
        const double s = std::chrono::duration<double>(now - minute).count();
        stream_health h{c.frames,
                        c.dropped,
                        c.outages + stream_source_outages(),
                        detail,
                        (c.bits_sent - bits_then) / s / 1000,
                        resident_mb(),
                        stream_source_behind_s()};
        std::fprintf(own_stderr(), "lumora-stream: %s\n", stream_health_line(h).c_str());
        if (detail <= min_steps && dropped_minute > 0)
            std::fprintf(own_stderr(),
                         "lumora-stream: cannot keep up even at the lowest detail (%d): %lld of "
                         "%lld frames dropped in the last minute\n",
                         detail, dropped_minute, frames_minute);
        bits_then = c.bits_sent;
        frames_minute = dropped_minute = 0;
        minute = now;
    }
    // The line over the picture: --text with what is playing, or --text-file's first line.
    void update_text() {
        if (text_from_title) {
            if (stream_source_title_changes() != title_seen) { // copied only when it changed
                unsigned changes;
                const std::string title = stream_source_title(changes);
                title_seen = changes;
                overlay_set_text(stream_text_line(o.text, title));
            }
        } else if (!o.text_file.empty() && frames_minute % o.fps == 0) { // once a second
            struct stat st;
            if (stat(o.text_file.c_str(), &st) == 0 &&
                (st.st_mtim.tv_sec != text_changed.tv_sec ||
                 st.st_mtim.tv_nsec != text_changed.tv_nsec)) {
                text_changed = st.st_mtim;
                std::ifstream in(o.text_file);
                std::string line;
                std::getline(in, line);
                if (line.size() > 500)
                    line.resize(500);
                unsigned changes;
                overlay_set_text(stream_text_line(line, stream_source_title(changes)));
            }
        }
    }
};

int fail(const std::string &line, int status = 1) {
    std::fprintf(own_stderr(), "lumora-stream: %s\n", line.c_str());
    std::fflush(nullptr);
    _exit(status); // the reader may be blocked in a read of its own
}

} // namespace

int main(int argc, char **argv) {
    standard_streams_open();
    std::signal(SIGPIPE, SIG_IGN);
    stream_options o;
    std::string line;
    // a service's arguments, one a line in its configuration file
    std::vector<std::string> from_file;
    std::vector<const char *> args;
    if (argc == 3 && std::string(argv[1]) == "--args-file") {
        std::ifstream in(argv[2]);
        if (!in) {
            std::fprintf(stderr, "lumora-stream: %s: %s\n", argv[2], std::strerror(errno));
            return 2;
        }
        std::stringstream text;
        text << in.rdbuf();
        from_file = stream_args_from_text(text.str());
        args.push_back(argv[0]);
        for (const std::string &a : from_file)
            args.push_back(a.c_str());
        argc = static_cast<int>(args.size());
        args.push_back(nullptr);
        argv = const_cast<char **>(args.data());
    }
    switch (stream_parse_args(argc, argv, o, line)) {
    case stream_parse::help:
        std::fputs(stream_usage(), stdout);
        return 0;
    case stream_parse::version:
        std::printf("lumora-stream %s\n", LUMORA_VERSION);
        return 0;
    case stream_parse::error:
        std::fprintf(stderr, "lumora-stream: %s\n", line.c_str());
        return 2;
    case stream_parse::run:
        break;
    }
    // SIGINT and SIGTERM go to a thread of their own, which wakes the frame loop: every other
    // thread starts with them blocked
    sigset_t stops;
    sigemptyset(&stops);
    sigaddset(&stops, SIGINT);
    sigaddset(&stops, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stops, nullptr);
    std::thread([stops] {
        int sig;
        sigwait(&stops, &sig);
        stop_asked = true;
        stream_source_stop();
    }).detach();
    av_log_set_level(AV_LOG_QUIET);
    avdevice_register_all(); // the default input through ALSA, as the window hears it
    own_stderr_install();
    own_program_set("lumora-stream");
    painter_gl_exact();
    ft_init();
    paint_init();
    bool on_cpu = o.painter != painter_choice::gl;
    if (o.painter == painter_choice::automatic) {
        std::string no_gpu;
        on_cpu = !offscreen_open(o.width, o.height, true, no_gpu);
        if (on_cpu)
            offscreen_close();
    } else if (!on_cpu && !offscreen_open(o.width, o.height, false, line)) {
        return fail(line);
    }
    if (on_cpu)
        cpu_picture_size(o.width, o.height);
    if (!stream_source_open(o, line))
        return fail(line);
    const bool icecast = o.destination_kind == stream_destination_kind::icecast;
    const int channels = stream_source_channels(), rate = icecast ? 48000 : stream_source_rate();
    const bool decorated = !o.text.empty() || !o.text_file.empty();
    if (decorated) {
        render_options ro;
        ro.width = o.width;
        ro.height = o.height;
        ro.fps = o.fps;
        ro.title = " "; // set as the stream goes
        if (!overlay_open(ro, line))
            return fail(line);
    }
    if (!stream_output_open(o, channels, rate, line))
        return fail(line);
    if (!stream_source_start(channels, rate, line))
        return fail(line);
    std::fprintf(own_stderr(),
                 "lumora-stream: %dx%d at %d fps, %.1f Mbit/s, to %s, drawing with %s\n", o.width,
                 o.height, o.fps, o.bitrate / 1e6, stream_shown(o.destination).c_str(),
                 on_cpu ? cpu_painter_description().c_str() : offscreen_description().c_str());
    sd_notify(0, "READY=1");
    picture pic;
    pic.n_steps = o.detail;
    live_sound sound;
    sent_frames frames(o);
    frame_loop_settings s;
    s.fps = o.fps;
    s.width = o.width;
    s.height = o.height;
    s.on_cpu = on_cpu;
    s.decorated = decorated;
    frame_loop_run(s, sound, frames, pic);
    sd_notify(0, "STOPPING=1");
    // the end: the destination told, then out, whatever the reader is waiting for
    stream_output_close();
    stream_source_close();
    std::fflush(nullptr);
    _exit(stream_source_failed() && !stop_asked ? 1 : 0);
}
