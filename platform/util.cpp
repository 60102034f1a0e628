// Small platform utilities: relocatable paths, the boot clock, pid and marker files, service
// manager notifications, the NMEA checksum and signal blocking for library threads.
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <systemd/sd-daemon.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "platform/platform.h"

// ---- Paths -----------------------------------------------------------------------------

std::string navmon_path(const char* absolute_path) {
    // Read on every call: tests move the root between cases.
    const char* root = getenv("NAVMON_ROOT");
    std::string out = root ? root : "";
    if (absolute_path) out += absolute_path;
    return out;
}

// ---- Clocks ----------------------------------------------------------------------------

namespace {

double boot_clock() {
    struct timespec ts;
    clock_gettime(CLOCK_BOOTTIME, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

std::atomic<clock_source_fn> g_clock{nullptr};
// Highest whole second handed out by fwtime_bt_s, so that it never goes back.
std::atomic<unsigned int> g_last_bt_s{0};

double clock_now() {
    clock_source_fn fn = g_clock.load();
    return fn ? fn() : boot_clock();
}

unsigned int to_seconds(double v) {
    if (!(v > 0)) return 0;  // also NaN
    if (v >= static_cast<double>(UINT_MAX)) return UINT_MAX;
    return static_cast<unsigned int>(v);
}

}  // namespace

double fwtime_dbl(double since) {
    double now = clock_now();
    return since < 0 ? now : now - since;
}

unsigned int fwtime_bt_s(unsigned int since) {
    unsigned int now = to_seconds(clock_now());
    unsigned int last = g_last_bt_s.load();
    while (now > last && !g_last_bt_s.compare_exchange_weak(last, now)) {
    }
    if (now < last) now = last;
    if (since == 0) return now;
    return now >= since ? now - since : 0;
}

void fwtime_set_source(clock_source_fn fn) {
    // A new clock starts a new timeline; the high-water mark belongs to the old one.
    g_clock.store(fn);
    g_last_bt_s.store(0);
}

// ---- Files -----------------------------------------------------------------------------

int mkdir_parents(const std::string& path) {
    size_t slash = path.find_last_of('/');
    if (slash == std::string::npos || slash == 0) return 0;
    std::string dir = path.substr(0, slash);
    for (size_t pos = 1; pos <= dir.size(); ++pos) {
        if (pos == dir.size() || dir[pos] == '/') {
            std::string part = dir.substr(0, pos);
            if (mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) return -1;
        }
    }
    return 0;
}

bool write_all(int fd, const char* data, size_t len) {
    while (len > 0) {
        ssize_t w = write(fd, data, len);
        if (w < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        // An attribute that takes nothing would otherwise be retried for ever.
        if (w == 0) {
            errno = EIO;
            return false;
        }
        data += w;
        len -= static_cast<size_t>(w);
    }
    return true;
}

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

long read_small_file(const char* path, char* buf, size_t size) {
    if (path == nullptr || buf == nullptr || size == 0) return -1;
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return -1;
    ssize_t n;
    do {
        n = read(fd, buf, size - 1);
    } while (n < 0 && errno == EINTR);
    close(fd);
    if (n <= 0) return -1;
    buf[n] = '\0';
    return n;
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

// ---- Service manager -------------------------------------------------------------------

namespace {
int notify(const char* state) {
    if (!getenv("NOTIFY_SOCKET")) return 0;
    int rc = sd_notify(0, state);
    return rc < 0 ? rc : 0;
}
}  // namespace

int notify_ready() {
    return notify("READY=1");
}
int notify_watchdog() {
    return notify("WATCHDOG=1");
}

int notify_status(const char* text) {
    static std::mutex mutex;
    static std::string last;
    std::lock_guard<std::mutex> lock(mutex);
    if (text == nullptr || last == text) return 0;
    const int rc = notify((std::string("STATUS=") + text).c_str());
    if (rc == 0) last = text;
    return rc;
}

void Watchdog::kick() {
    const unsigned int now = fwtime_bt_s(0);
    if (next_kick_ > now) return;
    nm_log(LOG_INFO, "Kicking watchdog");
    next_kick_ = now + 60;
    notify_watchdog();
}

// ---- NMEA ------------------------------------------------------------------------------

int calculate_nmea_checksum(const char* sentence) {
    if (!sentence) return 0;
    const char* p = sentence;
    if (*p == '$') ++p;
    unsigned char sum = 0;
    for (; *p && *p != '*'; ++p) sum ^= static_cast<unsigned char>(*p);
    return sum;
}

// ---- Threads ---------------------------------------------------------------------------

ScopedSignalBlock::ScopedSignalBlock() {
    static_assert(sizeof(sigset_t) <= sizeof saved_, "saved_ must hold a sigset_t");
    sigset_t all, old;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &old);
    memcpy(saved_, &old, sizeof old);  // saved_ is not aligned for sigset_t
}

ScopedSignalBlock::~ScopedSignalBlock() {
    sigset_t old;
    memcpy(&old, saved_, sizeof old);
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
}

std::string compact_json(const Json::Value& value) {
    Json::FastWriter writer;
    writer.omitEndingLineFeed();
    return writer.write(value);
}

bool json_text_acceptable(const char* text, size_t len, int max_depth, bool reject_comments) {
    int depth = 0;
    bool in_string = false;
    for (size_t i = 0; i < len; ++i) {
        const char c = text[i];
        if (in_string) {
            if (c == '\\')
                ++i;  // the escaped character cannot end the string
            else if (c == '"')
                in_string = false;
        } else if (c == '"') {
            in_string = true;
        } else if (c == '/') {
            if (reject_comments) return false;
        } else if (c == '[' || c == '{') {
            if (++depth > max_depth) return false;
        } else if ((c == ']' || c == '}') && depth > 0) {
            --depth;
        }
    }
    return true;
}
