// The boot clock behind fwtime_*, and the steady clock.
#include "platform/clock/clock.h"

#include <time.h>

#include <atomic>
#include <climits>

namespace {

double seconds_of(clockid_t id) {
    struct timespec ts;
    clock_gettime(id, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

std::atomic<clock_source_fn> g_clock{nullptr};
// Highest whole second handed out by fwtime_bt_s, so that it never goes back.
std::atomic<unsigned int> g_last_bt_s{0};

double clock_now() {
    clock_source_fn fn = g_clock.load();
    return fn ? fn() : seconds_of(CLOCK_BOOTTIME);
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

double steady_seconds() {
    return seconds_of(CLOCK_MONOTONIC);
}
