// SPDX-License-Identifier: GPL-3.0-or-later
#include "painter_choice.h"

#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <strings.h>

bool painter_parse(const char *text, painter_choice &choice) {
    if (!text)
        return false;
    if (!std::strcmp(text, "auto"))
        choice = painter_choice::automatic;
    else if (!std::strcmp(text, "cpu"))
        choice = painter_choice::cpu;
    else if (!std::strcmp(text, "gl"))
        choice = painter_choice::gl;
    else
        return false;
    return true;
}

bool painter_is_software(const char *gl_renderer) {
    if (!gl_renderer)
        return true; // nothing to go by: the processor's own painter is the safe side
    for (const char *name : {"llvmpipe", "softpipe", "swrast", "software"})
        if (strcasestr(gl_renderer, name))
            return true;
    return false;
}

bool painter_on_cpu(painter_choice choice, const char *gl_renderer) {
    return choice == painter_choice::cpu ||
           (choice == painter_choice::automatic && painter_is_software(gl_renderer));
}

void painter_gl_exact() { setenv("LP_PERF", "no_rast_linear", 0); }
