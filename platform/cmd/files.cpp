// Pid and marker files.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/base/base.h"
#include "platform/cmd/cmd.h"

int create_pidfile(const char* path) {
    if (!path || !*path) return -1;
    std::string target = path;
    if (mkdir_parents(target) != 0) {
        nm_log(LOG_ERR, "cannot create directory for %s: %s", path, strerror(errno));
        return -1;
    }
    // Written beside the target and renamed, so a reader never sees a half-written pid.
    std::string tmp = target + ".tmp." + std::to_string(getpid());
    int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        nm_log(LOG_ERR, "cannot create pid file %s: %s", path, strerror(errno));
        return -1;
    }
    char text[32];
    int n = snprintf(text, sizeof text, "%d\n", static_cast<int>(getpid()));
    bool ok = write_all(fd, text, static_cast<size_t>(n));
    ok = (close(fd) == 0) && ok;
    if (!ok || rename(tmp.c_str(), target.c_str()) != 0) {
        nm_log(LOG_ERR, "cannot write pid file %s: %s", path, strerror(errno));
        unlink(tmp.c_str());
        return -1;
    }
    return 0;
}

int check_pidfile(const char* path) {
    char buf[32];
    long n = read_small_file(path, buf, sizeof buf);
    if (n <= 0) return -1;
    if (memchr(buf, '\0', static_cast<size_t>(n))) return -1;  // embedded NUL

    const char* p = buf;
    while (*p == ' ' || *p == '\t') ++p;
    if (*p < '0' || *p > '9') return -1;  // no sign, no empty number
    errno = 0;
    char* end = nullptr;
    long pid = strtol(p, &end, 10);
    if (errno != 0 || end == p) return -1;
    while (*end == ' ' || *end == '\t' || *end == '\n' || *end == '\r') ++end;
    if (*end != '\0') return -1;
    if (pid <= 0 || pid > INT_MAX) return -1;
    return static_cast<int>(pid);
}

int delete_file(const char* path) {
    if (!path) return -1;
    return unlink(path) == 0 ? 0 : -1;
}

int touch_file(const char* path) {
    if (!path || !*path) return -1;
    if (utimensat(AT_FDCWD, path, nullptr, 0) == 0) return 0;
    if (errno != ENOENT) return -1;
    int fd = open(path, O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return -1;
    close(fd);
    return 0;
}
