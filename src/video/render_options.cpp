// SPDX-License-Identifier: GPL-3.0-or-later
#include "render_options.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

// A whole number in [low, high], digits only.
static bool whole(const char *text, long low, long high, long &v) {
    if (!std::isdigit(static_cast<unsigned char>(*text)))
        return false;
    char *end;
    errno = 0;
    v = std::strtol(text, &end, 10);
    return *end == '\0' && errno == 0 && v >= low && v <= high;
}

// The sizes of 16:9 video by the names players and sites give them.
static bool named_size(std::string name, long &w, long &h) {
    static const struct {
        const char *name;
        long w, h;
    } sizes[] = {{"square", 1080, 1080}, {"vertical", 1080, 1920}, {"360p", 640, 360},
                 {"480p", 854, 480},     {"720p", 1280, 720},      {"1080p", 1920, 1080},
                 {"1440p", 2560, 1440},  {"4k", 3840, 2160}};
    for (char &c : name)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    for (const auto &s : sizes)
        if (name == s.name) {
            w = s.w;
            h = s.h;
            return true;
        }
    return false;
}

// A name that ends as an image file's does.
static bool image_name(std::string name) {
    for (char &c : name)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    for (const char *ext : {".png", ".jpg", ".jpeg", ".webp", ".bmp"})
        if (name.size() > std::strlen(ext) &&
            name.compare(name.size() - std::strlen(ext), std::string::npos, ext) == 0)
            return true;
    return false;
}

bool render_parse_whole(const char *text, long low, long high, long &v) {
    return whole(text, low, high, v);
}

bool render_parse_size(const std::string &value, int &w, int &h, std::string &message) {
    const std::size_t x = value.find('x');
    long wv, hv;
    if (!named_size(value, wv, hv) &&
        (x == std::string::npos || !whole(value.substr(0, x).c_str(), 0, 1 << 20, wv) ||
         !whole(value.substr(x + 1).c_str(), 0, 1 << 20, hv))) {
        message = "--size " + value +
                  ": give the width and height as WxH, e.g. 1280x720, or a name: square, "
                  "vertical, 360p, 480p, 720p, 1080p, 1440p or 4k";
        return false;
    }
    if (wv < 1 || hv < 1) {
        message = "--size " + value + ": the width and height must be 1 pixel or more";
        return false;
    }
    w = static_cast<int>(wv);
    h = static_cast<int>(hv);
    return true;
}

bool render_decorated(const render_options &o) {
    return !o.title.empty() || !o.subtitle.empty() || o.cover || !o.background.empty() ||
           !o.captions.empty();
}

static bool kind_of(const std::string &path, render_kind &kind) {
    const std::size_t dot = path.rfind('.');
    if (dot == std::string::npos || path.find('/', dot) != std::string::npos)
        return false;
    std::string ext = path.substr(dot + 1);
    for (char &c : ext)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (ext == "mp4")
        kind = render_kind::mp4;
    else if (ext == "webm")
        kind = render_kind::webm;
    else if (ext == "mkv")
        kind = render_kind::mkv;
    else if (ext == "png")
        kind = render_kind::png;
    else if (ext == "gif")
        kind = render_kind::gif;
    else
        return false;
    return true;
}

// The largest pictures the encoders make: FFmpeg takes a picture while (w + 128)(h + 128) stays
// below 2^31 / 8 bytes, and the videos keep to the highest level of H.264 and VP9 (6.2), which
// players are built for: 139,264 blocks of 16 x 16 pixels (8192 x 4352), and x264 and libvpx
// take no side past 16384.
static bool size_fits(const render_options &o, std::string &message) {
    const std::string size = "--size " + std::to_string(o.width) + "x" + std::to_string(o.height);
    if ((o.width + 128LL) * (o.height + 128LL) >= std::numeric_limits<int>::max() / 8) {
        message = size + ": larger than FFmpeg makes a picture (about 268 million pixels)";
        return false;
    }
    const long long blocks = (o.width + 15LL) / 16 * ((o.height + 15LL) / 16);
    if (o.kind != render_kind::png && (o.width > 16384 || o.height > 16384 || blocks > 139264)) {
        message = size + ": larger than a video can be (16384 pixels a side, and 8192x4352 in all)";
        return false;
    }
    return true;
}

long long render_first_frame(const render_options &o) {
    return o.first_frame >= 0 ? o.first_frame
                              : static_cast<long long>(std::ceil(o.from * o.fps - 1e-9));
}

bool render_frame_past_end(const render_options &o, long long n) {
    return o.end_frame >= 0 ? n >= o.end_frame : n >= o.to * o.fps;
}

