// What every platform library and module may use: logging, guarded steps, rate limiting, signal
// blocking for library threads, small-file primitives and JSON text helpers. No system library.
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

// ---- Files -----------------------------------------------------------------------------
// Creates the missing directories above a file (mkdir -p of its parent); 0 when they exist.
int mkdir_parents(const std::string& file_path);
// Writes all of data, resuming after signals and short writes; false on an error.
bool write_all(int fd, const char* data, size_t len);
// Reads at most size - 1 bytes of a small file (pid files, sysfs attributes) and
// NUL-terminates them; the count read, or -1 when nothing could be read.
long read_small_file(const char* path, char* buf, size_t size);

// ---- JSON text ---------------------------------------------------------------------------
// Looks at JSON text before it reaches JsonCpp's reader, which recurses once per nesting
// level: false when arrays and objects nest deeper than max_depth or, with reject_comments,
// when a '/' stands outside a string (the reader skips comments even in strict mode; outside
// strings a '/' can only start one).
bool json_text_acceptable(const char* text, size_t len, int max_depth, bool reject_comments);
// The value as one line of JSON, without the line feed JsonCpp's writer ends it with.
std::string compact_json(const Json::Value& value);
