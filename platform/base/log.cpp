// Logging: syslog always, an optional log file, and a hook for tests.
#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "platform/base/base.h"

namespace {

std::atomic<bool> g_verbose{false};
std::atomic<log_hook_fn> g_hook{nullptr};

// Guards the log file descriptor; each line is one write() under it, so lines from several
// threads never interleave.
std::mutex g_file_mutex;
int g_file_fd = -1;

// openlog() keeps the pointer it is given, so the ident must outlive the caller's string.
char g_ident[64];

const char* prio_name(int prio) {
    static const char* const names[] = {"emerg",   "alert",  "crit", "err",
                                        "warning", "notice", "info", "debug"};
    return names[LOG_PRI(prio)];
}

void apply_mask(bool verbose) {
    setlogmask(LOG_UPTO(verbose ? LOG_DEBUG : LOG_INFO));
}

void write_file_line(int prio, const char* text) {
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    struct tm tm;
    localtime_r(&ts.tv_sec, &tm);

    char line[1200];
    int n = snprintf(line, sizeof line, "%04d-%02d-%02dT%02d:%02d:%02d.%03ld %s %s\n",
                     tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
                     ts.tv_nsec / 1000000L, prio_name(prio), text);
    if (n < 0) return;
    size_t len = static_cast<size_t>(n);
    if (len >= sizeof line) {  // keep the line terminated even when cut
        len = sizeof line - 1;
        line[len - 1] = '\n';
    }

    std::lock_guard<std::mutex> lock(g_file_mutex);
    if (g_file_fd >= 0) write_all(g_file_fd, line, len);
}

}  // namespace

void log_open(const char* ident, int facility, const char* logfile, bool verbose) {
    snprintf(g_ident, sizeof g_ident, "%s", ident ? ident : "");
    openlog(g_ident, 0, facility);
    log_set_verbose(verbose);

    if (logfile && *logfile) {
        int fd = open(logfile, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
        {
            std::lock_guard<std::mutex> lock(g_file_mutex);
            if (g_file_fd >= 0) close(g_file_fd);
            g_file_fd = fd;
        }
        if (fd < 0) nm_log(LOG_ERR, "cannot open log file %s: %s", logfile, strerror(errno));
    }
}

void log_close() {
    {
        std::lock_guard<std::mutex> lock(g_file_mutex);
        if (g_file_fd >= 0) close(g_file_fd);
        g_file_fd = -1;
    }
    closelog();
}

void log_set_verbose(bool verbose) {
    g_verbose.store(verbose);
    apply_mask(verbose);
}

bool log_is_verbose() {
    return g_verbose.load();
}

void log_set_hook(log_hook_fn hook) {
    g_hook.store(hook);
}

void nm_log(int prio, const char* fmt, ...) {
    if (fmt == nullptr) return;
    if (LOG_PRI(prio) == LOG_DEBUG && !g_verbose.load(std::memory_order_relaxed)) return;

    char text[1024];
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(text, sizeof text, fmt, ap);
    va_end(ap);
    if (n < 0) text[0] = '\0';  // vsnprintf leaves the terminator in place when it cuts

    syslog(prio, "%s", text);
    write_file_line(prio, text);
    if (log_hook_fn hook = g_hook.load()) hook(prio, text);
}

void program_error(const char* what) {
    nm_log(LOG_CRIT, "program error: %s", what);
#ifdef NAVMON_CHECKED
    fprintf(stderr, "program error: %s\n", what);
    abort();
#endif
}
