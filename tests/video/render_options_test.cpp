// SPDX-License-Identifier: GPL-3.0-or-later
#include "video/decorations.h"
#include "video/render_options.h"

#include <gtest/gtest.h>
#include <initializer_list>
#include <vector>

namespace {

render_parse parse(std::initializer_list<const char *> args, render_options &o, std::string &why) {
    std::vector<const char *> argv = {"lumora-render"};
    argv.insert(argv.end(), args);
    return render_parse_args(static_cast<int>(argv.size()), argv.data(), o, why);
}

// Caught first: every M:SS time was refused, the check for a fraction before a ':' taking a
// missing '.' for one.
TEST(RenderOptions, Times) {
    double t = -1;
    EXPECT_TRUE(render_parse_time("90", t) && t == 90);
    EXPECT_TRUE(render_parse_time("12.5", t) && t == 12.5);
    EXPECT_TRUE(render_parse_time("1:30", t) && t == 90);
    EXPECT_TRUE(render_parse_time("1:02:03.5", t) && t == 3723.5);
    EXPECT_TRUE(render_parse_time("100:00:00", t) && t == render_max_time);
    // strtod took hexadecimal, exponents and NaN: "0x10" was 16 s and "1e308" overflowed a frame
    // number
    for (const char *bad : {"",        "-3",  "abc",       "1:75",   "1.5:30",
                            "1:2:3:4", "2x",  "1:",        "inf",    "nan",
                            "0x10",    "1e3", "1e308",     "+5",     " 5",
                            "5.",      ".5",  "100:00:01", "360001", "99999999999999999999"})
        EXPECT_FALSE(render_parse_time(bad, t)) << "'" << bad << "'";
    EXPECT_EQ(render_format_time(3723.4), "1:02:03");
    EXPECT_EQ(render_format_time(59.6), "1:00");
}

// A .png takes any size and --at; a video takes even sizes, --from before --to, and no --at.
TEST(RenderOptions, WhatAVideoAndAPictureTake) {
    render_options o;
    std::string why;
    ASSERT_EQ(parse({"in.ogg", "out.MP4", "--size=640x360", "--fps", "25"}, o, why),
              render_parse::run)
        << why;
    EXPECT_EQ(o.kind, render_kind::mp4);
    EXPECT_EQ(o.width, 640);
    EXPECT_EQ(o.fps, 25);
    EXPECT_EQ(o.detail, render_default_detail);
    EXPECT_EQ(parse({"in.ogg", "out.png", "--size", "641x361", "--at", "1:00"}, o, why),
              render_parse::run)
        << why;
    EXPECT_EQ(o.at, 60);
    EXPECT_EQ(parse({"in.ogg", "out.mp4", "--size", "8192x4352"}, o, why), render_parse::run)
        << why;
    // a .gif: small, short and at 15 frames a second unless told
    render_options gif;
    ASSERT_EQ(parse({"in.ogg", "out.gif", "--from", "1:00"}, gif, why), render_parse::run) << why;
    EXPECT_EQ(gif.width * 1000 + gif.height, 480270);
    EXPECT_EQ(gif.fps, 15);
    EXPECT_EQ(gif.to, 70);
    ASSERT_EQ(parse({"in.ogg", "out.mp4", "--size", "480p"}, o, why), render_parse::run) << why;
    EXPECT_EQ(o.width * 1000 + o.height, 854480); // 16:9 and even, as a video needs
    ASSERT_EQ(parse({"in.ogg", "out.mp4", "--size=4K"}, o, why), render_parse::run) << why;
    EXPECT_EQ(o.width * 10000 + o.height, 38402160);
    EXPECT_EQ(parse({"in.ogg", "out.png", "--size", "16000x16000"}, o, why), render_parse::run)
        << why;
    // --lossless keeps the picture's own pixels: any size, and a .mkv only
    ASSERT_EQ(parse({"in.ogg", "out.mkv", "--lossless", "--size", "641x361"}, o, why),
              render_parse::run)
        << why;
    EXPECT_TRUE(o.lossless);
    // a segment: frames A to B - 1, the range --from A / fps --to B / fps gives
    render_options seg;
    ASSERT_EQ(
        parse({"in.ogg", "out.mkv", "--frames", "90:120", "--fps", "30", "--no-sound"}, seg, why),
        render_parse::run)
        << why;
    EXPECT_TRUE(seg.no_sound);
    EXPECT_EQ(render_first_frame(seg), 90);
    EXPECT_FALSE(render_frame_past_end(seg, 119));
    EXPECT_TRUE(render_frame_past_end(seg, 120));
    EXPECT_EQ(seg.from, 3);
    EXPECT_EQ(seg.to, 4);
    render_options rest; // A: runs to the end of the sound
    ASSERT_EQ(parse({"in.ogg", "out.mkv", "--frames", "90:"}, rest, why), render_parse::run);
    EXPECT_EQ(rest.end_frame, -1);
    EXPECT_FALSE(render_frame_past_end(rest, 1LL << 40));
    render_options join; // the segments follow OUTPUT, in their order
    ASSERT_EQ(parse({"in.ogg", "out.mkv", "--join", "a.mkv", "b.mkv", "--no-sound"}, join, why),
              render_parse::run)
        << why;
    EXPECT_EQ(join.segments, (std::vector<std::string>{"a.mkv", "b.mkv"}));
    render_options timed; // 0.1 s at 30 frames a second is 3.0000000000000004 frames
    ASSERT_EQ(parse({"in.ogg", "out.mp4", "--from", "0.1", "--to", "0.2"}, timed, why),
              render_parse::run);
    EXPECT_EQ(render_first_frame(timed), 3);
    EXPECT_FALSE(render_frame_past_end(timed, 5));
    EXPECT_TRUE(render_frame_past_end(timed, 6));
    for (auto args : std::vector<std::vector<const char *>>{
             {"in.ogg", "out.mp4", "--size", "641x360"}, // yuv420p: even sizes only
             {"in.ogg", "out.webm", "--size", "0x720"},
             {"in.ogg", "out.mp4", "--fps", "0"},
             {"in.ogg", "out.mp4", "--detail", "0"},
             {"in.ogg", "out.mp4", "--from", "2:00", "--to", "1:00"},
             {"in.ogg", "out.mp4", "--from", "5", "--to", "5"},
             {"in.ogg", "out.mp4", "--at", "5"},
             {"in.ogg", "out.png", "--from", "5"},
             {"in.ogg", "out.avi"},
             {"song.mp4", "song.mp4"},
             {"in.ogg"},
             {"in.ogg", "out.mp4", "extra"},
             {"in.ogg", "out.mp4", "--size"},
             {"in.ogg", "out.mp4", "--colour", "red"},
             {"in.ogg", "out.mp4", "--size", "720"},
             {"in.ogg", "out.gif", "--size", "641x360"},
             {"in.ogg", "out.gif", "--fps", "31"},
             {"in.ogg", "out.gif", "--to", "16"},
             {"in.ogg", "out.gif", "--at", "5"},
             {"in.ogg", "out.mp4", "--lossless"},
             {"in.ogg", "out.mkv", "--lossless=yes"},
             {"in.ogg", "out.mkv", "--frames", "5:5"},
             {"in.ogg", "out.mkv", "--frames", "5"},
             {"in.ogg", "out.mkv", "--frames", "-1:5"},
             {"in.ogg", "out.mkv", "--frames", "1:2", "--from", "1"},
             {"in.ogg", "out.png", "--frames", "1:2"},
             {"in.ogg", "out.gif", "--no-sound"},
             {"in.ogg", "out.mkv", "--join"},
             {"in.ogg", "out.mkv", "--join", "a.mkv", "--size", "640x360"},
             {"in.ogg", "out.gif", "--join", "a.mkv"},
             {"in.ogg", "out.mkv", "--plan", "4", "--frames", "0:9"},
             {"in.ogg", "out.mkv", "--plan", "0"},
             // what the encoders cannot make: refused before the input is opened
             {"in.ogg", "out.png", "--size", "16384x16384"},
             {"in.ogg", "out.mp4", "--size", "16386x720"},
             {"in.ogg", "out.webm", "--size", "8192x4354"}}) {
        render_options fresh;
        std::vector<const char *> argv = {"lumora-render"};
        argv.insert(argv.end(), args.begin(), args.end());
        EXPECT_EQ(render_parse_args(static_cast<int>(argv.size()), argv.data(), fresh, why),
                  render_parse::error)
            << args.back();
        EXPECT_FALSE(why.empty());
    }
    render_options fresh;
    EXPECT_EQ(parse({"--help"}, fresh, why), render_parse::help);
    EXPECT_EQ(parse({"--", "-odd-name.wav", "out.mp4"}, fresh, why), render_parse::run) << why;
    EXPECT_EQ(fresh.input, "-odd-name.wav");
}

// The title's text from the tags, and the cover taken as the input's own unless an image's name
// follows, so that INPUT after --cover is never taken for one.
TEST(RenderOptions, TitlesAndCovers) {
    const sound_tags full{"Main Theme", "Frozen Bubble", "Music"}, none{};
    EXPECT_EQ(decoration_text("auto", full, "/a/b/song.mp3"), "Frozen Bubble \u2013 Main Theme");
    EXPECT_EQ(decoration_text("auto", none, "/a/b/my song.final.mp3"), "my song.final");
    EXPECT_EQ(decoration_text("%a: %t (%A) 100%% %x", full, "x.mp3"),
              "Frozen Bubble: Main Theme (Music) 100% %x");
    EXPECT_EQ(decoration_text("%t%", none, "dir/take.flac"), "take%");
    render_options o;
    std::string why;
    ASSERT_EQ(parse({"--cover", "song.mp3", "clip.mp4", "--size", "vertical"}, o, why),
              render_parse::run)
        << why;
    EXPECT_TRUE(o.cover && o.cover_file.empty());
    EXPECT_EQ(o.input, "song.mp3");
    EXPECT_EQ(o.width * 10000 + o.height, 10801920);
    ASSERT_EQ(parse({"song.mp3", "clip.mp4", "--cover", "Front.JPG"}, o, why), render_parse::run);
    EXPECT_EQ(o.cover_file, "Front.JPG");
}

// A tall picture keeps its title and captions out of the top tenth, the bottom quarter and the
// right sixth, where the platforms put their own buttons and text; every layout keeps the cover
// on the picture.
TEST(RenderOptions, LayoutsFollowTheShape) {
    for (const auto &[w, h] :
         {std::pair{1080, 1920}, std::pair{1080, 1080}, std::pair{1280, 720}, std::pair{160, 90}}) {
        const decoration_layout l = decoration_layout_for(w, h);
        EXPECT_GE(l.cover.x, 0);
        EXPECT_GE(l.cover.y, 0);
        EXPECT_LE(l.cover.x + l.cover.w, w);
        EXPECT_LE(l.cover.y + l.cover.h, h);
        EXPECT_GT(l.title_size, 0);
        if (h > w) {
            EXPECT_GE(l.title_top, h / 10);
            EXPECT_GE(l.caption_bottom, h / 4);
            EXPECT_GE(l.margin_right, w / 6);
        }
    }
}

} // namespace
