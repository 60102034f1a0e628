// The store under the system database's two interfaces (the C-style calls and the process's
// Database): one SQLite connection to the file with its statements, the rebuild of files made
// by earlier versions, and failure reports. Private to platform/sysdb.
#pragma once

#include <sqlite3.h>
#include <sys/stat.h>

#include <cstddef>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "platform/base/base.h"
#include "platform/sysdb/sysdb.h"

namespace sysdb_store {

// A value as it is bound: text and JSON by pointer and length.
struct Bound {
    sysdb_type type;
    long long i;
    double d;
    const char* text;
    size_t len;
};
inline Bound int_value(long long i) {
    return {SYSDB_INT, i, 0.0, nullptr, 0};
}
inline Bound dbl_value(double d) {
    return {SYSDB_DBL, 0, d, nullptr, 0};
}
inline Bound text_value(sysdb_type type, const char* text, size_t len) {
    return {type, 0, 0.0, text, len};
}

class Conn {
public:
    Conn() = default;
    ~Conn() { close(); }
    Conn(const Conn&) = delete;
    Conn& operator=(const Conn&) = delete;

    // Opens the file at `path` on first use, and again when the path changed or, looked at
    // once a second, the file at it was removed or replaced. False after a logged failure.
    bool open(const std::string& path);
    void close();
    bool is_open() const { return db_ != nullptr; }
    // A transaction is open; SQLite drops one by itself after some errors.
    bool in_txn() const { return db_ != nullptr && !sqlite3_get_autocommit(db_); }
    // The level of the commits that follow (not inside a transaction): FULL syncs the WAL.
    bool set_synchronous(bool full);
    bool begin(const char* op);
    // False when the commit failed; the transaction is then rolled back.
    bool commit(const char* op);
    void rollback(const char* op);

    int put(const char* db, const char* key, const Bound& v, const char* op);
    // 0 with `out` filled, 1 when the key does not exist, -1 after a logged failure.
    int get(const char* db, const char* key, sysdb_value* out, const char* op);
    int del(const char* db, const char* key);
    int list(const char* db, std::vector<std::pair<std::string, sysdb_value>>* out);
    int data_version(long long* out);

    // Logs a failure of `op`, an identical one at most once per 10 s with the count held back,
    // and keeps it as the calling thread's last error.
    void report_failure(const char* op, const std::string& message);

private:
    enum Stmt { BEGIN, COMMIT, ROLLBACK, UPSERT, SELECT, DELETE, LIST, DATA_VERSION, STMT_COUNT };
    struct Failures {
        std::string message;
        RateLimiter limiter{10.0};
    };

    bool open_new(const std::string& path, std::string* err);
    bool file_replaced();
    void drop_replaced();
    sqlite3_stmt* stmt(Stmt which, const char* op);
    bool run_simple(Stmt which, const char* op);
    std::string errmsg() const { return db_ != nullptr ? sqlite3_errmsg(db_) : "out of memory"; }

    sqlite3* db_ = nullptr;
    std::string path_;
    sqlite3_stmt* stmts_[STMT_COUNT] = {};
    struct stat file_ {};    // the file as opened
    double checked_at_ = 0;  // when the path was last compared with it
    std::map<std::string, Failures> failures_;
};

// The calling thread's last failure, for the C-style calls.
const std::string& last_error();

// Typed reads, taking values as any writer stores them: 0 with the value read, 1 when the key
// does not exist, -1 otherwise (the default in *out is left alone).
int read_int(Conn& c, const char* db, const char* key, int* out);
int read_dbl(Conn& c, const char* db, const char* key, double* out);
int read_str(Conn& c, const char* db, const char* key, char* buf, size_t size);

// Runs the body; an exception (an allocation can throw) is a failure: callers are C-style and
// some run on library threads.
template <typename Body>
int guarded(Body&& body) {
    try {
        return body();
    } catch (...) {
        return -1;
    }
}

}  // namespace sysdb_store
