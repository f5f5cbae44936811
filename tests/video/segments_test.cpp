// SPDX-License-Identifier: GPL-3.0-or-later
#include "video/segments.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

segment_info seg(long long first, long long end) {
    segment_info s = segment_of_sound("/music/my mix.flac", 1234);
    s.first = first;
    s.end = end;
    s.fps = 30;
    s.width = 1280;
    s.height = 720;
    s.detail = 128;
    s.pictures = "ffv1";
    return s;
}

// A range that runs to the end ("frames=120: fps=30") reads back as such. Caught first: a tag
// that named no sound was taken.
TEST(Segments, TagsReadBackAsWritten) {
    for (const segment_info &s : {seg(0, 60), seg(120, -1)}) {
        segment_info back;
        ASSERT_TRUE(segment_parse(segment_describe(s), back)) << segment_describe(s);
        EXPECT_EQ(segment_describe(back), segment_describe(s));
        EXPECT_EQ(back.end, s.end);
        EXPECT_EQ(back.sound_name, "my mix.flac");
    }
    segment_info back;
    for (const char *bad : {"", "frames=5:5 fps=30 size=1x1 detail=1 pictures=x sound=1 a",
                            "frames=:9 fps=30 size=1x1 detail=1 pictures=x sound=1 a",
                            "frames=0:9 fps=30 size=1x1 detail=1 pictures=x sound=1 "})
        EXPECT_FALSE(segment_parse(bad, back)) << bad;
}

TEST(Segments, AJoinNamesTheSegmentThatDoesNotFollow) {
    const std::vector<std::string> names = {"a", "b", "c"};
    const segment_info sound = segment_of_sound("elsewhere/my mix.flac", 1234);
    std::string why;
    EXPECT_TRUE(segments_follow({seg(0, 60), seg(60, 90), seg(90, -1)}, names, sound, why));
    struct {
        std::vector<segment_info> segs;
        const char *says;
    } cases[] = {
        {{seg(0, 60), seg(61, 90)}, "b: starts at frame 61, but a ends at frame 59"},
        {{seg(0, 60), seg(59, 90)}, "b: starts at frame 59, inside a (frames 0 to 59)"},
        {{seg(0, -1), seg(60, 90)}, "a: runs to the end of the sound, so b cannot follow it"},
        {{seg(0, 60), seg(60, 90), seg(90, -1)}, "c: drawn at 1280x720, 30 fps, detail 96"},
        {{seg(0, 60), seg(60, 90)}, "b: a segment of my mix.flac (99 bytes), not of"},
    };
    cases[3].segs[2].detail = 96;
    cases[4].segs[1].sound_bytes = 99;
    for (auto &c : cases) {
        EXPECT_FALSE(segments_follow(c.segs, names, sound, why));
        EXPECT_EQ(why.rfind(c.says, 0), 0u) << why;
    }
    // read from a pipe, a segment's sound cannot be told by its size
    std::vector<segment_info> piped = {seg(0, 60)};
    piped[0].sound_bytes = -1;
    EXPECT_TRUE(segments_follow(piped, names, sound, why));
}

// 100 frames in 7 segments: every frame in one, none left out by rounding, the last running on to
// the end of the sound, whatever the estimate.
TEST(Segments, APlanCoversEveryFrameOnce) {
    render_options o;
    o.input = "it's.flac";
    o.output = "out/mix.mkv";
    o.lossless = true;
    o.plan = 7;
    std::string why;
    const std::vector<std::string> lines = plan_commands("lumora-render", o, 100, why);
    ASSERT_EQ(lines.size(), 8u) << why;
    EXPECT_EQ(lines[0], "lumora-render 'it'\\''s.flac' out/mix.part1of7.mkv --frames 0:14 "
                        "--no-sound --size 1280x720 --fps 30 --detail 128 --lossless");
    EXPECT_NE(lines[6].find(" --frames 85: "), std::string::npos) << lines[6];
    EXPECT_EQ(lines[7].rfind("lumora-render 'it'\\''s.flac' out/mix.mkv --join "
                             "out/mix.part1of7.mkv out/mix.part2of7.mkv",
                             0),
              0u)
        << lines[7];
    // within --from and --to, the last segment ends with the range
    o.from = 1;
    o.to = 2;
    o.plan = 3;
    const std::vector<std::string> part = plan_commands("lumora-render", o, 100, why);
    ASSERT_EQ(part.size(), 4u) << why;
    EXPECT_NE(part[0].find(" --frames 30:40 "), std::string::npos) << part[0];
    EXPECT_NE(part[2].find(" --frames 50:60 "), std::string::npos) << part[2];
    o.plan = 31;
    EXPECT_TRUE(plan_commands("lumora-render", o, 100, why).empty());
    EXPECT_EQ(why, "--plan 31: the video has 30 frames, fewer than that");
}

} // namespace
