// gpsd client over libgps, and the receiver engine restart.
#include <errno.h>
#include <fcntl.h>
#include <gps.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <exception>

#include "platform/clock/clock.h"
#include "platform/cmd/cmd.h"
#include "platform/gpsd/gpsd.h"

namespace {

// Big enough for the longest line libgps buffers; a longer line arrives truncated.
constexpr size_t kLineBuffer = 16384;
constexpr int kReconnectDelayMs = 1000;

// libgps is not thread-safe across connections: it connects through getprotobyname(), builds
// watch requests in a static buffer, and every gps_read() formats a trace text into another.
// Every libgps call is made under this lock; none of them blocks (the socket is non-blocking).
std::mutex g_libgps_mutex;

int64_t monotonic_ns() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// Waits until `fd` (if >= 0) is readable, the wake eventfd fires, or `timeout_ns` passes
// (< 0: no limit). Returns 1 when fd is readable, 0 on timeout, -1 when woken or on error.
int wait_readable(int fd, int wake_fd, int64_t timeout_ns) {
    pollfd fds[2] = {{wake_fd, POLLIN, 0}, {fd, POLLIN, 0}};
    nfds_t n = fd >= 0 ? 2 : 1;
    timespec ts{};
    timespec* tp = nullptr;
    if (timeout_ns >= 0) {
        ts.tv_sec = static_cast<time_t>(timeout_ns / 1000000000);
        ts.tv_nsec = static_cast<long>(timeout_ns % 1000000000);
        tp = &ts;
    }
    int r = ppoll(fds, n, tp, nullptr);
    if (r < 0) return errno == EINTR ? 0 : -1;
    if (r == 0) return 0;
    if (fds[0].revents != 0) return -1;
    return 1;
}

}  // namespace

gpsdClient::gpsdClient(const char* name, std::string host, std::string port)
    : name_(name != nullptr ? name : ""), host_(std::move(host)), port_(std::move(port)) {}

gpsdClient::~gpsdClient() {
    stop_loop();
    if (wake_fd_ >= 0) close(wake_fd_);
}

void gpsdClient::set_polling_timeout(unsigned int usec) {
    timeout_usec_ = usec;
}
void gpsdClient::set_on_msg_callback_fkt(msg_callback cb) {
    on_msg_ = std::move(cb);
}
void gpsdClient::set_timeout_callback_fkt(timeout_callback cb) {
    on_timeout_ = std::move(cb);
}
void gpsdClient::set_gpsd_stream_flags(unsigned int flags) {
    flags_ = flags;
}

int gpsdClient::get_gpsd_forever_non_blocking() {
    std::lock_guard<std::mutex> lock(thread_mutex_);
    if (thread_.joinable()) {
        if (!stop_.load()) return 0;  // already running
        // Stopped from inside a callback: finish that thread before starting afresh.
        if (thread_.get_id() == std::this_thread::get_id()) return -1;
        thread_.join();
    }
    if (wake_fd_ < 0) {
        wake_fd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (wake_fd_ < 0) {
            nm_log(LOG_ERR, "gpsd client %s: eventfd failed: %s", name_.c_str(), strerror(errno));
            return -1;
        }
    } else {
        uint64_t drain;
        while (read(wake_fd_, &drain, sizeof drain) > 0) {
        }
    }
    stop_ = false;
    connected_ = false;
    try {
        ScopedSignalBlock block;
        thread_ = std::thread(&gpsdClient::run, this);
    } catch (const std::exception& e) {
        nm_log(LOG_ERR, "gpsd client %s: cannot start its thread: %s", name_.c_str(), e.what());
        return -1;
    }
    return 0;
}

void gpsdClient::stop_loop() {
    std::lock_guard<std::mutex> lock(thread_mutex_);
    if (!thread_.joinable()) return;
    stop_ = true;
    uint64_t one = 1;
    if (wake_fd_ >= 0) {
        ssize_t w = write(wake_fd_, &one, sizeof one);
        (void)w;  // the counter cannot overflow with single increments
    }
    // From a callback the thread cannot join itself; it ends once the callback returns.
    if (thread_.get_id() == std::this_thread::get_id()) return;
    thread_.join();
    connected_ = false;
}

