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
// Reads at most size - 1 bytes of a small file (pid files, sysfs attributes) and
// NUL-terminates them; the count read, or -1 when nothing could be read.
long read_small_file(const char* path, char* buf, size_t size);

// ---- GPS LED ---------------------------------------------------------------------------
// 0 = off, 1 = solid (valid fix), 2 = blinking (no fix). 0 = the LED now shows that code.
int leds_gps_status(int code);

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

// ---- NMEA ------------------------------------------------------------------------------
// XOR of the characters after a leading '$' up to '*' or the end of the text (0..255).
int calculate_nmea_checksum(const char* sentence);

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
