// SPDX-License-Identifier: GPL-3.0-or-later
#include "overlay.h"

#include "av_owners.h"
#include "decode.h"
#include "decorations.h"
#include "image_file.h"
#include "input_file.h"
#include "own_stderr.h"
#include "picture/frame_time.h"

#include <algorithm>
#include <ass/ass.h>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <vector>

extern "C" {
#include <libavformat/avformat.h>
}

namespace {

render_options opts;
bool with_image;                   // a background or a cover: the picture goes over `under`
std::vector<unsigned char> under;  // the background and the cover, rows from the bottom
std::vector<unsigned char> framed; // the frame handed out
ASS_Library *library;
ASS_Renderer *renderer;
ASS_Track *track;
ASS_Image *shown; // the text of the frame being made
bool glyph_missing, said_glyph;
bool forced_change; // the text was set anew: the next frame differs

// libass's notes: only a character no font has is worth a line of ours
void on_message(int level, const char *format, va_list args, void *) {
    if (level > 2)
        return;
    char line[512];
    std::vsnprintf(line, sizeof line, format, args);
    if (std::strstr(line, "not found") || std::strstr(line, "failed to find any fallback"))
        glyph_missing = true;
}

// ASS's colour: &HAABBGGRR, AA 0 for opaque
std::string style(const char *name, double size, int align, int margin_v,
                  const decoration_layout &l) {
    char line[320];
    std::snprintf(line, sizeof line,
                  "Style: %s,DejaVu Sans,%.1f,&H00FFFFFF,&H00FFFFFF,&H60000000,&H80000000,%d,0,0,0,"
                  "100,100,0,0,1,%.1f,%.1f,%d,%d,%d,%d,1\n",
                  name, size, align == 8 ? 1 : 0, size * 0.05, size * 0.07, align, l.margin_left,
                  l.margin_right, margin_v);
    return line;
}

// A text as a line of ASS, shown as it is: braces and backslashes are not its codes
std::string literal(const std::string &text) {
    std::string out;
    for (const char c : text)
        out += c == '{' ? "\\{" : c == '}' ? "\\}" : c == '\\' ? "\\\u2060" : std::string(1, c);
    return out;
}

// The captions file's cues, decoded by FFmpeg (SubRip or WebVTT) into the track as events.
bool read_captions(const std::string &path, std::string &error) {
    std::string why;
    const auto in = input_file_open_local(path, "srt,webvtt", nullptr,
                                          "not captions lumora-render reads (.srt or .vtt)", why);
    if (!in) {
        error = path + ": " + why;
        return false;
    }
    AVFormatContext *f = in.get();
    if (f->nb_streams < 1) {
        error = path + ": no captions in it";
        return false;
    }
    const AVStream *st = f->streams[0];
    const AVCodec *codec = avcodec_find_decoder(st->codecpar->codec_id);
    codec_ptr c(codec ? avcodec_alloc_context3(codec) : nullptr);
    packet_ptr pkt(av_packet_alloc());
    if (!c || !pkt || avcodec_parameters_to_context(c.get(), st->codecpar) < 0 ||
        avcodec_open2(c.get(), codec, nullptr) < 0) {
        error = path + ": its captions cannot be decoded";
        return false;
    }
    int cues = 0;
    while (av_read_frame(f, pkt.get()) >= 0) {
        AVSubtitle sub;
        int got = 0;
        if (avcodec_decode_subtitle2(c.get(), &sub, &got, pkt.get()) >= 0 && got) {
            const long long start = av_rescale_q(pkt->pts, st->time_base, {1, 1000});
            const long long length = av_rescale_q(pkt->duration, st->time_base, {1, 1000});
            for (unsigned k = 0; k < sub.num_rects; ++k)
                if (sub.rects[k]->ass && length > 0) {
                    ass_process_chunk(track, sub.rects[k]->ass,
                                      static_cast<int>(std::strlen(sub.rects[k]->ass)), start,
                                      length);
                    ++cues;
                }
            avsubtitle_free(&sub);
        }
        av_packet_unref(pkt.get());
    }
    if (cues == 0) {
        error = path + ": no captions in it: an .srt has numbered cues, each with its times "
                       "(00:00:01,000 --> 00:00:03,000) and its text";
        return false;
    }
    return true;
}

// The title for the whole video, its number in the track after every caption's (libass keeps one
// event of each number), in place of any before. libass wraps a line only between words: a title
// wider than the room between the margins (one long word) is drawn smaller until it fits.
// Only the title is in the track while it is placed: the captions are read after it.
void remove_title() { ass_flush_events(track); }

void place_title(const std::string &title, const std::string &subtitle) {
    const int w = opts.width;
    const decoration_layout l = decoration_layout_for(w, opts.height);
    const int room = w - l.margin_left - l.margin_right;
    for (double scale = 1; !title.empty() || !subtitle.empty();) {
        char sizes[2][64];
        std::snprintf(sizes[0], sizeof sizes[0], "{\\fs%.1f}", l.title_size * scale);
        std::snprintf(sizes[1], sizeof sizes[1], "{\\fs%.1f\\b0}", l.subtitle_size * scale);
        std::string event = "2147483647,0,Title,,0,0,0,," + (title.empty() ? "" : sizes[0] + title);
        if (!subtitle.empty())
            event += (title.empty() ? "" : "\\N") + std::string(sizes[1]) + subtitle;
        // shown from the start for as long as any video or stream lasts
        ass_process_chunk(track, event.data(), static_cast<int>(event.size()), 0, 1LL << 50);
        int left = w, right = 0, change;
        for (const ASS_Image *i = ass_render_frame(renderer, track, 0, &change); i; i = i->next) {
            left = std::min(left, i->dst_x);
            right = std::max(right, i->dst_x + i->w);
        }
        if (right - left <= room || scale < 0.2)
            break;
        scale *= 0.97 * room / (right - left);
        remove_title();
    }
}

} // namespace

