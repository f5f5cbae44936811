// SPDX-License-Identifier: GPL-3.0-or-later
// Times as the user writes them, and as messages and the progress line show them.
#include "render_options.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>

bool render_parse_time(const char *text, double &seconds) {
    // up to three fields of digits separated by ':', and a fraction of digits after the last one;
    // nothing else, so that no exponent, hexadecimal, sign, NaN or infinity gets through strtod
    double total = 0;
    int fields = 0;
    const char *s = text;
    while (true) {
        if (!std::isdigit(static_cast<unsigned char>(*s)) || ++fields > 3)
            return false;
        double v = 0;
        int digits = 0;
        for (; std::isdigit(static_cast<unsigned char>(*s)); ++s)
            if (++digits <= 9) // more digits than any time up to the limit has: refused below
                v = v * 10 + (*s - '0');
            else
                v = render_max_time + 1;
        if (fields > 1 && v >= 60)
            return false; // minutes and seconds after the first field stay below 60
        total = total * 60 + v;
        if (*s == ':') {
            ++s;
            continue;
        }
        if (*s == '.') {
            double scale = 0.1;
            if (!std::isdigit(static_cast<unsigned char>(*++s)))
                return false;
            for (; std::isdigit(static_cast<unsigned char>(*s)); ++s, scale /= 10)
                total += (*s - '0') * scale;
        }
        if (*s != '\0' || total > render_max_time)
            return false;
        seconds = total;
        return true;
    }
}

std::string render_format_time(double seconds) {
    char buf[32];
    const long s = std::lround(std::max(0.0, seconds));
    if (s >= 3600)
        std::snprintf(buf, sizeof buf, "%ld:%02ld:%02ld", s / 3600, s / 60 % 60, s % 60);
    else
        std::snprintf(buf, sizeof buf, "%ld:%02ld", s / 60, s % 60);
    return buf;
}
