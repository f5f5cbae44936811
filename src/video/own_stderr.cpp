// SPDX-License-Identifier: GPL-3.0-or-later
#include "own_stderr.h"

#include <fcntl.h>
#include <unistd.h>

namespace {
FILE *ours_file;
int ours = 2;
} // namespace

void own_stderr_install() {
    const int kept = fcntl(2, F_DUPFD_CLOEXEC, 3);
    const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
    FILE *f = kept >= 0 && null >= 0 ? fdopen(kept, "w") : nullptr;
    if (!f) { // without a descriptor to spare, the libraries keep theirs: better than no lines
        if (kept >= 0)
            close(kept);
        if (null >= 0)
            close(null);
        return;
    }
    std::setvbuf(f, nullptr, _IONBF, 0); // unbuffered, as standard error is
    std::fflush(stderr);
    ours_file = f;
    ours = kept;
    dup2(null, 2);
    close(null);
}

FILE *own_stderr() { return ours_file ? ours_file : stderr; }
int own_stderr_fd() { return ours; }

static const char *program_name = "lumora-render";
const char *own_program() { return program_name; }
void own_program_set(const char *name) { program_name = name; }
