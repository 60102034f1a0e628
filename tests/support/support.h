// What the unit tests share: common headers, temporary directories, databases, files, log capture.
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <functional>
#include <mutex>
#include <thread>
#include <tuple>
#include <vector>

#include "platform/base/base.h"
#include "platform/clock/clock.h"
#include "platform/sysdb/sysdb.h"

// A program error (platform/base) is fatal in checked builds; elsewhere `expr` gives `release`.
#ifdef NAVMON_CHECKED
#define EXPECT_PROGRAM_ERROR(expr, release) EXPECT_DEATH((void)(expr), "program error")
#else
#define EXPECT_PROGRAM_ERROR(expr, release) EXPECT_EQ((expr), (release))
#endif

namespace navtest {

// A fresh directory (mode 0755) removed with its contents on destruction.
struct TempDir {
    TempDir() {
        if (mkdtemp(&path_[0]) == nullptr || chmod(path_.c_str(), 0755) != 0) abort();
    }
    ~TempDir() { (void)!system(("rm -rf '" + path_ + "'").c_str()); }
    const std::string& path() const { return path_; }
    std::string operator/(const std::string& rel) const { return path_ + "/" + rel; }
    std::string path_ = "/tmp/navmon-test-XXXXXX";
};

// The platform's boot clock at `now` for its lifetime, as the test moves it.
struct FakeClock {
    explicit FakeClock(double t) {
        now = t, fwtime_set_source([] { return now; });
    }
    ~FakeClock() { fwtime_set_source(nullptr); }
    static inline double now;
};

// A fresh database: the daemon's Database, and every thread's C-style calls (other services' view).
struct TestDb {
    TempDir dir;
    std::string path = dir / "lib/sysdb.sqlite";  // opening creates the directory
    sysdb::Database db{(sysdb_use_file(path.c_str()), path)};
};

// The last row of sql's results on db as text ("-" for NULL); none after an error, told in *err.
inline std::vector<std::string> sql_row(sqlite3* db, const char* sql, std::string* err = nullptr) {
    std::vector<std::string> out;
    auto last = [](void* to, int n, char** v, char**) {
        auto* row = static_cast<std::vector<std::string>*>(to);
        row->clear();
        for (int i = 0; i < n; ++i) row->push_back(v[i] != nullptr ? v[i] : "-");
        return 0;
    };
    if (sqlite3_exec(db, sql, last, &out, nullptr) == SQLITE_OK) return out;
    if (err != nullptr) *err = sqlite3_errmsg(db);
    return {};
}

// The same on a connection of its own to the file at path, as another program would run it.
inline std::vector<std::string> sql_row(const std::string& path, const char* sql) {
    sqlite3* db = nullptr;
    sqlite3_open(path.c_str(), &db);
    std::vector<std::string> out = sql_row(db, sql);
    sqlite3_close(db);
    return out;
}

// The text of a key as other services read it; "-" when there is none.
inline std::string stored(const char* key, const char* db = "GPS") {
    sysdb_value v;
    return sysdb_namedb_read_value(nullptr, db, key, &v) == 0 ? sysdb_value_text(v) : "-";
}

// A TCP socket bound to a free loopback port, *port; it refuses connections until it listens.
inline int loopback_socket(int* port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t len = sizeof addr;
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), len) != 0) abort();
    getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    *port = ntohs(addr.sin_port);
    return fd;
}

// Polls `cond` every 10 ms until it holds or `timeout_ms` passes.
inline bool wait_for(const std::function<bool()>& cond, int timeout_ms) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (; !cond(); std::this_thread::sleep_for(std::chrono::milliseconds(10)))
        if (std::chrono::steady_clock::now() >= end) return false;
    return true;
}

inline std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

inline void write_file(const std::string& path, const std::string& content) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
}

// The test's own JSON text, parsed; a malformed one stops the test.
inline Json::Value json(const std::string& text) {
    Json::Value v;
    if (!Json::Reader().parse(text, v)) fprintf(stderr, "malformed: %s\n", text.c_str()), abort();
    return v;
}

// An NMEA sentence: the body ("$...") and "*XX\r\n", its checksum worked out apart from the code.
inline std::string nmea_sentence(const std::string& body) {
    unsigned sum = 0;
    for (size_t i = 1; i < body.size(); ++i) sum ^= static_cast<unsigned char>(body[i]);
    char suffix[8];
    snprintf(suffix, sizeof suffix, "*%02X\r\n", sum);
    return body + suffix;
}

// Captures nm_log output (verbose on) for its lifetime.
struct LogCapture {
    LogCapture() {
        clear();
        log_set_verbose(true);
        log_set_hook([](int, const char* text) {
            std::lock_guard<std::mutex> lock(mu_);
            lines_.emplace_back(text);
        });
    }
    ~LogCapture() { log_set_hook(nullptr); }
    int count(const std::string& text) const {
        std::lock_guard<std::mutex> lock(mu_);
        return std::count_if(lines_.begin(), lines_.end(),
                             [&](const std::string& l) { return l.find(text) != l.npos; });
    }
    bool contains(const std::string& text) const { return count(text) > 0; }
    void clear() {
        std::lock_guard<std::mutex> lock(mu_);
        lines_.clear();
    }
    static inline std::mutex mu_;
    static inline std::vector<std::string> lines_;
};

}  // namespace navtest
