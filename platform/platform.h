// Platform utilities: logging, paths, clocks, configuration store, pid files, LED, watchdog,
// NMEA checksum. Small real implementations of what the device platform provides.
#pragma once

#include <json/json.h>
#include <syslog.h>

#include <cstddef>
#include <exception>
#include <string>

// ---- Logging ---------------------------------------------------------------------------
// Every message goes to syslog; with a log file open it is also appended there. LOG_DEBUG
// messages are dropped unless verbose logging is on.
void log_open(const char* ident, int facility, const char* logfile, bool verbose);
void log_close();
void log_set_verbose(bool verbose);
bool log_is_verbose();
void nm_log(int prio, const char* fmt, ...) __attribute__((format(printf, 2, 3)));

// A broken rule of the program's own making, never of its input (a call that would deadlock, a
// format the scanner does not know): fatal in checked builds, so that the tests stop on it;
// otherwise logged at LOG_CRIT, and the caller reports a failure.
void program_error(const char* what);

// Test hook: receives every message that passes the level filter, already formatted.
using log_hook_fn = void (*)(int prio, const char* text);
void log_set_hook(log_hook_fn hook);

// Runs one step and logs an exception out of it at LOG_ALERT under the step's name, in the
// order Json::LogicError, other standard exceptions, anything else. True when nothing was
// thrown, so that the caller can clean up after a failed step and go on.
template <typename Step>
bool run_guarded(const char* name, Step&& step) {
    try {
        step();
        return true;
    } catch (const Json::LogicError& e) {
        nm_log(LOG_ALERT, "%s Json::LogicError: %s", name, e.what());
    } catch (const std::exception& e) {
        nm_log(LOG_ALERT, "%s exception: %s", name, e.what());
    } catch (...) {
        nm_log(LOG_ALERT, "%s unknown exception", name);
    }
    return false;
}

// ---- Paths -----------------------------------------------------------------------------
// Fixed absolute paths are prefixed with $NAVMON_ROOT (empty by default), so that tests and
// development runs can relocate pid files, markers and /bin/systemctl.
std::string navmon_path(const char* absolute_path);

// ---- Clocks ----------------------------------------------------------------------------
// Seconds since boot (CLOCK_BOOTTIME) with fractions. With since < 0 the current time;
// otherwise the time elapsed since `since`.
double fwtime_dbl(double since);
// Whole seconds since boot; never goes back. With since == 0 the current uptime; otherwise
// the seconds elapsed since `since`.
unsigned int fwtime_bt_s(unsigned int since);
// Test seam: replace the boot clock (both functions read it). nullptr restores the real one.
using clock_source_fn = double (*)();
void fwtime_set_source(clock_source_fn fn);

// ---- Configuration store ---------------------------------------------------------------
// One JSON file ($PLATFORM_CONFIG, default /etc/navmon/config.json), addressed by dotted
// paths. The cmd_* calls return 0 when the value was read.
int cmd_get_value_json(const char* key, Json::Value& out);
int cmd_get_value_bool(const char* key, bool* out);
// Lookups inside an object already read; non-zero when the dotted path was found and its
// value (of the right type) stored.
int config_get_int(const Json::Value& config, int* out, const char* path);
int config_get_bool(const Json::Value& config, bool* out, const char* path);
const char* platform_config_path();

// ---- Files -----------------------------------------------------------------------------
int create_pidfile(const char* path);  // 0 = written
int check_pidfile(const char* path);   // the pid (> 0), or <= 0 when there is none
int delete_file(const char* path);     // 0 = removed
int touch_file(const char* path);      // 0 = created or its times refreshed
// Creates the missing directories above a file (mkdir -p of its parent); 0 when they exist.
int mkdir_parents(const std::string& file_path);
// Writes all of data, resuming after signals and short writes; false on an error.
bool write_all(int fd, const char* data, size_t len);
// Reads at most size - 1 bytes of a small file (pid files, sysfs attributes) and
// NUL-terminates them; the count read, or -1 when nothing could be read.
long read_small_file(const char* path, char* buf, size_t size);

// ---- GPS LED and service watchdog -------------------------------------------------------
// 0 = off, 1 = solid (valid fix), 2 = blinking (no fix). 0 = the LED now shows that code.
int leds_gps_status(int code);

// The LED as the loops drive it (main thread only).
class GpsLed {
public:
    // 1 for a valid fix, 2 for none; the code is remembered only once the LED shows it, so a
    // failed call is tried again at the next update, and an unchanged one is not made.
    void update(bool valid);
    // Off, with no cache test.
    void off();

private:
    int state_ = -1;  // the code last shown; -1 before any
};

// The service watchdog (main thread only): the first kick goes out, later ones at most once
// per minute of uptime however often they are asked for.
class Watchdog {
public:
    void kick();

private:
    unsigned int next_kick_ = 0;
};

// ---- Service manager -------------------------------------------------------------------
int notify_ready();     // sd_notify READY=1; harmless outside systemd
int notify_watchdog();  // sd_notify WATCHDOG=1
// sd_notify STATUS=text, sent only when the text differs from the last one sent.
int notify_status(const char* text);

// ---- JSON text ---------------------------------------------------------------------------
// Looks at JSON text before it reaches JsonCpp's reader, which recurses once per nesting
// level: false when arrays and objects nest deeper than max_depth or, with reject_comments,
// when a '/' stands outside a string (the reader skips comments even in strict mode; outside
// strings a '/' can only start one).
bool json_text_acceptable(const char* text, size_t len, int max_depth, bool reject_comments);
// The value as one line of JSON, without the line feed JsonCpp's writer ends it with.
std::string compact_json(const Json::Value& value);

// ---- NMEA ------------------------------------------------------------------------------
// XOR of the characters after a leading '$' up to '*' or the end of the text (0..255).
int calculate_nmea_checksum(const char* sentence);

// ---- Rate limiting -----------------------------------------------------------------------
// Lets an event through at most once per interval (the first always, and any after the clock
// went back) and counts the ones held back. The owner serialises the calls.
class RateLimiter {
public:
    explicit RateLimiter(double interval) : interval_(interval) {}
    // True when the event may go through at `now`; then *held_back (if given) is the count of
    // events held back since the last one that went through.
    bool allow(double now, unsigned* held_back = nullptr) {
        if (last_ >= 0.0 && now >= last_ && now - last_ < interval_) {
            ++held_;
            return false;
        }
        if (held_back != nullptr) *held_back = held_;
        last_ = now;
        held_ = 0;
        return true;
    }
    void reset() {
        last_ = -1.0;
        held_ = 0;
    }

private:
    double interval_;
    double last_ = -1.0;
    unsigned held_ = 0;
};

// ---- Threads ---------------------------------------------------------------------------
// Blocks every asynchronous signal in the calling thread for its lifetime, so that threads
// created inside the scope never take the main thread's signals.
class ScopedSignalBlock {
public:
    ScopedSignalBlock();
    ~ScopedSignalBlock();
    ScopedSignalBlock(const ScopedSignalBlock&) = delete;
    ScopedSignalBlock& operator=(const ScopedSignalBlock&) = delete;

private:
    unsigned char saved_[128];  // sigset_t storage without pulling <signal.h> into every user
};