bool overlay_open(const render_options &o, std::string &error) {
    opts = o;
    const int w = o.width, h = o.height;
    const decoration_layout l = decoration_layout_for(w, h);
    const AVFormatContext *in = decode_container();
    const size_t bytes = static_cast<size_t>(w) * h * 4;
    framed.assign(bytes, 0);
    with_image = !o.background.empty() || o.cover;
    if (with_image)
        under.assign(bytes, 0);
    image img;
    if (!o.background.empty()) {
        if (!image_from_file(o.background, img, error))
            return false;
        image_place(img, {0, 0, w, h}, true, under.data(), w, h);
    }
    if (o.cover && !o.cover_file.empty()) {
        if (!image_from_file(o.cover_file, img, error))
            return false;
        image_place(img, l.cover, false, under.data(), w, h);
    } else if (o.cover) {
        const AVStream *pic = nullptr;
        for (unsigned k = 0; in && k < in->nb_streams; ++k)
            if (in->streams[k]->disposition & AV_DISPOSITION_ATTACHED_PIC)
                pic = in->streams[k];
        std::string why;
        if (!pic)
            std::fprintf(own_stderr(),
                         "lumora-render: %s has no cover of its own: the picture "
                         "goes without one\n",
                         o.input.c_str());
        else if (!image_from_packet(pic->codecpar, &pic->attached_pic, img, why))
            std::fprintf(own_stderr(),
                         "lumora-render: %s: its cover is %s: the picture goes "
                         "without one\n",
                         o.input.c_str(), why.c_str());
        else
            image_place(img, l.cover, false, under.data(), w, h);
    }
    if (o.title.empty() && o.subtitle.empty() && o.captions.empty())
        return true;
    library = ass_library_init();
    renderer = library ? ass_renderer_init(library) : nullptr;
    if (!renderer) {
        error = "libass cannot start";
        return false;
    }
    ass_set_message_cb(library, on_message, nullptr);
    ass_set_frame_size(renderer, w, h);
    ass_set_storage_size(renderer, w, h);
    ass_set_fonts(renderer, nullptr, "DejaVu Sans", ASS_FONTPROVIDER_AUTODETECT, nullptr, 1);
    std::string script = "[Script Info]\nScriptType: v4.00+\nPlayResX: " + std::to_string(w) +
                         "\nPlayResY: " + std::to_string(h) +
                         "\nWrapStyle: 0\nScaledBorderAndShadow: yes\n\n[V4+ Styles]\n"
                         "Format: Name, Fontname, Fontsize, PrimaryColour, SecondaryColour, "
                         "OutlineColour, BackColour, Bold, Italic, Underline, StrikeOut, ScaleX, "
                         "ScaleY, Spacing, Angle, BorderStyle, Outline, Shadow, Alignment, "
                         "MarginL, MarginR, MarginV, Encoding\n" +
                         style("Title", l.title_size, 8, l.title_top, l) +
                         style("Default", l.caption_size, 2, l.caption_bottom, l) +
                         "\n[Events]\nFormat: Layer, Start, End, Style, Name, MarginL, MarginR, "
                         "MarginV, Effect, Text\n";
    const sound_tags tags =
        sound_tags{decode_tag("title"), decode_tag("artist"), decode_tag("album")};
    const std::string title = literal(decoration_text(o.title, tags, o.input)),
                      subtitle = literal(decoration_text(o.subtitle, tags, o.input));
    track = ass_read_memory(library, script.data(), script.size(), nullptr);
    if (!track) {
        error = "libass cannot read the title";
        return false;
    }
    place_title(title, subtitle);
    return o.captions.empty() || read_captions(o.captions, error);
}

