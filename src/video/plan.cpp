// SPDX-License-Identifier: GPL-3.0-or-later
// The plan's split points come from the length INPUT's header states (or, where it states none,
// the length it decodes to): the same on every machine for the same file, and the last segment
// runs to the end of the sound, so an estimate that is a little off only makes it a little longer
// or shorter.
#include "join.h"

#include "decode.h"
#include "own_stderr.h"
#include "picture/frame_time.h"
#include "segments.h"

#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <sys/stat.h>

int plan_print(const render_options &o, const char *program) {
    std::string line;
    struct stat st;
    if (o.input == "-" || stat(o.input.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
        std::fprintf(own_stderr(),
                     "lumora-render: --plan: %s is not a file, and each segment "
                     "reads INPUT for itself: give a file\n",
                     o.input.c_str());
        return 2;
    }
    double length = 0;
    if (!decode_open(o.input.c_str(), line) ||
        ((length = decode_length()) <= 0 && !decode_measure(o.input.c_str(), length, line))) {
        std::fprintf(own_stderr(), "lumora-render: %s\n", line.c_str());
        decode_close();
        return 1;
    }
    decode_close();
    // run as a path: the same path on every machine; run from PATH: its name
    char whole[PATH_MAX];
    const std::string self =
        std::string(program).find('/') != std::string::npos && realpath(program, whole) ? whole
                                                                                        : program;
    const std::vector<std::string> lines =
        plan_commands(self, o, frames_of_sound(std::llround(length * 44100), o.fps), line);
    if (lines.empty()) {
        std::fprintf(own_stderr(), "lumora-render: %s\n", line.c_str());
        return 1;
    }
    for (const std::string &l : lines)
        std::printf("%s\n", l.c_str());
    return std::fflush(stdout) == 0 ? 0 : 1;
}
