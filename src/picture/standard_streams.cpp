// SPDX-License-Identifier: GPL-3.0-or-later
#include "standard_streams.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

void standard_streams_open() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF)
            continue;
        // the lowest free descriptor is this one: every lower one is open
        const int null = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
        if (null >= 0 && null != fd) { // not the lowest after all: move it there
            dup2(null, fd);
            close(null);
        }
    }
}
