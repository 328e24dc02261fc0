// SPDX-License-Identifier: GPL-3.0-or-later
// Interposed under a program with LD_PRELOAD: logs every fdatasync (with the file it
// syncs) and rename to $SYNC_SPY_LOG in the order they happen, and makes fdatasync fail
// with EIO when $SYNC_SPY_FAIL is set, as a failing disk would.
#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace {

void note(const char* what, const char* a, const char* b) {
    const char* log = getenv("SYNC_SPY_LOG");
    if (!log) return;
    const int fd = open(log, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return;
    char line[8192];
    const int n = snprintf(line, sizeof line, "%s %s %s\n", what, a, b ? b : "");
    if (n > 0) (void)!write(fd, line, static_cast<size_t>(n) < sizeof line ? static_cast<size_t>(n) : sizeof line - 1);
    close(fd);
}

}  // namespace

extern "C" {

int fdatasync(int fd) {
    char link[64], target[4096];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    const ssize_t n = readlink(link, target, sizeof target - 1);
    target[n > 0 ? n : 0] = '\0';
    note("fdatasync", target, NULL);
    if (getenv("SYNC_SPY_FAIL")) {
        errno = EIO;
        return -1;
    }
    int (*real)(int) = reinterpret_cast<int (*)(int)>(dlsym(RTLD_NEXT, "fdatasync"));
    return real(fd);
}

int rename(const char* from, const char* to) {
    note("rename", from, to);
    int (*real)(const char*, const char*) = reinterpret_cast<int (*)(const char*, const char*)>(dlsym(RTLD_NEXT, "rename"));
    return real(from, to);
}

}  // extern "C"
