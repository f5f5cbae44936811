// SPDX-License-Identifier: GPL-3.0-or-later
#include "decorations.h"

#include <algorithm>
#include <cstddef>

decoration_layout decoration_layout_for(int w, int h) {
    decoration_layout l;
    const double unit = std::min(w, h);
    l.title_size = 0.075 * unit;
    l.subtitle_size = 0.05 * unit;
    l.caption_size = 0.055 * unit;
    l.margin_left = l.margin_right = static_cast<int>(0.05 * w);
    if (h > 1.2 * w) { // tall: title above the waves, captions below, clear of the buttons
        const int side = static_cast<int>(0.55 * w);
        l.cover = {(w - side) / 2, static_cast<int>(0.24 * h), side, side};
        l.title_top = static_cast<int>(0.11 * h);
        l.caption_bottom = static_cast<int>(0.27 * h);
        l.margin_left = static_cast<int>(0.06 * w);
        l.margin_right = static_cast<int>(0.17 * w);
    } else if (w > 1.2 * h) { // wide: the cover at the left
        const int side = static_cast<int>(0.45 * h);
        l.cover = {static_cast<int>(0.06 * w), (h - side) / 2, side, side};
        l.title_top = static_cast<int>(0.06 * h);
        l.caption_bottom = static_cast<int>(0.07 * h);
    } else { // square: the cover in the middle
        const int side = static_cast<int>(0.4 * h);
        l.cover = {(w - side) / 2, static_cast<int>(0.27 * h), side, side};
        l.title_top = static_cast<int>(0.07 * h);
        l.caption_bottom = static_cast<int>(0.08 * h);
    }
    return l;
}

std::string decoration_text(const std::string &pattern, const sound_tags &tags,
                            const std::string &path) {
    std::string name = path.substr(path.rfind('/') == std::string::npos ? 0 : path.rfind('/') + 1);
    if (const std::size_t dot = name.rfind('.'); dot != std::string::npos && dot > 0)
        name.resize(dot);
    if (pattern == "auto")
        return !tags.artist.empty() && !tags.title.empty() ? tags.artist + " \u2013 " + tags.title
               : !tags.title.empty()                       ? tags.title
                                                           : name;
    std::string out;
    for (std::size_t k = 0; k < pattern.size(); ++k) {
        const char next = k + 1 < pattern.size() ? pattern[k + 1] : '\0';
        if (pattern[k] != '%' || (next != 't' && next != 'a' && next != 'A' && next != '%')) {
            out += pattern[k];
            continue;
        }
        out += next == 't'   ? (tags.title.empty() ? name : tags.title)
               : next == 'a' ? tags.artist
               : next == 'A' ? tags.album
                             : std::string("%");
        ++k;
    }
    return out;
}
