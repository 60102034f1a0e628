// The system database library: typed key-value records grouped in named databases, kept in one
// SQLite file. Status results: 0 = success; the read calls return 1 when the key does not exist
// and -1 on any other failure.
#pragma once

#include <json/json.h>

#include <atomic>
#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

struct sysdb_context {
    void* conn = nullptr;  // the thread's cached connection while open
    char db[32] = {0};     // database named by sysdb_txn_start
    int in_txn = 0;
};

// ---- Connection and transaction family --------------------------------------------------
int sysdb_init(sysdb_context* ctx, int flags);
int sysdb_txn_start(sysdb_context* ctx, const char* db, int flags);
int sysdb_write_str(sysdb_context* ctx, const char* key, const char* text, int flags);
int sysdb_write_int(sysdb_context* ctx, const char* key, int value, int flags);
int sysdb_write_dbl(sysdb_context* ctx, const char* key, int flags, double value);
int sysdb_write_json(sysdb_context* ctx, const char* key, const Json::Value& value, int flags);
int sysdb_txn_end(sysdb_context* ctx);  // commits; non-zero when the commit failed
int sysdb_exit(sysdb_context* ctx);

// ---- Named-database family (first argument always null) ---------------------------------
int sysdb_namedb_read_int(void* unused, const char* db, const char* key, int* out);
int sysdb_namedb_read_dbl(void* unused, const char* db, const char* key, double* out);
int sysdb_namedb_read_str(void* unused, const char* db, const char* key, char* buf, size_t size);
int sysdb_namedb_write_int(void* unused, const char* db, const char* key, int value, int flags);
int sysdb_namedb_write_dbl(void* unused, const char* db, const char* key, double value, int flags);
int sysdb_namedb_write_str(void* unused, const char* db, const char* key, const char* text,
                           int flags);
int sysdb_namedb_write_json(void* unused, const char* db, const char* key, const Json::Value& value,
                            int flags);
int sysdb_namedb_del(void* unused, const char* db, const char* key);

// ---- Typed access for tools and tests ---------------------------------------------------
enum sysdb_type { SYSDB_TEXT = 1, SYSDB_INT = 2, SYSDB_DBL = 3, SYSDB_JSON = 4 };

struct sysdb_value {
    sysdb_type type = SYSDB_TEXT;
    long long i = 0;
    double d = 0.0;
    std::string text;  // SYSDB_TEXT: the text; SYSDB_JSON: compact JSON text
};

// The text form of a value: text as stored, integers in decimal, whole doubles below 2^53 as
// their digits, other doubles in the shortest form that reads back as the same double, JSON
// compact.
std::string sysdb_value_text(const sysdb_value& v);

int sysdb_namedb_read_value(void* unused, const char* db, const char* key, sysdb_value* out);
int sysdb_namedb_list(void* unused, const char* db,
                      std::vector<std::pair<std::string, sysdb_value>>* out);

// The file the calls above use: the one chosen with sysdb_use_file, else $SYSDB_PATH as it was
// at the first call, else the device default. nullptr goes back to that choice.
void sysdb_use_file(const char* path);
const char* sysdb_path();
// Drops the calling thread's cached connection.
void sysdb_reset_thread_connection();
// The message of the calling thread's last failure ("" when there was none).
const char* sysdb_last_error();
// A counter that changes whenever another connection commits to the file; cheap to poll.
int sysdb_data_version(long long* out);

// ---- The daemon's own access --------------------------------------------------------------
// The daemon reaches the database through one Database: one connection for all of its threads,
// under one lock, so that a batch never interleaves with another of its writers (the receiver
// thread writes while the main thread's pass is open). A named call or a second batch made from
// inside a batch on the same thread would wait for the lock that thread holds: it is a program
// error instead, and returns -1 (a batch that is not open) where the build goes on.
namespace sysdb_store {
class Conn;
}

namespace sysdb {

class Database {
public:
    explicit Database(std::string path);
    ~Database();
    Database(const Database&) = delete;
    Database& operator=(const Database&) = delete;

    // Named reads and writes, each under the lock; results as the C-style calls give them.
    int read_int(const char* db, const char* key, int* out);
    int read_dbl(const char* db, const char* key, double* out);
    int read_str(const char* db, const char* key, char* buf, size_t size);
    int write_int(const char* db, const char* key, int value);
    int write_str(const char* db, const char* key, const char* text);
    int del(const char* db, const char* key);

private:
    friend class Batch;
    // The lock for one access with the connection open; not held, after a program error, when
    // this thread's batch holds it, or after a logged failure to open.
    std::unique_lock<std::mutex> access(bool* opened);
    template <typename Call>
    int named(const char* db, const char* key, Call&& call);

    const std::string path_;
    std::mutex mutex_;
    std::atomic<std::thread::id> batch_thread_{};  // the thread whose batch holds the lock
    std::unique_ptr<sysdb_store::Conn> conn_;
};

// One transaction on a database, holding the lock from construction to end(): a batch that
// cannot be opened writes nothing; the transaction is ended with what was written when the
// scope closes, whichever way it closes. A durable batch's commit is synced to storage, and with
// it every commit before it; other commits are not (a power cut can take them back).
class Batch {
public:
    Batch(Database& database, const char* db, bool durable = false);
    ~Batch();
    Batch(const Batch&) = delete;
    Batch& operator=(const Batch&) = delete;

    bool open() const { return in_txn_; }
    int write_str(const char* key, const char* text);
    int write_int(const char* key, int value);
    int write_dbl(const char* key, double value);
    int write_json(const char* key, const Json::Value& value);
    // Ends the transaction and releases the lock; 0 when the batch committed. Idempotent.
    int end();

private:
    Database& database_;
    std::unique_lock<std::mutex> lock_;
    char db_[32] = {0};
    bool in_txn_ = false;
    bool durable_ = false;
    int result_ = -1;
};

}  // namespace sysdb
