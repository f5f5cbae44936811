// SPDX-License-Identifier: GPL-3.0-or-later
#include "segments.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace {

std::string range_text(long long first, long long end) {
    return std::to_string(first) + ":" + (end >= 0 ? std::to_string(end) : "");
}

std::string drawn_text(const segment_info &s) {
    return std::to_string(s.width) + "x" + std::to_string(s.height) + ", " + std::to_string(s.fps) +
           " fps, detail " + std::to_string(s.detail) + ", in " + s.pictures;
}

} // namespace

std::string segment_describe(const segment_info &s) {
    return "frames=" + range_text(s.first, s.end) + " fps=" + std::to_string(s.fps) +
           " size=" + std::to_string(s.width) + "x" + std::to_string(s.height) +
           " detail=" + std::to_string(s.detail) + " pictures=" + s.pictures +
           " sound=" + std::to_string(s.sound_bytes) + " " + s.sound_name;
}

bool segment_parse(const std::string &tag, segment_info &s) {
    long long first, end = -1, bytes;
    int fps, w, h, detail, name = 0, b_at = 0, b_end = 0;
    char pictures[32];
    // the end of the range may be empty: "frames=A: fps=..."
    if (std::sscanf(tag.c_str(), "frames=%lld:%n%*[0-9]%n", &first, &b_at, &b_end) < 1 || b_at == 0)
        return false;
    if (b_end > b_at)
        end = std::strtoll(tag.c_str() + b_at, nullptr, 10);
    const char *rest = tag.c_str() + std::max(b_at, b_end);
    if (std::sscanf(rest, " fps=%d size=%dx%d detail=%d pictures=%31s sound=%lld %n", &fps, &w, &h,
                    &detail, pictures, &bytes, &name) != 6 ||
        name == 0 || rest[name] == '\0' || first < 0 || (end >= 0 && end <= first) || fps < 1 ||
        w < 1 || h < 1 || detail < 1)
        return false;
    s = {first, end, fps, w, h, detail, pictures, bytes, rest + name};
    return true;
}

segment_info segment_of_sound(const std::string &path, long long bytes) {
    segment_info s;
    const std::size_t slash = path.rfind('/');
    s.sound_name = slash == std::string::npos ? path : path.substr(slash + 1);
    s.sound_bytes = bytes;
    return s;
}

bool segments_follow(const std::vector<segment_info> &segs, const std::vector<std::string> &names,
                     const segment_info &sound, std::string &message) {
    for (std::size_t k = 0; k < segs.size(); ++k) {
        const segment_info &s = segs[k];
        if (s.sound_bytes >= 0 && sound.sound_bytes >= 0 &&
            (s.sound_bytes != sound.sound_bytes || s.sound_name != sound.sound_name)) {
            message = names[k] + ": a segment of " + s.sound_name + " (" +
                      std::to_string(s.sound_bytes) + " bytes), not of " + sound.sound_name + " (" +
                      std::to_string(sound.sound_bytes) + " bytes)";
            return false;
        }
        if (k == 0)
            continue;
        const segment_info &p = segs[k - 1];
        if (drawn_text(s) != drawn_text(segs[0])) {
            message = names[k] + ": drawn at " + drawn_text(s) + ", and " + names[0] + " at " +
                      drawn_text(segs[0]);
            return false;
        }
        if (p.end < 0) {
            message = names[k - 1] + ": runs to the end of the sound, so " + names[k] +
                      " cannot follow it";
            return false;
        }
        if (s.first > p.end) {
            message = names[k] + ": starts at frame " + std::to_string(s.first) + ", but " +
                      names[k - 1] + " ends at frame " + std::to_string(p.end - 1) + ": frames " +
                      std::to_string(p.end) + " to " + std::to_string(s.first - 1) + " are missing";
            return false;
        }
        if (s.first < p.end) {
            message = names[k] + ": starts at frame " + std::to_string(s.first) + ", inside " +
                      names[k - 1] + " (frames " + std::to_string(p.first) + " to " +
                      std::to_string(p.end - 1) + ")";
            return false;
        }
    }
    return true;
}

std::string shell_word(const std::string &word) {
    bool plain = !word.empty();
    for (const char c : word)
        plain = plain && (std::isalnum(static_cast<unsigned char>(c)) ||
                          std::string("_./:=+-,@%").find(c) != std::string::npos);
    if (plain)
        return word;
    std::string quoted = "'";
    for (const char c : word)
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

std::vector<std::string> plan_commands(const std::string &program, const render_options &o,
                                       long long estimate, std::string &message) {
    const long long first = render_first_frame(o);
    const long long end =
        std::isfinite(o.to) ? static_cast<long long>(std::ceil(o.to * o.fps - 1e-9)) : estimate;
    const int n = o.plan;
    if (end - first < n) {
        message = "--plan " + std::to_string(n) + ": the video has " +
                  std::to_string(std::max(0LL, end - first)) + " frames, fewer than that";
        return {};
    }
    // OUTPUT's name with the segment's number before its extension: mix.mp4, mix.part2of4.mp4
    const std::size_t dot = o.output.rfind('.');
    const std::string stem = o.output.substr(0, dot), ext = o.output.substr(dot);
    const int digits = static_cast<int>(std::to_string(n).size());
    std::string settings = " --size " + std::to_string(o.width) + "x" + std::to_string(o.height) +
                           " --fps " + std::to_string(o.fps) + " --detail " +
                           std::to_string(o.detail);
    if (o.painter != painter_choice::automatic)
        settings += o.painter == painter_choice::cpu ? " --renderer cpu" : " --renderer gl";
    if (o.lossless)
        settings += " --lossless";
    // what goes over the picture goes over every segment's
    for (const auto &[option, value] :
         {std::pair{"--title", o.title}, std::pair{"--subtitle", o.subtitle},
          std::pair{"--background", o.background}, std::pair{"--captions", o.captions}})
        if (!value.empty())
            settings += std::string(" ") + option + " " + shell_word(value);
    if (o.cover)
        settings += o.cover_file.empty() ? " --cover" : " --cover=" + shell_word(o.cover_file);
    const std::string keep = o.keep_existing ? " --keep-existing" : "";
    settings += keep;
    std::vector<std::string> lines;
    std::string join = shell_word(program) + " " + shell_word(o.input) + " " +
                       shell_word(o.output) + (o.no_sound ? " --no-sound" : "") + keep + " --join";
    for (int k = 0; k < n; ++k) {
        const long long a = first + (end - first) * k / n;
        const long long b = first + (end - first) * (k + 1) / n;
        char number[48];
        std::snprintf(number, sizeof number, ".part%0*dof%d", digits, k + 1, n);
        const std::string segment = stem + number + ext;
        // the last runs to the end of the sound, where the whole render ends
        const bool open = k == n - 1 && !std::isfinite(o.to);
        lines.push_back(shell_word(program) + " " + shell_word(o.input) + " " +
                        shell_word(segment) + " --frames " + range_text(a, open ? -1 : b) +
                        " --no-sound" + settings);
        join += " " + shell_word(segment);
    }
    lines.push_back(join);
    return lines;
}
