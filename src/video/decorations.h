// SPDX-License-Identifier: GPL-3.0-or-later
// What lumora-render can lay over its picture for a video to share, worked out before anything
// is drawn: where the cover, the title and the captions go for the picture's shape, and the
// title's text from the input's tags. Pure: no file, library or GL call.
#pragma once

#include <string>

struct box {
    int x = 0, y = 0, w = 0, h = 0; // from the top left
};

// Where things go on a W x H picture, in pixels from its top. A wide picture has the cover at
// its left; a square one in its middle, and a tall one (a phone's) keeps the title and the
// captions clear of the bands the platforms cover with their own buttons and text: the top
// tenth, the bottom quarter and the right sixth.
struct decoration_layout {
    box cover;              // the square the cover fits into, centred
    int title_top = 0;      // the title's first line, from the top
    int caption_bottom = 0; // the captions' last line, from the bottom
    int margin_left = 0, margin_right = 0;
    double title_size = 0, subtitle_size = 0, caption_size = 0; // the type's height, in pixels
};
decoration_layout decoration_layout_for(int w, int h);

// The input's tags, as its file has them (empty where it has none).
struct sound_tags {
    std::string title, artist, album;
};

// The title's text: %t, %a and %A the title, artist and album (%t the file's name where there is
// no title), %% a percent sign; "auto" is "artist – title" where both tags are there, else the
// title, else the file's name without its folder and extension.
std::string decoration_text(const std::string &pattern, const sound_tags &tags,
                            const std::string &path);
