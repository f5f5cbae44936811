// SPDX-License-Identifier: GPL-3.0-or-later
// A files source: what plays, in order, and what each is called.
#include "stream_source_parts.h"

#include "decode.h"
#include "own_stderr.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <sstream>
#include <sys/stat.h>

// A file's title: "artist – title", or its title, or its name without folder and extension.
std::string stream_parts::stream_file_title(const std::string &path) {
    const std::string t = decode_tag("title"), a = decode_tag("artist");
    if (!t.empty())
        return a.empty() ? t : a + " \u2013 " + t;
    std::string name = path.substr(path.rfind('/') == std::string::npos ? 0 : path.rfind('/') + 1);
    const std::size_t dot = name.rfind('.');
    return dot == std::string::npos || dot == 0 ? name : name.substr(0, dot);
}

// The files of a folder, by name, or of a playlist, or the one file.
std::vector<std::string> stream_parts::stream_files_list(const std::string &path,
                                                         std::string &why) {
    std::vector<std::string> out;
    struct stat st;
    if (stat(path.c_str(), &st) != 0) {
        why = path + ": " + std::strerror(errno);
        return out;
    }
    if (S_ISDIR(st.st_mode)) {
        if (DIR *d = opendir(path.c_str())) {
            while (const dirent *e = readdir(d))
                if (stream_sound_name(e->d_name))
                    out.push_back(path + "/" + e->d_name);
            closedir(d);
        }
        std::sort(out.begin(), out.end());
        if (out.empty())
            why = path + ": a folder without sound files (.flac, .mp3, .ogg, .opus, .wav, ...)";
        return out;
    }
    const std::size_t dot = path.rfind('.');
    std::string ext = dot == std::string::npos ? "" : path.substr(dot);
    for (char &c : ext)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (ext == ".m3u" || ext == ".m3u8") {
        std::ifstream in(path);
        std::stringstream text;
        text << in.rdbuf();
        const std::size_t slash = path.rfind('/');
        int refused = 0;
        out = stream_playlist_entries(
            text.str(), slash == std::string::npos ? "." : path.substr(0, slash), refused);
        if (refused > 0)
            std::fprintf(own_stderr(),
                         "lumora-stream: %s: %d %s left out: a playlist here names local files "
                         "only\n",
                         path.c_str(), refused, refused == 1 ? "address" : "addresses");
        if (out.empty())
            why = path + ": a playlist without local files";
        return out;
    }
    out.push_back(path);
    return out;
}
