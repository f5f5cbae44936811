// SPDX-License-Identifier: GPL-3.0-or-later
#include "fatal.h"

#include <cstdio>
#include <cstdlib>

int error_status(int code) {
    // an exit status keeps only the low 8 bits: -9984 would read as 0, i.e. success
    return (code & 0xff) != 0 ? code : 1;
}

void error(const char *prefix, const char *text, int code) {
    std::fprintf(stderr, "%s%s\n", prefix, text);
    std::exit(error_status(code));
}

void error_now(const char *prefix, const char *text, int code) {
    std::fprintf(stderr, "%s%s\n", prefix, text);
    std::fflush(stderr);
    std::_Exit(error_status(code));
}
