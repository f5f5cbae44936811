// SPDX-License-Identifier: GPL-3.0-or-later
// Drawing without a window: an OpenGL compatibility context through EGL, on a GPU's EGL device
// where there is one and on Mesa's surfaceless platform (software rendering) otherwise, drawing
// into a framebuffer object of the picture's size. Frames are read back through two pixel buffer
// objects in turn, so that reading one back overlaps drawing the next. The painter draws into it
// as into a window. lumora-render's main thread only.
#pragma once

#include <string>

// Opens the context and a w x h framebuffer, cleared to black, with the unit square mapped onto
// it; with gpu_only, only on a GPU's EGL device, never Mesa's software renderer. On failure,
// error holds one line to print (offscreen_close then lets go of what did open). description() then
// says what draws.
bool offscreen_open(int w, int h, bool gpu_only, std::string &error);
void offscreen_close();

// What draws, for the first line lumora-render prints: the GL renderer and the EGL platform.
const std::string &offscreen_description();

// Starts reading back the frame just drawn and returns the one read before it (rows bottom-up,
// 4 bytes a pixel as the picture is kept: blue, green, red and a byte to ignore), or null for the
// first frame. The pointer stays valid until the next call.
const unsigned char *offscreen_read();

// Finishes and returns the last frame read, for the end of the run; null if there is none.
const unsigned char *offscreen_last();
