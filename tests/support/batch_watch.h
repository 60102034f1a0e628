// A reader of the system database that polls the fix batch as another service would and records
// torn reads: "GPS_DATA_TS", GPS_DATA's "ts" and GPS_DATA_RAW's "ts" must come from one batch.
// WriteLock holds the write lock (BEGIN IMMEDIATE) as a busy writer of another service would.
#pragma once

#include <json/json.h>
#include <sqlite3.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace navtest {

inline bool parse_object(const std::string& text, Json::Value* out) {
    Json::CharReaderBuilder builder;
    std::string errors;
    std::istringstream in(text);
    return Json::parseFromStream(builder, in, out, &errors) && out->isObject();
}

inline double monotonic_seconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

class BatchWatch {
public:
    struct Commit {
        double ts, seen_at;  // seen_at: monotonic time of the first poll that saw it
    };
    explicit BatchWatch(const std::string& db_path) : path_(db_path), thread_([this] { run(); }) {}
    ~BatchWatch() { stop(); }
    void stop() {
        quit_.store(true);
        if (thread_.joinable()) thread_.join();
    }
    std::vector<std::string> torn() const { return locked(torn_); }
    std::vector<Commit> commits() const { return locked(commits_); }  // each distinct batch
    double last_ts() const {                                          // -1 before any
        auto c = commits();
        return c.empty() ? -1.0 : c.back().ts;
    }

private:
    template <class T>
    T locked(const T& v) const {
        std::lock_guard<std::mutex> lock(mu_);
        return v;
    }
    void run() {
        sqlite3* db = nullptr;
        while (!quit_.load()) {
            if (db == nullptr &&  // the file appears when navmon first writes
                sqlite3_open_v2(path_.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
                sqlite3_close_v2(db);
                db = nullptr;
            }
            if (db != nullptr && sqlite3_busy_timeout(db, 200) == SQLITE_OK) poll(db);
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        sqlite3_close_v2(db);
    }
    void poll(sqlite3* db) {
        sqlite3_stmt* s = nullptr;  // one statement: one read transaction
        if (sqlite3_prepare_v2(db,
                               "SELECT (SELECT value FROM kv WHERE db = 'GPS' AND key = "
                               "'GPS_DATA_TS'), (SELECT value FROM kv WHERE db = 'GPS' AND key = "
                               "'GPS_DATA'), (SELECT value FROM kv WHERE db = 'GPS' AND key = "
                               "'GPS_DATA_RAW')",
                               -1, &s, nullptr) != SQLITE_OK ||
            sqlite3_step(s) != SQLITE_ROW) {
            sqlite3_finalize(s);
            return;  // busy, or no table yet: not a fault by itself
        }
        int type[3];
        for (int i = 0; i < 3; ++i) type[i] = sqlite3_column_type(s, i);
        const double ts = sqlite3_column_double(s, 0);
        auto text = [s](int i) {
            const unsigned char* p = sqlite3_column_text(s, i);
            return p != nullptr ? std::string(reinterpret_cast<const char*>(p)) : std::string();
        };
        Json::Value data, raw;
        const bool parsed = parse_object(text(1), &data) && parse_object(text(2), &raw);
        sqlite3_finalize(s);
        if (type[0] == SQLITE_NULL && type[1] == SQLITE_NULL && type[2] == SQLITE_NULL) return;

        const char* problem = nullptr;
        if (type[0] != SQLITE_FLOAT || type[1] == SQLITE_NULL || type[2] == SQLITE_NULL)
            problem = "batch keys missing";
        else if (!parsed)
            problem = "batch JSON unreadable";
        else if (!data["ts"].isNumeric() || data["ts"].asDouble() != ts)
            problem = "GPS_DATA ts differs from GPS_DATA_TS";
        else if (!raw["ts"].isNumeric() || raw["ts"].asDouble() != ts)
            problem = "GPS_DATA_RAW ts differs from GPS_DATA_TS";
        std::lock_guard<std::mutex> lock(mu_);
        if (problem != nullptr)
            torn_.push_back(std::string(problem) + " at GPS_DATA_TS " + std::to_string(ts));
        else if (commits_.empty() || commits_.back().ts != ts)
            commits_.push_back(Commit{ts, monotonic_seconds()});
    }

    std::string path_;
    std::atomic<bool> quit_{false};
    mutable std::mutex mu_;
    std::vector<std::string> torn_;
    std::vector<Commit> commits_;
    std::thread thread_;  // last: starts once the rest exists
};

class WriteLock {
public:
    explicit WriteLock(const std::string& db_path) {
        if (sqlite3_open_v2(db_path.c_str(), &db_, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK &&
            sqlite3_busy_timeout(db_, 5000) == SQLITE_OK)
            held_ = sqlite3_exec(db_, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) == SQLITE_OK;
    }
    ~WriteLock() {
        release();
        sqlite3_close_v2(db_);
    }
    bool held() const { return held_; }
    void release() {
        if (held_) sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr);
        held_ = false;
    }

private:
    sqlite3* db_ = nullptr;
    bool held_ = false;
};

}  // namespace navtest
