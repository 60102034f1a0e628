#include "tests/support/batch_watch.h"

#include <json/json.h>
#include <sqlite3.h>
#include <time.h>

#include <chrono>
#include <cstdio>
#include <sstream>

namespace navtest {

namespace {

constexpr size_t kTornKept = 8;

bool parse_object(const std::string& text, Json::Value* out) {
    Json::CharReaderBuilder builder;
    std::string errors;
    std::istringstream in(text);
    return Json::parseFromStream(builder, in, out, &errors) && out->isObject();
}

std::string column_text(sqlite3_stmt* s, int col) {
    const unsigned char* p = sqlite3_column_text(s, col);
    return p != nullptr ? std::string(reinterpret_cast<const char*>(p),
                                      static_cast<size_t>(sqlite3_column_bytes(s, col)))
                        : std::string();
}

bool exec(sqlite3* db, const char* sql) {
    return sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
}

}  // namespace

double monotonic_seconds() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

BatchWatch::BatchWatch(const std::string& db_path, int period_ms)
    : path_(db_path), period_ms_(period_ms) {
    thread_ = std::thread([this] { run(); });
}

BatchWatch::~BatchWatch() {
    stop();
}

void BatchWatch::stop() {
    quit_.store(true);
    if (thread_.joinable()) thread_.join();
}

std::vector<std::string> BatchWatch::torn() const {
    std::lock_guard<std::mutex> lock(mu_);
    return torn_;
}

std::vector<BatchWatch::Commit> BatchWatch::commits() const {
    std::lock_guard<std::mutex> lock(mu_);
    return commits_;
}

double BatchWatch::last_ts() const {
    std::lock_guard<std::mutex> lock(mu_);
    return commits_.empty() ? -1.0 : commits_.back().ts;
}

void BatchWatch::run() {
    sqlite3* db = nullptr;
    while (!quit_.load()) {
        // The file appears when navmon first writes; open read-only once it is there.
        if (db == nullptr) {
            if (sqlite3_open_v2(path_.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
                sqlite3_close_v2(db);
                db = nullptr;
            } else {
                sqlite3_busy_timeout(db, 200);
            }
        }
        if (db != nullptr) poll_once(db);
        std::this_thread::sleep_for(std::chrono::milliseconds(period_ms_));
    }
    sqlite3_close_v2(db);
}

void BatchWatch::poll_once(void* handle) {
    sqlite3* db = static_cast<sqlite3*>(handle);
    if (!exec(db, "BEGIN")) {
        read_failures_.fetch_add(1);
        return;
    }
    sqlite3_stmt* s = nullptr;
    bool have_ts = false, have_data = false, have_raw = false, ok = true;
    double ts = 0.0;
    std::string data_text, raw_text;
    if (sqlite3_prepare_v2(db,
                           "SELECT key, value FROM kv WHERE db = 'GPS' AND key IN "
                           "('GPS_DATA_TS', 'GPS_DATA', 'GPS_DATA_RAW')",
                           -1, &s, nullptr) != SQLITE_OK) {
        ok = false;
    } else {
        int rc;
        while ((rc = sqlite3_step(s)) == SQLITE_ROW) {
            std::string key = column_text(s, 0);
            if (key == "GPS_DATA_TS") {
                have_ts = sqlite3_column_type(s, 1) == SQLITE_FLOAT;
                ts = sqlite3_column_double(s, 1);
            } else if (key == "GPS_DATA") {
                have_data = true;
                data_text = column_text(s, 1);
            } else {
                have_raw = true;
                raw_text = column_text(s, 1);
            }
        }
        ok = rc == SQLITE_DONE;
    }
    sqlite3_finalize(s);
    exec(db, "COMMIT");
    if (!ok) {
        read_failures_.fetch_add(1);
        return;
    }
    if (!have_ts && !have_data && !have_raw) return;  // nothing written yet

    std::string problem;
    Json::Value data, raw;
    if (!have_ts || !have_data || !have_raw) {
        problem = "batch keys missing";
    } else if (!parse_object(data_text, &data) || !parse_object(raw_text, &raw)) {
        problem = "batch JSON unreadable";
    } else if (!data["ts"].isNumeric() || data["ts"].asDouble() != ts) {
        problem = "GPS_DATA ts differs from GPS_DATA_TS";
    } else if (!raw["ts"].isNumeric() || raw["ts"].asDouble() != ts) {
        problem = "GPS_DATA_RAW ts differs from GPS_DATA_TS";
    }
    samples_.fetch_add(1);
    std::lock_guard<std::mutex> lock(mu_);
    if (!problem.empty()) {
        torn_count_.fetch_add(1);
        if (torn_.size() < kTornKept) {
            char buf[96];
            snprintf(buf, sizeof buf, " (GPS_DATA_TS %.6f)", ts);
            torn_.push_back(problem + buf);
        }
        return;
    }
    if (commits_.empty() || commits_.back().ts != ts)
        commits_.push_back(Commit{ts, monotonic_seconds()});
}

WriteLock::WriteLock(const std::string& db_path) {
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(db_path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
        sqlite3_close_v2(db);
        return;
    }
    sqlite3_busy_timeout(db, 5000);
    db_ = db;
    held_ = exec(db, "BEGIN IMMEDIATE");
}

WriteLock::~WriteLock() {
    release();
    sqlite3_close_v2(static_cast<sqlite3*>(db_));
}

double WriteLock::gps_data_ts() const {
    if (db_ == nullptr) return -1.0;
    sqlite3_stmt* s = nullptr;
    double ts = -1.0;
    if (sqlite3_prepare_v2(static_cast<sqlite3*>(db_),
                           "SELECT value FROM kv WHERE db = 'GPS' AND key = 'GPS_DATA_TS'", -1, &s,
                           nullptr) == SQLITE_OK &&
        sqlite3_step(s) == SQLITE_ROW)
        ts = sqlite3_column_double(s, 0);
    sqlite3_finalize(s);
    return ts;
}

void WriteLock::release() {
    if (!held_) return;
    exec(static_cast<sqlite3*>(db_), "COMMIT");
    held_ = false;
}

}  // namespace navtest
