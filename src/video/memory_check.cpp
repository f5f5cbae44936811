// SPDX-License-Identifier: GPL-3.0-or-later
#include "memory_check.h"

#include <cmath>
#include <cstdio>
#include <fstream>
#include <sys/mman.h>

namespace {

// The memory the machine has free now, in bytes; 0 when it does not say.
long long memory_free() {
    std::ifstream info("/proc/meminfo");
    std::string key;
    long long kb;
    while (info >> key >> kb)
        if (key == "MemAvailable:")
            return kb * 1024;
    return 0;
}

} // namespace

long long render_memory_needed(const render_options &o) {
    const long long pixels = static_cast<long long>(o.width) * o.height;
    // BGRA: the picture, the one before it and a frame between the two, and for a video three in
    // the queue; YUV 4:2:0, 1.5 bytes, the encoder's
    if (o.kind == render_kind::gif) // every frame waits for the palette
        return pixels * 4 * (6 + static_cast<long long>(std::ceil((o.to - o.from) * o.fps)));
    // and what goes over the picture: an image under it and the frame made of both
    const long long over = render_decorated(o) ? pixels * 8 : 0;
    return over +
           (o.kind == render_kind::png ? pixels * (3 * 4 + 3) : pixels * (6 * 4 + 20 * 3 / 2));
}

std::string memory_short(const render_options &o) {
    char line[160];
    const long long need = render_memory_needed(o), room = memory_free();
    if (room > 0 && need > room) {
        std::snprintf(line, sizeof line,
                      "--size %dx%d needs about %.1f GB of memory, and %.1f GB are free", o.width,
                      o.height, need / 1e9, room / 1e9);
        return line;
    }
    // A process that may not have that much (ulimit -v, a container's limit) is told so at once:
    // FFTW aborts where an allocation fails, and x264 fails with a line of its own. The address
    // space a render holds, and room for the libraries', is taken and given back.
    const size_t trial = static_cast<size_t>(need) + (size_t{160} << 20);
    void *space = mmap(nullptr, trial, PROT_READ | PROT_WRITE,
                       MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (space == MAP_FAILED) {
        std::snprintf(line, sizeof line,
                      "out of memory: a render at %dx%d needs about %lld MB more than this "
                      "process may have",
                      o.width, o.height, static_cast<long long>(trial >> 20));
        return line;
    }
    munmap(space, trial);
    return "";
}
