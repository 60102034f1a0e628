// The pace of the processing passes: the loops' clock and waits, and when the next pass is due.
#include <poll.h>
#include <sys/eventfd.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "core/core.h"
#include "platform/clock/clock.h"

SystemWaits::SystemWaits() : event_fd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    if (event_fd_ < 0) nm_log(LOG_ERR, "eventfd: %s", strerror(errno));
}

SystemWaits::~SystemWaits() {
    if (event_fd_ >= 0) close(event_fd_);
}

double SystemWaits::now() {
    return steady_seconds();
}

Waits::Woken SystemWaits::wait(double until, bool reports) {
    for (;;) {
        const double left = until - now();
        if (!(left > 0)) return TIME;
        timespec ts{};
        ts.tv_sec = static_cast<time_t>(std::min(left, 86400.0));
        ts.tv_nsec = static_cast<long>((left - std::floor(left)) * 1e9);
        pollfd fd{event_fd_, POLLIN, 0};
        const bool watch = reports && event_fd_ >= 0;
        const int r = ppoll(&fd, watch ? 1 : 0, &ts, nullptr);
        if (r < 0) {
            if (errno == EINTR) return SIGNAL;  // a handler ran: the caller looks at its flags
            return TIME;
        }
        if (r > 0) {
            uint64_t count;
            while (read(event_fd_, &count, sizeof count) > 0) {
            }
            return REPORT;
        }
    }
}

void SystemWaits::report() {
    const uint64_t one = 1;
    if (event_fd_ >= 0 && write(event_fd_, &one, sizeof one) < 0) {
        // Full only after 2^64 - 1 reports nobody waited for: a wait for reports ends anyway.
    }
}

namespace {

// The seconds of the day, with their fraction, of "YYYY-MM-DDTHH:MM:SS[.fff]...", or -1.
double day_seconds(const char* t, size_t len) {
    auto two = [t, len](size_t at) {
        return len > at + 1 && t[at] >= '0' && t[at] <= '9' && t[at + 1] >= '0' && t[at + 1] <= '9'
                   ? (t[at] - '0') * 10 + (t[at + 1] - '0')
                   : -1;
    };
    const int h = two(11), m = two(14), s = two(17);
    if (h < 0 || h > 23 || m < 0 || m > 59 || s < 0 || s > 60) return -1;
    double fraction = 0, scale = 0.1;
    for (size_t i = 20; len > 19 && t[19] == '.' && i < len && t[i] >= '0' && t[i] <= '9'; ++i)
        fraction += (t[i] - '0') * scale, scale /= 10;
    return h * 3600.0 + m * 60.0 + s + fraction;
}

}  // namespace

void PassPacer::report(double now, const char* tpv_time) {
    std::lock_guard<std::mutex> lock(mutex_);
    last_report_ = now;
    if (tpv_time == nullptr) return;
    // Its receiver second: a 5 or 10 Hz receiver, or a GGA that lags its RMC, sends several
    // TPVs a second, and only the first is worth a pass of its own.
    const size_t len = strnlen(tpv_time, 40);
    Tpv tpv{std::string(tpv_time, std::min<size_t>(len, 19)), day_seconds(tpv_time, len), now};
    if (tpv.second == latest_tpv_.second) return;
    latest_tpv_ = tpv;
    if (pending_ || tpv.second == anchor_.second || tpv.day_seconds < 0) return;
    if (anchor_.day_seconds >= 0) {
        // Receiver time since the anchor (across midnight too) against this clock's.
        double gained = std::fmod(tpv.day_seconds - anchor_.day_seconds + 86400.0, 86400.0);
        if (gained <= 0) gained = 86400;  // the same time of another day
        if (gained > now - anchor_.at + kEarly) return;
    }
    pending_ = true;
    pending_tpv_ = tpv;
}

void PassPacer::start(double now) {
    std::lock_guard<std::mutex> lock(mutex_);
    pending_ = last_by_tpv_ = false;
    fallback_from_ = now;
}

double PassPacer::due() const {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!pending_) return fallback_from_ + kFallback + (last_by_tpv_ ? kLate : 0.0);
    return std::max(std::min(pending_tpv_.at + kCap, last_report_ + kQuiet), last_pass_ + kMinGap);
}

void PassPacer::ran(double now) {
    std::lock_guard<std::mutex> lock(mutex_);
    // A pass without a TPV of its own starts the reckoning afresh from the latest one.
    if (pending_ || latest_tpv_.day_seconds >= 0) anchor_ = pending_ ? pending_tpv_ : latest_tpv_;
    last_by_tpv_ = pending_;
    pending_ = false;
    last_pass_ = fallback_from_ = now;
}
