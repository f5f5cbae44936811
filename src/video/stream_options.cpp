// SPDX-License-Identifier: GPL-3.0-or-later
#include "stream_options.h"

#include "render_options.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <initializer_list>

namespace {

std::string lower(std::string s) {
    for (char &c : s)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

bool starts(const std::string &s, const char *prefix) {
    return lower(s.substr(0, std::char_traits<char>::length(prefix))) == prefix;
}

bool ends(const std::string &s, const char *suffix) {
    const std::size_t n = std::char_traits<char>::length(suffix);
    return s.size() > n && lower(s.substr(s.size() - n)) == suffix;
}

// "3M", "2500k" or "3000000" bits a second
bool bitrate_of(const std::string &text, long &bits) {
    if (text.empty())
        return false;
    long scale = 1;
    std::string digits = text;
    const char last = static_cast<char>(std::tolower(static_cast<unsigned char>(text.back())));
    if (last == 'k' || last == 'm') {
        scale = last == 'k' ? 1000 : 1000000;
        digits.pop_back();
    }
    long v;
    if (!render_parse_whole(digits.c_str(), 1, 100000000 / scale, v))
        return false;
    bits = v * scale;
    return bits >= 100000 && bits <= 100000000;
}

// A text's lines, each without its end ('\n', or "\r\n").
std::vector<std::string> lines_of(const std::string &text) {
    std::vector<std::string> out;
    for (std::size_t at = 0; at < text.size();) {
        std::size_t end = text.find('\n', at);
        if (end == std::string::npos)
            end = text.size();
        out.push_back(text.substr(at, end - at));
        if (!out.back().empty() && out.back().back() == '\r')
            out.back().pop_back();
        at = end + 1;
    }
    return out;
}

} // namespace

bool stream_destination_of(const std::string &name, stream_destination_kind &kind) {
    if (starts(name, "rtmp://") || starts(name, "rtmps://"))
        kind = stream_destination_kind::rtmp;
    else if (starts(name, "srt://"))
        kind = stream_destination_kind::srt;
    else if (starts(name, "icecast://"))
        kind = stream_destination_kind::icecast;
    else if (name.find("://") != std::string::npos)
        return false;
    else if (ends(name, ".m3u8"))
        kind = stream_destination_kind::hls;
    else if (ends(name, ".ts"))
        kind = stream_destination_kind::ts;
    else if (ends(name, ".mkv"))
        kind = stream_destination_kind::mkv;
    else
        return false;
    return true;
}

long stream_default_bitrate(int width, int height, int fps) {
    const double bits = 0.11 * width * height * fps;
    return static_cast<long>(std::clamp(bits, 3e5, 2e7));
}

int stream_backoff_seconds(int attempt) { return attempt >= 5 ? 30 : 1 << std::max(0, attempt); }

std::vector<std::string> stream_playlist_entries(const std::string &text, const std::string &dir,
                                                 int &refused) {
    std::vector<std::string> out;
    refused = 0;
    for (std::string line : lines_of(text)) {
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t'))
            line.pop_back();
        const std::size_t first = line.find_first_not_of(" \t");
        if (first == std::string::npos)
            continue;
        line.erase(0, first);
        if (line.compare(0, 3, "\xEF\xBB\xBF") == 0) // a byte order mark
            line.erase(0, 3);
        if (line.empty() || line[0] == '#')
            continue;
        if (line.find("://") != std::string::npos || starts(line, "file:")) {
            ++refused;
            continue;
        }
        out.push_back(line[0] == '/' || dir.empty() ? line : dir + "/" + line);
    }
    return out;
}

bool stream_sound_name(const std::string &name) {
    if (name.empty() || name[0] == '.')
        return false;
    for (const char *ext : {".mp3", ".flac", ".ogg", ".oga", ".opus", ".wav", ".m4a", ".aac",
                            ".wma", ".aif", ".aiff", ".wv", ".ape", ".mka", ".mpc", ".ac3"})
        if (ends(name, ext))
            return true;
    return false;
}

std::vector<std::string> stream_args_from_text(const std::string &text) {
    std::vector<std::string> out;
    for (const std::string &line : lines_of(text)) {
        const std::size_t first = line.find_first_not_of(" \t");
        if (first == std::string::npos || line[first] == '#')
            continue;
        out.push_back(line.substr(first));
    }
    return out;
}

std::string stream_shown(const std::string &address) {
    std::string out = address;
    const std::size_t scheme = out.find("://");
    if (scheme == std::string::npos)
        return out;
    // user:password@ keeps the user
    const std::size_t at = out.find('@', scheme + 3), slash = out.find('/', scheme + 3);
    const std::size_t colon = out.find(':', scheme + 3);
    if (at != std::string::npos && (slash == std::string::npos || at < slash) && colon < at)
        out = out.substr(0, colon) + ":***" + out.substr(at);
    // an SRT passphrase
    for (std::size_t p = out.find("passphrase="); p != std::string::npos;
         p = out.find("passphrase=", p + 1)) {
        const std::size_t end = out.find('&', p);
        out = out.substr(0, p + 11) + "***" + (end == std::string::npos ? "" : out.substr(end));
    }
    // an RTMP stream key, the last part of the path after the application
    if (starts(out, "rtmp://") || starts(out, "rtmps://")) {
        const std::size_t path = out.find('/', scheme + 3), last = out.rfind('/');
        if (path != std::string::npos && last > path && last + 1 < out.size())
            out = out.substr(0, last + 1) + "***";
    }
    return out;
}

std::string stream_text_line(const std::string &text, const std::string &title) {
    std::string out;
    for (std::size_t k = 0; k < text.size(); ++k) {
        if (text[k] == '%' && k + 1 < text.size() && (text[k + 1] == 't' || text[k + 1] == '%')) {
            out += text[k + 1] == 't' ? title : "%";
            ++k;
        } else {
            out += text[k];
        }
    }
    return out;
}

std::string stream_health_line(const stream_health &h) {
    char line[256];
    std::snprintf(line, sizeof line,
                  "%lld frames, detail %d, %lld dropped, %lld outages, %.0f kbit/s, %.1f MB "
                  "resident, %.2f s behind",
                  h.frames, h.detail, h.dropped, h.outages, h.kbit_s, h.resident_mb, h.behind_s);
    return line;
}

stream_parse stream_parse_args(int argc, const char *const *argv, stream_options &o,
                               std::string &message) {
    auto fail = [&](std::string text) {
        message = std::move(text);
        return stream_parse::error;
    };
    std::vector<std::string> positional;
    bool options_end = false, given_bitrate = false;
    for (int k = 1; k < argc; ++k) {
        std::string arg = argv[k], value;
        if (options_end || arg.size() < 2 || arg.compare(0, 2, "--") != 0) {
            positional.push_back(arg);
            continue;
        }
        if (arg == "--") {
            options_end = true;
            continue;
        }
        if (arg == "--help")
            return stream_parse::help;
        if (arg == "--version")
            return stream_parse::version;
        const std::size_t eq = arg.find('=');
        const bool flag = arg.compare(0, eq, "--loop") == 0 || arg.compare(0, eq, "--once") == 0;
        if (eq != std::string::npos) {
            value = arg.substr(eq + 1);
            arg.resize(eq);
            if (flag)
                return fail(arg + " takes no value");
        } else if (!flag) {
            if (k + 1 == argc)
                return fail(arg + " needs a value (see --help)");
            value = argv[++k];
        }
        long v;
        if (arg == "--loop" || arg == "--once") {
            (arg == "--loop" ? o.loop : o.once) = true;
        } else if (arg == "--size") {
            if (!render_parse_size(value, o.width, o.height, message))
                return stream_parse::error;
        } else if (arg == "--fps") {
            if (!render_parse_whole(value.c_str(), 1, 60, v))
                return fail("--fps " + value + ": give a whole number of frames a second, 1 to 60");
            o.fps = static_cast<int>(v);
        } else if (arg == "--detail") {
            if (!render_parse_whole(value.c_str(), 1, render_max_detail, v))
                return fail("--detail " + value + ": give a whole number of steps, 1 to " +
                            std::to_string(render_max_detail));
            o.detail = static_cast<int>(v);
        } else if (arg == "--bitrate") {
            if (!bitrate_of(value, o.bitrate))
                return fail("--bitrate " + value +
                            ": give the pictures' bits a second, 100k to 100M (3M, 2500k)");
            given_bitrate = true;
        } else if (arg == "--renderer") {
            if (!painter_parse(value.c_str(), o.painter))
                return fail("--renderer " + value + ": give auto, cpu or gl");
        } else if (arg == "--text") {
            if (value.empty() || value.find('\n') != std::string::npos)
                return fail("--text: give the text, on one line");
            o.text = value;
        } else if (arg == "--args-file") {
            return fail("--args-file comes alone: every argument is then in its file");
        } else if (arg == "--text-file") {
            if (value.empty())
                return fail("--text-file needs a file");
            o.text_file = value;
        } else {
            return fail("unknown option '" + arg + "' (see --help)");
        }
    }
    if (positional.size() < 2)
        return fail(positional.empty() ? "give a SOURCE and a DESTINATION (see --help)"
                                       : "give a DESTINATION after the SOURCE (see --help)");
    if (positional.size() > 2)
        return fail("one SOURCE and one DESTINATION, but '" + positional[2] +
                    "' is a third (see --help)");
    o.source = positional[0];
    o.destination = positional[1];
    if (o.source == "-")
        o.source_kind = stream_source_kind::standard_input;
    else if (o.source == "default")
        o.source_kind = stream_source_kind::default_input;
    else if (starts(o.source, "http://") || starts(o.source, "https://"))
        o.source_kind = stream_source_kind::http;
    else if (o.source.find("://") != std::string::npos)
        return fail(o.source + ": a source is a file, a folder, a .m3u playlist, -, default, or "
                               "an http:// or https:// stream");
    else
        o.source_kind = stream_source_kind::files;
    if (!stream_destination_of(o.destination, o.destination_kind))
        return fail(o.destination + ": the destination is rtmp://, rtmps://, srt:// or "
                                    "icecast://, or a path ending in .m3u8, .ts or .mkv");
    if (o.loop && o.source_kind != stream_source_kind::files)
        return fail("--loop is for a file, a folder or a playlist");
    if (!o.text.empty() && !o.text_file.empty())
        return fail("--text and --text-file both give the line: give one");
    if (o.width % 2 || o.height % 2)
        return fail("--size " + std::to_string(o.width) + "x" + std::to_string(o.height) +
                    ": a stream needs an even width and height");
    if (o.width > 7680 || o.height > 7680)
        return fail("--size " + std::to_string(o.width) + "x" + std::to_string(o.height) +
                    ": a stream is at most 7680 pixels a side");
    if (!given_bitrate)
        o.bitrate = stream_default_bitrate(o.width, o.height, o.fps);
    return stream_parse::run;
}