render_parse render_parse_args(int argc, const char *const *argv, render_options &o,
                               std::string &message) {
    auto fail = [&](std::string text) {
        message = std::move(text);
        return render_parse::error;
    };
    std::string positional[2];
    std::vector<std::string> more; // positionals after OUTPUT: --join's segments
    int positionals = 0;
    bool given_from = false, given_to = false, given_at = false, options_end = false;
    bool given_size = false, given_fps = false, given_other = false, join = false;
    std::string from_text = "0", to_text;
    for (int k = 1; k < argc; ++k) {
        std::string arg = argv[k], value;
        if (options_end || arg.size() < 2 || arg.compare(0, 2, "--") != 0) {
            if (positionals == 2)
                more.push_back(arg);
            else
                positional[positionals++] = arg;
            continue;
        }
        if (arg == "--") {
            options_end = true;
            continue;
        }
        if (arg == "--help")
            return render_parse::help;
        if (arg == "--version")
            return render_parse::version;
        const std::size_t eq = arg.find('=');
        if (eq != std::string::npos) {
            value = arg.substr(eq + 1);
            arg.resize(eq);
        } else if (arg == "--size" || arg == "--fps" || arg == "--detail" || arg == "--from" ||
                   arg == "--to" || arg == "--at" || arg == "--renderer" || arg == "--frames" ||
                   arg == "--plan" || arg == "--title" || arg == "--subtitle" ||
                   arg == "--background" || arg == "--captions") {
            if (k + 1 == argc)
                return fail(arg + " needs a value (see --help)");
            value = argv[++k];
        }
        long v;
        if (arg == "--size") {
            if (!render_parse_size(value, o.width, o.height, message))
                return render_parse::error;
            given_size = true;
        } else if (arg == "--fps") {
            if (!whole(value.c_str(), 1, render_max_fps, v))
                return fail("--fps " + value + ": give a whole number of frames a second, 1 to " +
                            std::to_string(render_max_fps));
            o.fps = static_cast<int>(v);
            given_fps = true;
        } else if (arg == "--detail") {
            if (!whole(value.c_str(), 1, render_max_detail, v))
                return fail("--detail " + value + ": give a whole number of steps, 1 to " +
                            std::to_string(render_max_detail));
            o.detail = static_cast<int>(v);
            given_other = true;
        } else if (arg == "--lossless" || arg == "--no-sound" || arg == "--join" ||
                   arg == "--keep-existing") {
            if (eq != std::string::npos)
                return fail(arg + " takes no value");
            (arg == "--lossless"   ? o.lossless
             : arg == "--join"     ? join
             : arg == "--no-sound" ? o.no_sound
                                   : o.keep_existing) = true;
            given_other = given_other || arg == "--lossless";
        } else if (arg == "--frames") {
            const std::size_t colon = value.find(':');
            long a, b = -1;
            const long most = static_cast<long>(render_max_time) * render_max_fps;
            if (colon == std::string::npos || !whole(value.substr(0, colon).c_str(), 0, most, a) ||
                (colon + 1 < value.size() && !whole(value.substr(colon + 1).c_str(), 0, most, b)) ||
                (b >= 0 && a >= b))
                return fail("--frames " + value +
                            ": give the first frame and the one after the last, A:B with A < B, "
                            "or A: for the rest of the sound");
            o.first_frame = a;
            o.end_frame = b;
        } else if (arg == "--title" || arg == "--subtitle") {
            if (value.empty() || value.find('\n') != std::string::npos)
                return fail(arg + ": give the text, on one line");
            (arg == "--title" ? o.title : o.subtitle) = value;
        } else if (arg == "--background" || arg == "--captions") {
            if (value.empty())
                return fail(arg + " needs a file");
            (arg == "--background" ? o.background : o.captions) = value;
        } else if (arg == "--cover") {
            // the input's own picture, or the image file that follows (told by its extension,
            // so that INPUT after --cover is never taken for one)
            o.cover = true;
            if (eq != std::string::npos)
                o.cover_file = value;
            else if (k + 1 < argc && image_name(argv[k + 1]))
                o.cover_file = argv[++k];
            if (eq != std::string::npos && value.empty())
                return fail("--cover= needs an image file");
        } else if (arg == "--plan") {
            if (!whole(value.c_str(), 1, 10000, v))
                return fail("--plan " + value + ": give a whole number of segments, 1 to 10000");
            o.plan = static_cast<int>(v);
        } else if (arg == "--renderer") {
            if (!painter_parse(value.c_str(), o.painter))
                return fail("--renderer " + value + ": give auto, cpu or gl");
            given_other = true;
        } else if (arg == "--from" || arg == "--to" || arg == "--at") {
            double t;
            if (!render_parse_time(value.c_str(), t))
                return fail(arg + " " + value +
                            ": give seconds (90, 12.5) or M:SS (1:30), up to 100 hours");
            if (arg == "--from") {
                o.from = t;
                given_from = true;
                from_text = value;
            } else if (arg == "--to") {
                o.to = t;
                given_to = true;
                to_text = value;
            } else {
                o.at = t;
                given_at = true;
            }
        } else {
            return fail("unknown option '" + arg + "' (see --help)");
        }
    }
    if (positionals < 2)
        return fail(positionals == 0 ? "give an INPUT sound file and an OUTPUT file (see --help)"
                                     : "give an OUTPUT file after the INPUT (see --help)");
    o.input = positional[0];
    o.output = positional[1];
    if (!more.empty() && !join)
        return fail("one INPUT and one OUTPUT, but '" + more[0] + "' is a third (see --help)");
    if (join) {
        if (more.empty())
            return fail("--join needs the segments, after INPUT and OUTPUT (see --help)");
        if (given_size || given_fps || given_other || given_from || given_to || given_at ||
            o.first_frame >= 0 || o.plan > 0 || render_decorated(o))
            return fail("--join takes its size, frame rate, detail and frames from its segments: "
                        "give only --no-sound or --keep-existing with it");
        o.segments = std::move(more);
    }
    if (!kind_of(o.output, o.kind))
        return fail(o.output +
                    ": the extension says what to write: .mp4, .webm, .mkv, .gif or .png");
    if (o.input == o.output)
        return fail(o.output + ": OUTPUT is the INPUT; give another name");
    if (o.lossless && o.kind != render_kind::mkv)
        return fail("--lossless is for a .mkv, whose pictures it keeps as drawn");
    if ((o.no_sound || o.first_frame >= 0 || join) &&
        (o.kind == render_kind::png || o.kind == render_kind::gif))
        return fail(std::string(join         ? "--join"
                                : o.no_sound ? "--no-sound"
                                             : "--frames") +
                    " is for a .mp4, .webm or .mkv");
    if (o.plan > 0 &&
        (o.first_frame >= 0 || o.kind == render_kind::png || o.kind == render_kind::gif))
        return fail(o.first_frame >= 0 ? "--plan gives each segment its --frames: give no --frames"
                                       : "--plan is for a .mp4, .webm or .mkv");
    if (o.first_frame >= 0) {
        if (given_from || given_to)
            return fail("--frames and --from or --to give the same range two ways: give one");
        o.from = static_cast<double>(o.first_frame) / o.fps;
        if (o.end_frame >= 0)
            o.to = static_cast<double>(o.end_frame) / o.fps;
    }
    if (o.kind == render_kind::png) {
        if (given_from || given_to)
            return fail("--from and --to are for a video; a .png takes its time from --at");
    } else if (o.kind == render_kind::gif) {
        if (given_at)
            return fail("--at is for a .png picture; a .gif takes --from and --to");
        if (!given_size) {
            o.width = 480;
            o.height = 270;
        }
        if (!given_fps)
            o.fps = 15;
        if (!given_to)
            o.to = o.from + 10;
        const std::string size = std::to_string(o.width) + "x" + std::to_string(o.height);
        if (o.width > render_gif_max_side || o.height > render_gif_max_side)
            return fail("--size " + size + ": a .gif is at most " +
                        std::to_string(render_gif_max_side) + " pixels a side");
        if (o.fps > render_gif_max_fps)
            return fail("--fps " + std::to_string(o.fps) + ": a .gif has at most " +
                        std::to_string(render_gif_max_fps) + " frames a second");
        if (o.from >= o.to)
            return fail("--from " + from_text + " is not before --to " + to_text);
        if (o.to - o.from > render_gif_max_seconds)
            return fail("--from " + from_text + " --to " + to_text + ": a .gif lasts at most " +
                        std::to_string(static_cast<int>(render_gif_max_seconds)) + " s");
    } else {
        if (given_at)
            return fail("--at is for a .png picture; a video takes --from and --to");
        if (!o.lossless && (o.width % 2 || o.height % 2))
            return fail("--size " + std::to_string(o.width) + "x" + std::to_string(o.height) +
                        ": a video needs an even width and height (its colours are stored for "
                        "2 x 2 pixels)");
        if (o.from >= o.to)
            return fail("--from " + from_text + " is not before --to " + to_text);
    }
    if (!size_fits(o, message))
        return render_parse::error;
    return render_parse::run;
}
