// A reader of the system database that polls the fix batch the way another device service
// would, each poll in one read transaction, and records whether what it saw was ever torn:
// "GPS_DATA_TS", GPS_DATA's "ts" and GPS_DATA_RAW's "ts" all come from the same batch.
#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace navtest {

class BatchWatch {
public:
    // Starts polling `db_path` every `period_ms` on a thread of its own.
    explicit BatchWatch(const std::string& db_path, int period_ms = 5);
    ~BatchWatch();  // stop()
    BatchWatch(const BatchWatch&) = delete;
    BatchWatch& operator=(const BatchWatch&) = delete;

    void stop();

    // Polls that found the batch (all three keys present).
    long samples() const { return samples_.load(); }
    // Descriptions of torn reads (at most a few kept).
    std::vector<std::string> torn() const;
    long torn_count() const { return torn_count_.load(); }
    // Each distinct "GPS_DATA_TS" seen, in the order seen, with the monotonic time (seconds) of
    // the poll that first saw it.
    struct Commit {
        double ts;
        double seen_at;
    };
    std::vector<Commit> commits() const;
    // The latest "GPS_DATA_TS" seen, or -1 before any.
    double last_ts() const;
    // Polls that could not read (database busy or missing); not a fault by themselves.
    long read_failures() const { return read_failures_.load(); }

private:
    void run();
    void poll_once(void* db);

    std::string path_;
    int period_ms_;
    std::atomic<bool> quit_{false};
    std::atomic<long> samples_{0};
    std::atomic<long> torn_count_{0};
    std::atomic<long> read_failures_{0};
    mutable std::mutex mu_;
    std::vector<std::string> torn_;
    std::vector<Commit> commits_;
    std::thread thread_;
};

// Monotonic seconds, the clock of BatchWatch::Commit::seen_at.
double monotonic_seconds();

// Holds the database's write lock (BEGIN IMMEDIATE on a connection of its own) until release()
// or destruction, as a busy writer of another service would.
class WriteLock {
public:
    explicit WriteLock(const std::string& db_path);
    ~WriteLock();  // release()
    WriteLock(const WriteLock&) = delete;
    WriteLock& operator=(const WriteLock&) = delete;
    bool held() const { return held_; }
    // The "GPS_DATA_TS" the holder sees (-1 when absent).
    double gps_data_ts() const;
    void release();

private:
    void* db_ = nullptr;
    bool held_ = false;
};

}  // namespace navtest
