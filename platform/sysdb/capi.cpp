// The C-style calls, for the sysdb tool and other services: each thread has its own connection
// to the file, opened on first use. They take no lock of the process.
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "platform/sysdb/store.h"

using sysdb_store::Bound;
using sysdb_store::Conn;
using sysdb_store::guarded;

namespace {

const char kDefaultPath[] = "/var/lib/sysdb/sysdb.sqlite";

// The chosen file; empty until chosen or first used. Function statics: a test's own static may
// choose before this file's statics would be constructed.
std::string& chosen_path(std::unique_lock<std::mutex>* lock) {
    static std::mutex mutex;
    static std::string path;
    *lock = std::unique_lock<std::mutex>(mutex);
    return path;
}

thread_local Conn t_conn;

// The calling thread's connection to the file in use; null after a logged failure.
Conn* connection() {
    return t_conn.open(sysdb_path()) ? &t_conn : nullptr;
}

// The context's connection when it holds an open transaction on this thread's connection. A
// transaction SQLite dropped on its own (an I/O error, a reset connection) is not one: writes
// would otherwise commit one by one.
Conn* batch_conn(sysdb_context* ctx) {
    if (ctx == nullptr || ctx->conn != &t_conn || !t_conn.is_open() || !ctx->in_txn) return nullptr;
    return t_conn.in_txn() ? &t_conn : nullptr;
}

int batch_write(sysdb_context* ctx, const char* key, const Bound& v, const char* op) {
    if (key == nullptr) return -1;
    Conn* c = batch_conn(ctx);
    return c != nullptr ? c->put(ctx->db, key, v, op) : -1;
}

int named_write(const char* db, const char* key, const Bound& v, const char* op) {
    if (db == nullptr || key == nullptr) return -1;
    Conn* c = connection();
    return c != nullptr ? c->put(db, key, v, op) : -1;
}

// A named read on this thread's connection; -1 for missing arguments.
template <typename Read>
int named_read(const char* db, const char* key, const void* out, Read&& read) {
    if (db == nullptr || key == nullptr || out == nullptr) return -1;
    return guarded([&] {
        Conn* c = connection();
        return c != nullptr ? read(*c) : -1;
    });
}

}  // namespace

void sysdb_use_file(const char* path) {
    std::unique_lock<std::mutex> lock;
    chosen_path(&lock) = path != nullptr ? path : "";
}

const char* sysdb_path() {
    // The path is kept per thread, so that the pointer stays valid whatever is chosen next.
    thread_local std::string path;
    std::unique_lock<std::mutex> lock;
    std::string& chosen = chosen_path(&lock);
    if (chosen.empty()) {
        const char* env = getenv("SYSDB_PATH");
        chosen = env != nullptr && env[0] != '\0' ? env : kDefaultPath;
    }
    path = chosen;
    return path.c_str();
}

void sysdb_reset_thread_connection() {
    t_conn.close();
}

const char* sysdb_last_error() {
    return sysdb_store::last_error().c_str();
}

int sysdb_data_version(long long* out) {
    if (out == nullptr) return -1;
    return guarded([&] {
        Conn* c = connection();
        return c != nullptr ? c->data_version(out) : -1;
    });
}

int sysdb_init(sysdb_context* ctx, int /*flags*/) {
    if (ctx == nullptr) return -1;
    ctx->conn = nullptr;
    ctx->in_txn = 0;
    ctx->db[0] = '\0';
    return guarded([&] {
        ctx->conn = connection();
        return ctx->conn != nullptr ? 0 : -1;
    });
}

int sysdb_txn_start(sysdb_context* ctx, const char* db, int /*flags*/) {
    if (ctx == nullptr || db == nullptr || db[0] == '\0' || ctx->in_txn) return -1;
    if (ctx->conn != &t_conn || !t_conn.is_open()) return -1;
    size_t len = strnlen(db, sizeof ctx->db);
    if (len >= sizeof ctx->db) return -1;
    return guarded([&] {
        if (!t_conn.begin("txn_start")) return -1;
        memcpy(ctx->db, db, len + 1);
        ctx->in_txn = 1;
        return 0;
    });
}

int sysdb_write_str(sysdb_context* ctx, const char* key, const char* text, int /*flags*/) {
    if (text == nullptr) return -1;
    return guarded([&] {
        return batch_write(ctx, key, sysdb_store::text_value(SYSDB_TEXT, text, strlen(text)),
                           "write_str");
    });
}

