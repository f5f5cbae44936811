// SPDX-License-Identifier: GPL-3.0-or-later
// The output file: written under a temporary name beside OUTPUT, which a signal handler removes
// when the render is interrupted, and renamed to OUTPUT once complete.
#include "encode_parts.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

// The temporary file, beside OUTPUT. Its path is also read by the signal handler.
char temp_path[PATH_MAX];
char interrupted_line[PATH_MAX + 64];
int temp_fd = -1;

extern "C" void on_signal(int sig) {
    // only what is safe in a signal handler: the temporary file goes, OUTPUT stays as it was
    if (temp_path[0])
        unlink(temp_path);
    const ssize_t ignored = write(2, interrupted_line, std::strlen(interrupted_line));
    (void)ignored;
    _exit(128 + sig);
}

std::string folder_of(const std::string &path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

} // namespace

bool output_file_prepare(const render_options &o, std::string &error) {
    struct stat in, out;
    if (stat(o.output.c_str(), &out) == 0) {
        if (S_ISDIR(out.st_mode)) {
            error = o.output + ": a folder; give a file name";
            return false;
        }
        if (stat(o.input.c_str(), &in) == 0 && in.st_dev == out.st_dev && in.st_ino == out.st_ino) {
            error = o.output + ": OUTPUT is the INPUT; give another name";
            return false;
        }
    }
    const std::string folder = folder_of(o.output);
    const std::size_t slash = o.output.rfind('/');
    const std::string name = slash == std::string::npos ? o.output : o.output.substr(slash + 1);
    const std::string temp = folder + "/." + name + ".XXXXXX";
    if (temp.size() >= sizeof temp_path) {
        error = o.output + ": the name is too long";
        return false;
    }
    // on a terminal the line ends the progress line first
    std::snprintf(interrupted_line, sizeof interrupted_line,
                  "%slumora-render: interrupted; %s was not written\n", isatty(2) ? "\n" : "",
                  o.output.c_str());
    // the handler must find the path complete: it is filled in with signals held back
    sigset_t all, before;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &before);
    std::vector<char> path(temp.begin(), temp.end());
    path.push_back('\0');
    temp_fd = mkstemp(path.data());
    const int err = errno;
    if (temp_fd >= 0)
        std::memcpy(temp_path, path.data(), path.size());
    struct sigaction act {};
    act.sa_handler = on_signal;
    sigemptyset(&act.sa_mask);
    for (int sig : {SIGINT, SIGTERM, SIGHUP})
        sigaction(sig, &act, nullptr);
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
    if (temp_fd < 0) {
        struct stat dir;
        const bool there = stat(folder.c_str(), &dir) == 0 && S_ISDIR(dir.st_mode);
        error = o.output + ": cannot write in " + folder + ": " +
                (!there          ? "no such folder"
                 : err == ENOENT ? "it takes no new files"
                                 : std::strerror(err));
        return false;
    }
    // mkstemp makes the file for its owner alone; OUTPUT gets what a new file usually gets
    const mode_t mask = umask(0);
    umask(mask);
    fchmod(temp_fd, 0666 & ~mask);
    return true;
}

const char *output_file_temp() { return temp_path; }
int output_file_fd() { return temp_fd; }

bool output_file_commit(std::string &error) {
    if (fsync(temp_fd) != 0 || close(temp_fd) != 0) {
        temp_fd = -1;
        error = "writing " + encode_options().output + " failed: " + std::strerror(errno);
        return false;
    }
    temp_fd = -1;
    if (rename(temp_path, encode_options().output.c_str()) != 0) {
        error = "cannot name the result " + encode_options().output + ": " + std::strerror(errno);
        return false;
    }
    temp_path[0] = '\0';
    return true;
}

void output_file_discard() {
    if (temp_fd >= 0) {
        close(temp_fd);
        temp_fd = -1;
    }
    if (temp_path[0]) {
        unlink(temp_path);
        temp_path[0] = '\0';
    }
}