void gpsdClient::run() {
    const char* host = host_.c_str();
    const char* port = port_.c_str();
    const int64_t timeout_ns = static_cast<int64_t>(timeout_usec_) * 1000;
    char line[kLineBuffer + 2];
    bool reported_down = false;

    while (!stop_.load()) {
        gps_data_t data;
        memset(&data, 0, sizeof data);
        int rc;
        {
            std::lock_guard<std::mutex> lock(g_libgps_mutex);
            rc = gps_open(host, port, &data);
        }
        if (rc != 0) {
            if (!reported_down) {
                nm_log(LOG_NOTICE, "gpsd client %s cannot connect to gpsd at %s:%s (%d)",
                       name_.c_str(), host, port, rc);
                reported_down = true;
            }
            wait_readable(-1, wake_fd_, int64_t{kReconnectDelayMs} * 1000000);
            continue;
        }
        int fd = static_cast<int>(data.gps_fd);
        // libgps reads with recv(); without O_NONBLOCK a partial line would block it.
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
        int watch_rc;
        {
            std::lock_guard<std::mutex> lock(g_libgps_mutex);
            watch_rc = gps_stream(&data, flags_, nullptr);
            if (watch_rc != 0) gps_close(&data);
        }
        if (watch_rc != 0) {
            nm_log(LOG_NOTICE, "gpsd client %s: watch request failed", name_.c_str());
            wait_readable(-1, wake_fd_, int64_t{kReconnectDelayMs} * 1000000);
            continue;
        }
        connected_ = true;
        reported_down = false;
        nm_log(LOG_INFO, "gpsd client %s connected to gpsd at %s:%s", name_.c_str(), host, port);

        int64_t deadline = monotonic_ns() + timeout_ns;
        bool lost = false;
        bool maybe_buffered = false;  // a line just came; more may sit in libgps's buffer
        while (!stop_.load() && !lost) {
            if (!maybe_buffered) {
                // A zero polling timeout means none: wait for data only. A deadline that
                // passed during a slow callback only looks for data already there.
                int64_t left =
                    timeout_ns > 0 ? std::max<int64_t>(deadline - monotonic_ns(), 0) : -1;
                int w = wait_readable(fd, wake_fd_, left);
                if (w < 0) break;  // stop requested
                if (w == 0) {
                    if (on_timeout_ != nullptr && !stop_.load()) {
                        try {
                            on_timeout_();
                        } catch (...) {
                            nm_log(LOG_ALERT, "gpsd client %s: timeout callback threw",
                                   name_.c_str());
                        }
                    }
                    deadline = monotonic_ns() + timeout_ns;
                    continue;
                }
            }
            line[0] = '\0';
            errno = 0;
            int r;
            {
                std::lock_guard<std::mutex> lock(g_libgps_mutex);
                r = gps_read(&data, line, static_cast<int>(kLineBuffer));
            }
            // libgps copies the line before decoding it, so a line can come with r < 0.
            size_t len = strnlen(line, kLineBuffer);
            if (r < 0 && len == 0) {
                lost = true;
                break;
            }
            if (r == 0 && len == 0) {
                maybe_buffered = false;  // only part of a line so far: wait for more
                continue;
            }
            maybe_buffered = true;
            deadline = monotonic_ns() + timeout_ns;
            if (stop_.load()) break;
            // An embedded NUL ended the copy; the text after it is dropped with the line end.
            line[len] = '\n';
            line[len + 1] = '\0';
            if (on_msg_ != nullptr) {
                try {
                    on_msg_(line);
                } catch (...) {
                    nm_log(LOG_ALERT, "gpsd client %s: message callback threw", name_.c_str());
                }
            }
        }
        connected_ = false;
        {
            std::lock_guard<std::mutex> lock(g_libgps_mutex);
            gps_close(&data);
        }
        if (lost && !stop_.load()) {
            nm_log(LOG_NOTICE, "gpsd client %s lost its connection to gpsd", name_.c_str());
            wait_readable(-1, wake_fd_, int64_t{kReconnectDelayMs} * 1000000);
        }
    }
    connected_ = false;
}

// ---- Receiver engine restart -----------------------------------------------------------

int GpsEngine::restart_gps_engine() {
    Json::Value cmd;
    if (config_.cmd_get_value_json("gps.engine_restart_command", cmd) != 0 || !cmd.isString() ||
        cmd.asString().empty()) {
        if (unconfigured_log_.allow(fwtime_dbl(-1.0)))
            nm_log(LOG_WARNING, "No GPS engine restart command configured");
        return -1;
    }
    bool timed_out = false;
    const int status = run_command({"/bin/sh", "-c", cmd.asString()}, limit_ms_, &timed_out);
    if (status == 0) {
        nm_log(LOG_NOTICE, "GPS engine restarted");
        failure_log_.reset();
        return 0;
    }
    if (failure_log_.allow(fwtime_dbl(-1.0))) {
        if (timed_out)
            nm_log(LOG_ERR, "GPS engine restart command timed out after %d s, killed",
                   limit_ms_ / 1000);
        else
            nm_log(LOG_ERR, "GPS engine restart command failed (status %d)", status);
    }
    return -1;
}