int sysdb_write_int(sysdb_context* ctx, const char* key, int value, int /*flags*/) {
    return guarded(
        [&] { return batch_write(ctx, key, sysdb_store::int_value(value), "write_int"); });
}

int sysdb_write_dbl(sysdb_context* ctx, const char* key, int /*flags*/, double value) {
    return guarded(
        [&] { return batch_write(ctx, key, sysdb_store::dbl_value(value), "write_dbl"); });
}

int sysdb_write_json(sysdb_context* ctx, const char* key, const Json::Value& value, int /*flags*/) {
    return guarded([&] {
        if (key == nullptr || batch_conn(ctx) == nullptr) return -1;
        const std::string text = compact_json(value);
        return batch_write(ctx, key, sysdb_store::text_value(SYSDB_JSON, text.data(), text.size()),
                           "write_json");
    });
}

int sysdb_txn_end(sysdb_context* ctx) {
    if (ctx == nullptr || !ctx->in_txn) return -1;
    return guarded([&] {
        Conn* c = batch_conn(ctx);
        ctx->in_txn = 0;
        if (c == nullptr) {
            // The transaction is gone (SQLite rolled it back after an error): say so rather
            // than report a batch that never landed as committed.
            t_conn.report_failure("txn_end", "transaction was rolled back");
            return -1;
        }
        return c->commit("txn_end") ? 0 : -1;
    });
}

int sysdb_exit(sysdb_context* ctx) {
    if (ctx == nullptr) return -1;
    guarded([&] {
        if (ctx->in_txn && batch_conn(ctx) != nullptr) t_conn.rollback("exit");
        return 0;
    });
    ctx->conn = nullptr;
    ctx->in_txn = 0;
    ctx->db[0] = '\0';
    return 0;
}

int sysdb_namedb_read_int(void*, const char* db, const char* key, int* out) {
    return named_read(db, key, out,
                      [&](Conn& c) { return sysdb_store::read_int(c, db, key, out); });
}

int sysdb_namedb_read_dbl(void*, const char* db, const char* key, double* out) {
    return named_read(db, key, out,
                      [&](Conn& c) { return sysdb_store::read_dbl(c, db, key, out); });
}

int sysdb_namedb_read_str(void*, const char* db, const char* key, char* buf, size_t size) {
    if (size == 0) return -1;
    return named_read(db, key, buf,
                      [&](Conn& c) { return sysdb_store::read_str(c, db, key, buf, size); });
}

int sysdb_namedb_read_value(void*, const char* db, const char* key, sysdb_value* out) {
    return named_read(db, key, out, [&](Conn& c) { return c.get(db, key, out, "read"); });
}

int sysdb_namedb_write_int(void*, const char* db, const char* key, int value, int /*flags*/) {
    return guarded(
        [&] { return named_write(db, key, sysdb_store::int_value(value), "write_int"); });
}

int sysdb_namedb_write_dbl(void*, const char* db, const char* key, double value, int /*flags*/) {
    return guarded(
        [&] { return named_write(db, key, sysdb_store::dbl_value(value), "write_dbl"); });
}

int sysdb_namedb_write_str(void*, const char* db, const char* key, const char* text,
                           int /*flags*/) {
    if (text == nullptr) return -1;
    return guarded([&] {
        return named_write(db, key, sysdb_store::text_value(SYSDB_TEXT, text, strlen(text)),
                           "write_str");
    });
}

int sysdb_namedb_write_json(void*, const char* db, const char* key, const Json::Value& value,
                            int /*flags*/) {
    return guarded([&] {
        const std::string text = compact_json(value);
        return named_write(db, key, sysdb_store::text_value(SYSDB_JSON, text.data(), text.size()),
                           "write_json");
    });
}

int sysdb_namedb_del(void*, const char* db, const char* key) {
    if (db == nullptr || key == nullptr) return -1;
    return guarded([&] {
        Conn* c = connection();
        return c != nullptr ? c->del(db, key) : -1;
    });
}

int sysdb_namedb_list(void*, const char* db,
                      std::vector<std::pair<std::string, sysdb_value>>* out) {
    if (db == nullptr || out == nullptr) return -1;
    const int rc = guarded([&] {
        out->clear();
        Conn* c = connection();
        return c != nullptr ? c->list(db, out) : -1;
    });
    if (rc != 0) out->clear();
    return rc;
}
