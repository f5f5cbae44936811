// SPDX-License-Identifier: GPL-3.0-or-later
// The output file: written under a temporary name beside OUTPUT, which a signal handler removes
// when the render is interrupted or crashes, and renamed to OUTPUT once complete. The name is
// .OUTPUT.XXXXXX, or .lumora-render.XXXXXX where OUTPUT's name is too long to take six more
// characters; only SIGKILL (or a power cut) can leave one behind.
#include "encode_parts.h"
#include "own_stderr.h"

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

// The temporary file, beside OUTPUT. Its path is also read by the signal handlers.
char temp_path[PATH_MAX];
char interrupted_line[PATH_MAX + 64], crashed_line[PATH_MAX + 64];
int temp_fd = -1;
std::string target; // what OUTPUT names, through any symlinks: the file the result becomes

// Signals that end a process and can be caught: the render stops, and says so.
constexpr int stops[] = {SIGHUP,  SIGINT,  SIGQUIT,   SIGTERM, SIGUSR1, SIGUSR2,  SIGALRM,
                         SIGXCPU, SIGPROF, SIGVTALRM, SIGIO,   SIGPWR,  SIGSTKFLT};
// A fault: the temporary file goes, and the fault then takes its course (a core, a sanitizer's
// report) through what was there before.
constexpr int faults[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT, SIGSYS};
struct sigaction before_fault[sizeof faults / sizeof *faults];

// Only what is safe in a signal handler: the temporary file goes, OUTPUT stays as it was.
void say(const char *line) {
    const ssize_t ignored = write(own_stderr_fd(), line, std::strlen(line));
    (void)ignored;
}

extern "C" void on_stop(int sig) {
    if (temp_path[0])
        unlink(temp_path);
    say(interrupted_line);
    _exit(128 + sig);
}

extern "C" void on_fault(int sig) {
    if (temp_path[0])
        unlink(temp_path);
    say(crashed_line);
    for (std::size_t k = 0; k < sizeof faults / sizeof *faults; ++k)
        if (faults[k] == sig)
            sigaction(sig, &before_fault[k], nullptr);
    raise(sig); // held until this returns; a fault of the code itself also comes again
}

// Where a chain of symlinks ends, as cp writes through them: the last name, which need not exist.
std::string through_links(std::string path) {
    for (int hops = 0; hops < 40; ++hops) {
        struct stat st;
        char to[PATH_MAX];
        if (lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode))
            return path;
        const ssize_t n = readlink(path.c_str(), to, sizeof to - 1);
        if (n <= 0)
            return path;
        to[n] = '\0';
        const std::size_t slash = path.rfind('/');
        path = to[0] == '/' || slash == std::string::npos ? std::string(to)
                                                          : path.substr(0, slash + 1) + to;
    }
    return path; // a loop: opening it reports that
}

std::string folder_of(const std::string &path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

} // namespace

bool output_file_prepare(const render_options &o, std::string &error) {
    struct stat in, out;
    const bool replacing = stat(o.output.c_str(), &out) == 0;
    if (replacing) {
        if (S_ISDIR(out.st_mode)) {
            error = o.output + ": a folder; give a file name";
            return false;
        }
        if (stat(o.input.c_str(), &in) == 0 && in.st_dev == out.st_dev && in.st_ino == out.st_ino) {
            error = o.output + ": OUTPUT is the INPUT; give another name";
            return false;
        }
    }
    target = through_links(o.output);
    const std::string folder = folder_of(target);
    const std::size_t slash = target.rfind('/');
    const std::string name = slash == std::string::npos ? target : target.substr(slash + 1);
    const long longest = pathconf(folder.c_str(), _PC_NAME_MAX);
    const std::string temp =
        folder + "/." +
        (name.size() + 8 <= static_cast<std::size_t>(longest > 0 ? longest : 255)
             ? name
             : std::string("lumora-render")) +
        ".XXXXXX";
    if (temp.size() >= sizeof temp_path) {
        error = o.output + ": the name is too long";
        return false;
    }
    // on a terminal the line ends the progress line first
    std::snprintf(interrupted_line, sizeof interrupted_line,
                  "%slumora-render: interrupted; %s was not written\n",
                  isatty(own_stderr_fd()) ? "\n" : "", o.output.c_str());
    std::snprintf(crashed_line, sizeof crashed_line,
                  "%slumora-render: crashed; %s was not written\n",
                  isatty(own_stderr_fd()) ? "\n" : "", o.output.c_str());
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
    sigfillset(&act.sa_mask); // one handler at a time
    act.sa_handler = on_stop;
    for (int sig : stops) {
        // a signal ignored from the start stays so: nohup's hangup, or Ctrl-C for a shell's
        // background job
        struct sigaction was;
        if (sigaction(sig, nullptr, &was) == 0 && was.sa_handler != SIG_IGN)
            sigaction(sig, &act, nullptr);
    }
    act.sa_handler = on_fault;
    for (std::size_t k = 0; k < sizeof faults / sizeof *faults; ++k)
        sigaction(faults[k], &act, &before_fault[k]);
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
    // mkstemp makes the file for its owner alone: a file replaced keeps its permissions, and a new
    // one gets what a new file usually gets
    const mode_t mask = umask(0);
    umask(mask);
    fchmod(temp_fd, replacing ? out.st_mode & 07777 : 0666 & ~mask);
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
    if (rename(temp_path, target.c_str()) != 0) {
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