bool overlay_prepare(long long n) {
    if (!renderer)
        return false;
    int change = 0;
    // the frame's own time, to the millisecond below it: a caption shows from the first frame
    // at or after its start
    shown = ass_render_frame(renderer, track, n * 1000 / opts.fps, &change);
    if (glyph_missing && !said_glyph) {
        said_glyph = true;
        std::fprintf(own_stderr(),
                     "%s: no font here has every character of the title or captions: they show "
                     "as boxes (Debian's fonts-dejavu-core and fonts-droid-fallback have them)\n",
                     own_program());
    }
    const bool moved = change != 0 || forced_change;
    forced_change = false;
    return moved;
}

const unsigned char *overlay_apply(const unsigned char *pixels) {
    const int w = opts.width, h = opts.height;
    const size_t bytes = framed.size();
    if (with_image && pixels)
        screen_pictures(under.data(), pixels, bytes, framed.data());
    else if (with_image)
        std::memcpy(framed.data(), under.data(), bytes);
    else if (pixels)
        std::memcpy(framed.data(), pixels, bytes);
    else
        std::memset(framed.data(), 0, bytes);
    for (const ASS_Image *img = shown; img; img = img->next) {
        const unsigned c = img->color, opacity = 255 - (c & 0xFF);
        const unsigned r = c >> 24, g = (c >> 16) & 0xFF, b = (c >> 8) & 0xFF;
        for (int y = 0; y < img->h; ++y) {
            const int row = img->dst_y + y;
            if (row < 0 || row >= h)
                continue;
            unsigned char *out = framed.data() + (static_cast<size_t>(h - 1 - row) * w) * 4;
            for (int x = 0; x < img->w; ++x) {
                const int col = img->dst_x + x;
                const unsigned a = img->bitmap[y * img->stride + x] * opacity / 255;
                if (a == 0 || col < 0 || col >= w)
                    continue;
                unsigned char *p = out + col * 4;
                p[0] = static_cast<unsigned char>((b * a + p[0] * (255 - a) + 127) / 255);
                p[1] = static_cast<unsigned char>((g * a + p[1] * (255 - a) + 127) / 255);
                p[2] = static_cast<unsigned char>((r * a + p[2] * (255 - a) + 127) / 255);
            }
        }
    }
    return framed.data();
}

void overlay_set_text(const std::string &line) {
    if (!renderer)
        return;
    remove_title();
    place_title(literal(line), "");
    forced_change = true;
}

void overlay_close() {
    if (track)
        ass_free_track(track);
    if (renderer)
        ass_renderer_done(renderer);
    if (library)
        ass_library_done(library);
    track = nullptr;
    renderer = nullptr;
    library = nullptr;
    shown = nullptr;
}
