// The daemon's access: one connection and one lock for every thread, batches that own the lock.
#include <cstring>

#include "platform/sysdb/store.h"

using sysdb_store::Conn;
using sysdb_store::guarded;

namespace sysdb {

Database::Database(std::string path) : path_(std::move(path)), conn_(std::make_unique<Conn>()) {}

Database::~Database() = default;

std::unique_lock<std::mutex> Database::access(bool* opened) {
    *opened = false;
    if (batch_thread_.load() == std::this_thread::get_id()) {
        program_error("system database access inside a batch of the same thread");
        return {};
    }
    std::unique_lock<std::mutex> lock(mutex_);
    *opened = guarded([&] { return conn_->open(path_) ? 0 : -1; }) == 0;
    return lock;
}

Batch::Batch(Database& database, const char* db, bool durable) : database_(database) {
    bool opened = false;
    lock_ = database.access(&opened);
    if (!lock_.owns_lock()) return;
    database.batch_thread_.store(std::this_thread::get_id());
    const size_t len = db != nullptr ? strnlen(db, sizeof db_) : 0;
    if (!opened || len == 0 || len >= sizeof db_) return;
    memcpy(db_, db, len + 1);
    in_txn_ = guarded([&] {
                  // The level cannot change inside a transaction; a batch whose level could not
                  // be set is not opened rather than left unsynced.
                  if (durable && !(durable_ = database.conn_->set_synchronous(true))) return -1;
                  return database.conn_->begin("txn_start") ? 0 : -1;
              }) == 0;
}

Batch::~Batch() {
    end();
}

int Batch::end() {
    if (in_txn_) {
        in_txn_ = false;
        result_ = guarded([&] {
            Conn& c = *database_.conn_;
            if (c.in_txn()) return c.commit("txn_end") ? 0 : -1;
            // The transaction is gone (SQLite rolled it back after an error): say so rather
            // than report a batch that never landed as committed.
            c.report_failure("txn_end", "transaction was rolled back");
            return -1;
        });
    }
    if (durable_) {
        durable_ = false;
        guarded([&] { return database_.conn_->set_synchronous(false) ? 0 : -1; });
    }
    if (lock_.owns_lock()) {
        database_.batch_thread_.store(std::thread::id());
        lock_.unlock();
    }
    return result_;
}

namespace {
// A write of the open transaction; SQLite may have dropped it, and the writes after that
// would commit one by one.
int write(bool in_txn, Conn& c, const char* db, const char* key, const sysdb_store::Bound& v,
          const char* op) {
    if (!in_txn || key == nullptr || !c.in_txn()) return -1;
    return guarded([&] { return c.put(db, key, v, op); });
}
}  // namespace

int Batch::write_str(const char* key, const char* text) {
    if (text == nullptr) return -1;
    return write(in_txn_, *database_.conn_, db_, key,
                 sysdb_store::text_value(SYSDB_TEXT, text, strlen(text)), "write_str");
}
int Batch::write_int(const char* key, int value) {
    return write(in_txn_, *database_.conn_, db_, key, sysdb_store::int_value(value), "write_int");
}
int Batch::write_dbl(const char* key, double value) {
    return write(in_txn_, *database_.conn_, db_, key, sysdb_store::dbl_value(value), "write_dbl");
}
int Batch::write_json(const char* key, const Json::Value& value) {
    if (!in_txn_) return -1;
    return guarded([&] {
        const std::string text = compact_json(value);
        return write(in_txn_, *database_.conn_, db_, key,
                     sysdb_store::text_value(SYSDB_JSON, text.data(), text.size()), "write_json");
    });
}

template <typename Call>
int Database::named(const char* db, const char* key, Call&& call) {
    bool opened = false;
    const std::unique_lock<std::mutex> lock = access(&opened);
    if (!opened || db == nullptr || key == nullptr) return -1;
    return guarded([&] { return call(*conn_); });
}

int Database::read_int(const char* db, const char* key, int* out) {
    if (out == nullptr) return -1;
    return named(db, key, [&](Conn& c) { return sysdb_store::read_int(c, db, key, out); });
}
int Database::read_dbl(const char* db, const char* key, double* out) {
    if (out == nullptr) return -1;
    return named(db, key, [&](Conn& c) { return sysdb_store::read_dbl(c, db, key, out); });
}
int Database::read_str(const char* db, const char* key, char* buf, size_t size) {
    if (buf == nullptr || size == 0) return -1;
    return named(db, key, [&](Conn& c) { return sysdb_store::read_str(c, db, key, buf, size); });
}
int Database::write_int(const char* db, const char* key, int value) {
    return named(db, key, [&](Conn& c) {
        return c.put(db, key, sysdb_store::int_value(value), "write_int");
    });
}
int Database::write_str(const char* db, const char* key, const char* text) {
    if (text == nullptr) return -1;
    return named(db, key, [&](Conn& c) {
        return c.put(db, key, sysdb_store::text_value(SYSDB_TEXT, text, strlen(text)), "write_str");
    });
}
int Database::del(const char* db, const char* key) {
    return named(db, key, [&](Conn& c) { return c.del(db, key); });
}

}  // namespace sysdb
