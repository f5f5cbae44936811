// SPDX-License-Identifier: GPL-3.0-or-later
// Whether a render of o's size has the memory it needs, asked before anything is opened: a size
// the machine cannot hold costs one line, not a failure deep in FFTW or x264.
#pragma once

#include "render_options.h"

#include <string>

// Empty where the memory is there; else the line that says what is short.
std::string memory_short(const render_options &o);
