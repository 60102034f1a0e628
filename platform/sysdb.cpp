// System database on SQLite: one file, one table keyed by (db, key), one connection per thread
// with its statements prepared once. WAL lets readers in other processes see whole batches
// while a writer works, and synchronous=NORMAL keeps a commit free of fsync on the hot path.
//
// The file lives on the device's flash and takes about eight small commits a second, each of
// which appends every page it touched to the WAL. What keeps that small: 1 KiB pages; a rowid
// table, whose rows stay where they were first inserted, so that the keys one writer updates
// together share a page, and whose values up to about 1 KB stay in their leaf (a WITHOUT ROWID
// table spills anything above a quarter page to overflow pages); and updates in place.
#include "platform/sysdb.h"

#include <sqlite3.h>
#include <sys/stat.h>
#include <time.h>

#include <cctype>
#include <cerrno>
#include <charconv>
#include <cinttypes>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <set>

#include "platform/platform.h"

namespace {

const char kDefaultPath[] = "/var/lib/sysdb/sysdb.sqlite";
const int kBusyTimeoutMs = 500;
const int kPageSize = 1024;
// Checkpoints copy every live page back into the file: one per 1000 WAL frames (about a minute
// of driving) costs little, and the WAL is reused from its start afterwards. A WAL that grew
// while a reader held it back is cut back to this size after the next checkpoint.
const int kWalAutocheckpointPages = 1000;
const long kJournalSizeLimit = 2L * 1024 * 1024;
const double kLogIntervalS = 10.0;

// ---- Failure reporting ----------------------------------------------------------------------

thread_local std::string t_last_error;

double monotonic_s() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

struct LogState {
    std::string message;
    RateLimiter limiter{kLogIntervalS};
};

// A dead disk fails every call of every pass: log an identical failure of an operation at most
// once per interval, and say how many were held back when it is logged again.
void report_failure(const char* op, const std::string& message) {
    t_last_error = std::string(op) + ": " + message;
    static std::mutex mu;
    static std::map<std::string, LogState> states;
    unsigned suppressed = 0;
    {
        std::lock_guard<std::mutex> lock(mu);
        LogState& st = states[op];
        if (st.message != message) {
            st.message = message;
            st.limiter.reset();
        }
        if (!st.limiter.allow(monotonic_s(), &suppressed)) return;
    }
    if (suppressed > 0)
        nm_log(LOG_WARNING, "sysdb: %s failed: %s (%u more since last report)", op, message.c_str(),
               suppressed);
    else
        nm_log(LOG_WARNING, "sysdb: %s failed: %s", op, message.c_str());
}

// ---- Connection -----------------------------------------------------------------------------

enum Stmt { BEGIN, COMMIT, ROLLBACK, UPSERT, SELECT, DELETE, LIST, DATA_VERSION, STMT_COUNT };

const char* const kStmtSql[STMT_COUNT] = {
    "BEGIN IMMEDIATE",
    "COMMIT",
    "ROLLBACK",
    // An update in place (INSERT OR REPLACE would delete and reinsert the row) lets SQLite
    // leave alone every page whose bytes stay the same: a value written again costs nothing.
    ("INSERT INTO kv(db, key, type, value) VALUES(?1, ?2, ?3, ?4)"
     " ON CONFLICT(db, key) DO UPDATE SET type = excluded.type, value = excluded.value"),
    "SELECT type, value FROM kv WHERE db = ?1 AND key = ?2",
    "DELETE FROM kv WHERE db = ?1 AND key = ?2",
    "SELECT key, type, value FROM kv WHERE db = ?1 ORDER BY key",
    "PRAGMA data_version",
};

// The value column has no declared type, so SQLite keeps each value in the storage class it
// was bound with: REAL stays an exact IEEE double, text is never coerced to a number.
const char kColumns[] =
    "(db TEXT NOT NULL, key TEXT NOT NULL, type INTEGER NOT NULL, value, UNIQUE (db, key))";

struct Conn {
    sqlite3* db = nullptr;
    std::string path;
    sqlite3_stmt* stmts[STMT_COUNT] = {};
    struct stat file {};    // the file as opened
    double checked_at = 0;  // when the path was last compared with it

    ~Conn() { close(); }

    void close() {
        for (auto& s : stmts) {
            sqlite3_finalize(s);  // harmless on null
            s = nullptr;
        }
        if (db != nullptr) sqlite3_close_v2(db);  // rolls back an open transaction
        db = nullptr;
        path.clear();
    }

    std::string errmsg() const { return db != nullptr ? sqlite3_errmsg(db) : "out of memory"; }

    sqlite3_stmt* stmt(Stmt which, const char* op) {
        if (stmts[which] == nullptr) {
            int rc = sqlite3_prepare_v3(db, kStmtSql[which], -1, SQLITE_PREPARE_PERSISTENT,
                                        &stmts[which], nullptr);
            if (rc != SQLITE_OK) {
                report_failure(op, errmsg());
                sqlite3_finalize(stmts[which]);
                stmts[which] = nullptr;
            }
        }
        return stmts[which];
    }
};

thread_local Conn t_conn;

bool exec_sql(sqlite3* db, const char* sql, std::string* err) {
    char* msg = nullptr;
    int rc = sqlite3_exec(db, sql, nullptr, nullptr, &msg);
    if (rc != SQLITE_OK) {
        *err = msg != nullptr ? msg : sqlite3_errstr(rc);
        sqlite3_free(msg);
        return false;
    }
    return true;
}

// The first column of a one-row statement's result as text ("" without a row or on an error).
std::string query_text(sqlite3* db, const char* sql) {
    sqlite3_stmt* s = nullptr;
    std::string out;
    if (sqlite3_prepare_v2(db, sql, -1, &s, nullptr) == SQLITE_OK &&
        sqlite3_step(s) == SQLITE_ROW) {
        const unsigned char* text = sqlite3_column_text(s, 0);
        if (text != nullptr) out = reinterpret_cast<const char*>(text);
    }
    sqlite3_finalize(s);
    return out;
}

// Brings a file made with older settings to the current ones; tried once per file and process.
// The page size only changes by a rebuild outside WAL mode, which needs the file to itself:
// while another connection has it open the rebuild waits for a later start, and the file works
// as it is meanwhile. The caller puts the file back into WAL mode.
void upgrade(sqlite3* db, const char* path) {
    static std::mutex mu;
    static std::set<std::pair<dev_t, ino_t>> tried;  // a file moved in at the path is another
    struct stat st {};
    stat(path, &st);
    {
        std::lock_guard<std::mutex> lock(mu);
        if (!tried.insert({st.st_dev, st.st_ino}).second) return;
    }
    std::string err;
    // Files made before hold kv as a WITHOUT ROWID table; its rows move over in one transaction
    // (in key order, which is as good as it gets for them), and readers see the same table.
    if (query_text(db, "SELECT 1 FROM pragma_index_list('kv') WHERE origin = 'pk'") == "1") {
        const std::string rebuild =
            std::string("BEGIN IMMEDIATE; CREATE TABLE kv_rebuild ") + kColumns +
            "; INSERT INTO kv_rebuild(db, key, type, value) SELECT db, key, type, value FROM kv;"
            " DROP TABLE kv; ALTER TABLE kv_rebuild RENAME TO kv; COMMIT";
        if (exec_sql(db, rebuild.c_str(), &err)) {
            nm_log(LOG_NOTICE, "sysdb: %s: kv rebuilt as a rowid table", path);
        } else {
            std::string ignored;
            if (!sqlite3_get_autocommit(db)) exec_sql(db, "ROLLBACK", &ignored);
            report_failure("rebuild", std::string(path) + ": " + err);
            err.clear();
        }
    }
    const std::string size = query_text(db, "PRAGMA page_size");  // "" when unreadable
    if (size.empty() || size == std::to_string(kPageSize)) return;
    const std::string set_size = "PRAGMA page_size=" + std::to_string(kPageSize);
    // Outside WAL mode a commit that is not synced in full can corrupt the file when the power
    // goes at the wrong moment; the rebuild rewrites every page.
    if (query_text(db, "PRAGMA journal_mode=DELETE") != "delete")
        err = sqlite3_errcode(db) != SQLITE_OK ? sqlite3_errmsg(db) : "the file is in use";
    else if (exec_sql(db, ("PRAGMA synchronous=FULL;" + set_size).c_str(), &err) &&
             exec_sql(db, "VACUUM", &err))
        nm_log(LOG_NOTICE, "sysdb: %s rebuilt with %d-byte pages", path, kPageSize);
    std::string ignored;
    exec_sql(db, "PRAGMA synchronous=NORMAL", &ignored);
    if (!err.empty()) report_failure("rebuild", std::string(path) + ": " + err);
}

// True, at most once a second, when the path no longer names the file the connection has open:
// removed, or replaced by another (another service recreated it, a backup was moved in).
bool file_replaced(Conn& c) {
    const double now = monotonic_s();
    if (now >= c.checked_at && now - c.checked_at < 1.0) return false;
    c.checked_at = now;
    struct stat st;
    if (stat(c.path.c_str(), &st) != 0) return errno == ENOENT;
    return st.st_dev != c.file.st_dev || st.st_ino != c.file.st_ino;
}

// Lets go of a file that is no longer at its path. Its WAL is emptied first: a WAL left beside a
// file moved in over this one would otherwise be replayed into it. No checkpoint on close: it
// would delete the WAL and index by path, which may belong to a new file by now.
void drop_replaced(Conn& c) {
    static std::mutex mu;
    static std::pair<dev_t, ino_t> reported;
    {
        std::lock_guard<std::mutex> lock(mu);
        if (reported != std::make_pair(c.file.st_dev, c.file.st_ino)) {
            reported = {c.file.st_dev, c.file.st_ino};
            nm_log(LOG_WARNING, "sysdb: %s was removed or replaced while open: reopening it",
                   c.path.c_str());
        }
    }
    sqlite3_wal_checkpoint_v2(c.db, nullptr, SQLITE_CHECKPOINT_TRUNCATE, nullptr, nullptr);
    sqlite3_db_config(c.db, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
    c.close();
}

// The calling thread's connection to the current file, opened (or reopened after the path
// changed, or the file at it did) on demand; null after a logged failure.
Conn* connection() {
    const char* path = sysdb_path();
    if (t_conn.db != nullptr && t_conn.path == path) {
        if (!file_replaced(t_conn)) return &t_conn;
        drop_replaced(t_conn);
    }
    t_conn.close();
    mkdir_parents(path);
    sqlite3* db = nullptr;
    int rc = sqlite3_open_v2(
        path, &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
    std::string err;
    if (rc != SQLITE_OK) {
        err = db != nullptr ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
    } else {
        sqlite3_busy_timeout(db, kBusyTimeoutMs);
        sqlite3_extended_result_codes(db, 1);
        // The page size takes effect when this connection creates the file.
        const std::string pragmas =
            "PRAGMA page_size=" + std::to_string(kPageSize) +
            ";PRAGMA synchronous=NORMAL;PRAGMA wal_autocheckpoint=" +
            std::to_string(kWalAutocheckpointPages) +
            ";PRAGMA journal_size_limit=" + std::to_string(kJournalSizeLimit);
        if (exec_sql(db, pragmas.c_str(), &err)) {
            upgrade(db, path);
            if (query_text(db, "PRAGMA journal_mode=WAL") != "wal")
                err = "cannot switch to WAL mode: " + std::string(sqlite3_errmsg(db));
            else if (exec_sql(db,
                              ("CREATE TABLE IF NOT EXISTS kv " + std::string(kColumns)).c_str(),
                              &err)) {
                t_conn.db = db;
                t_conn.path = path;
                stat(path, &t_conn.file);
                t_conn.checked_at = monotonic_s();
                return &t_conn;
            }
        }
    }
    sqlite3_close_v2(db);
    report_failure("open", std::string(path) + ": " + err);
    return nullptr;
}

// Resets a statement on every path out of the scope, so no read snapshot outlives its call.
struct StmtGuard {
    sqlite3_stmt* s;
    ~StmtGuard() {
        if (s != nullptr) {
            sqlite3_reset(s);
            sqlite3_clear_bindings(s);
        }
    }
};

// Runs a statement that returns no rows; false after a logged failure.
bool run_simple(Conn* c, Stmt which, const char* op) {
    sqlite3_stmt* s = c->stmt(which, op);
    if (s == nullptr) return false;
    StmtGuard guard{s};
    int rc = sqlite3_step(s);
    if (rc != SQLITE_DONE && rc != SQLITE_ROW) {
        report_failure(op, c->errmsg());
        return false;
    }
    return true;
}

struct Bound {
    sysdb_type type;
    long long i;
    double d;
    const char* text;
    size_t len;
};

int put(Conn* c, const char* db, const char* key, const Bound& v, const char* op) {
    sqlite3_stmt* s = c->stmt(UPSERT, op);
    if (s == nullptr) return -1;
    StmtGuard guard{s};
    sqlite3_bind_text(s, 1, db, -1, SQLITE_STATIC);
    sqlite3_bind_text(s, 2, key, -1, SQLITE_STATIC);
    sqlite3_bind_int(s, 3, v.type);
    switch (v.type) {
        case SYSDB_INT:
            sqlite3_bind_int64(s, 4, v.i);
            break;
        case SYSDB_DBL:
            sqlite3_bind_double(s, 4, v.d);  // NaN is kept as NULL and read back as NaN
            break;
        default:
            sqlite3_bind_text64(s, 4, v.text, v.len, SQLITE_STATIC, SQLITE_UTF8);
            break;
    }
    if (sqlite3_step(s) != SQLITE_DONE) {
        report_failure(op, c->errmsg());
        return -1;
    }
    return 0;
}

// Fills `out` from the (type, value) columns starting at `col`; false for a row whose tag is
// unknown (written by something else).
bool column_value(sqlite3_stmt* s, int col, sysdb_value* out) {
    int type = sqlite3_column_int(s, col);
    switch (type) {
        case SYSDB_INT:
            out->type = SYSDB_INT;
            out->i = sqlite3_column_int64(s, col + 1);
            out->d = 0.0;
            out->text.clear();
            return true;
        case SYSDB_DBL:
            out->type = SYSDB_DBL;
            out->d = sqlite3_column_type(s, col + 1) == SQLITE_NULL
                         ? std::nan("")
                         : sqlite3_column_double(s, col + 1);
            out->i = 0;
            out->text.clear();
            return true;
        case SYSDB_TEXT:
        case SYSDB_JSON: {
            out->type = static_cast<sysdb_type>(type);
            const unsigned char* p = sqlite3_column_text(s, col + 1);
            int n = sqlite3_column_bytes(s, col + 1);
            out->text.assign(p != nullptr ? reinterpret_cast<const char*>(p) : "",
                             p != nullptr ? static_cast<size_t>(n) : 0);
            out->i = 0;
            out->d = 0.0;
            return true;
        }
        default:
            return false;
    }
}

// 0 with `out` filled, 1 when the key does not exist, -1 after a logged failure.
int get(Conn* c, const char* db, const char* key, sysdb_value* out, const char* op) {
    sqlite3_stmt* s = c->stmt(SELECT, op);
    if (s == nullptr) return -1;
    StmtGuard guard{s};
    sqlite3_bind_text(s, 1, db, -1, SQLITE_STATIC);
    sqlite3_bind_text(s, 2, key, -1, SQLITE_STATIC);
    int rc = sqlite3_step(s);
    if (rc == SQLITE_DONE) return 1;
    if (rc != SQLITE_ROW) {
        report_failure(op, c->errmsg());
        return -1;
    }
    if (!column_value(s, 0, out)) {
        report_failure(op, std::string(db) + "/" + key + ": unknown value type");
        return -1;
    }
    return 0;
}

int read_value(const char* db, const char* key, sysdb_value* out, const char* op) {
    if (db == nullptr || key == nullptr || out == nullptr) return -1;
    Conn* c = connection();
    if (c == nullptr) return -1;
    return get(c, db, key, out, op);
}

// ---- Context helpers ------------------------------------------------------------------------

// The context's connection when it holds an open transaction on this thread's connection. A
// transaction SQLite dropped on its own (an I/O error, a reset connection) is not one: writes
// would otherwise commit one by one.
Conn* batch_conn(sysdb_context* ctx) {
    if (ctx == nullptr || ctx->conn != &t_conn || t_conn.db == nullptr || !ctx->in_txn)
        return nullptr;
    if (sqlite3_get_autocommit(t_conn.db)) return nullptr;
    return &t_conn;
}

int batch_write(sysdb_context* ctx, const char* key, const Bound& v, const char* op) {
    if (key == nullptr) return -1;
    Conn* c = batch_conn(ctx);
    if (c == nullptr) return -1;
    return put(c, ctx->db, key, v, op);
}

int named_write(const char* db, const char* key, const Bound& v, const char* op) {
    if (db == nullptr || key == nullptr) return -1;
    Conn* c = connection();
    if (c == nullptr) return -1;
    return put(c, db, key, v, op);
}

// The whole number a value holds, whatever type its writer chose: an integer, a double with no
// fraction (peers may store counts as doubles), or text of decimal digits with an optional sign
// (`sysdb set` stores text unless told otherwise). False for anything else or out of range.
bool whole_number(const sysdb_value& v, long long* out) {
    switch (v.type) {
        case SYSDB_INT:
            *out = v.i;
            return true;
        case SYSDB_DBL:
            // 2^63 itself is out of range; every double below it in magnitude converts exactly.
            if (!(std::fabs(v.d) < 9223372036854775808.0) || std::trunc(v.d) != v.d) return false;
            *out = static_cast<long long>(v.d);
            return true;
        case SYSDB_TEXT: {
            const std::string& t = v.text;
            const size_t start = !t.empty() && (t[0] == '+' || t[0] == '-') ? 1 : 0;
            if (t.size() == start || t.find_first_not_of("0123456789", start) != std::string::npos)
                return false;
            errno = 0;
            const long long n = strtoll(t.c_str(), nullptr, 10);
            if (errno == ERANGE) return false;
            *out = n;
            return true;
        }
        default:
            return false;
    }
}

// The number a value holds: an integer, a double, or text that is one number and nothing else
// (as `sysdb set` stores it by default). False for anything else, or a text out of range.
bool number(const sysdb_value& v, double* out) {
    switch (v.type) {
        case SYSDB_DBL:
            *out = v.d;
            return true;
        case SYSDB_INT:
            *out = static_cast<double>(v.i);
            return true;
        case SYSDB_TEXT: {
            const char* t = v.text.c_str();
            if (*t == '\0' || isspace(static_cast<unsigned char>(*t))) return false;
            char* end = nullptr;
            errno = 0;
            const double d = strtod(t, &end);
            if (*end != '\0' || errno == ERANGE || !std::isfinite(d)) return false;
            *out = d;
            return true;
        }
        default:
            return false;
    }
}

}  // namespace

// ---- Public API -----------------------------------------------------------------------------
// None of these may throw (an allocation can): callers are C-style and some run on library
// threads. Each body runs under one catch-all.

namespace {
template <typename Body>
int guarded(Body&& body) {
    try {
        return body();
    } catch (...) {
        return -1;
    }
}
}  // namespace

const char* sysdb_path() {
    thread_local std::string path;
    const char* env = getenv("SYSDB_PATH");
    path = env != nullptr && env[0] != '\0' ? env : kDefaultPath;
    return path.c_str();
}

void sysdb_reset_thread_connection() {
    t_conn.close();
}

const char* sysdb_last_error() {
    return t_last_error.c_str();
}

int sysdb_data_version(long long* out) {
    if (out == nullptr) return -1;
    return guarded([&] {
        Conn* c = connection();
        sqlite3_stmt* s = c != nullptr ? c->stmt(DATA_VERSION, "data_version") : nullptr;
        if (s == nullptr) return -1;
        StmtGuard guard{s};
        if (sqlite3_step(s) != SQLITE_ROW) {
            report_failure("data_version", c->errmsg());
            return -1;
        }
        *out = sqlite3_column_int64(s, 0);
        return 0;
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
    if (ctx->conn != &t_conn || t_conn.db == nullptr) return -1;
    size_t len = strnlen(db, sizeof ctx->db);
    if (len >= sizeof ctx->db) return -1;
    return guarded([&] {
        if (!sqlite3_get_autocommit(t_conn.db)) {
            // Another context of this thread left its batch open; joining it would commit or
            // roll back writes that are not ours.
            report_failure("txn_start", "a transaction is already open on this thread");
            return -1;
        }
        if (!run_simple(&t_conn, BEGIN, "txn_start")) return -1;
        memcpy(ctx->db, db, len + 1);
        ctx->in_txn = 1;
        return 0;
    });
}

int sysdb_write_str(sysdb_context* ctx, const char* key, const char* text, int /*flags*/) {
    if (text == nullptr) return -1;
    return guarded([&] {
        return batch_write(ctx, key, Bound{SYSDB_TEXT, 0, 0.0, text, strlen(text)}, "write_str");
    });
}

int sysdb_write_int(sysdb_context* ctx, const char* key, int value, int /*flags*/) {
    return guarded([&] {
        return batch_write(ctx, key, Bound{SYSDB_INT, value, 0.0, nullptr, 0}, "write_int");
    });
}

int sysdb_write_dbl(sysdb_context* ctx, const char* key, int /*flags*/, double value) {
    return guarded([&] {
        return batch_write(ctx, key, Bound{SYSDB_DBL, 0, value, nullptr, 0}, "write_dbl");
    });
}

int sysdb_write_json(sysdb_context* ctx, const char* key, const Json::Value& value, int /*flags*/) {
    return guarded([&] {
        if (key == nullptr || batch_conn(ctx) == nullptr) return -1;
        const std::string text = compact_json(value);
        return batch_write(ctx, key, Bound{SYSDB_JSON, 0, 0.0, text.data(), text.size()},
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
            report_failure("txn_end", "transaction was rolled back");
            return -1;
        }
        if (run_simple(c, COMMIT, "txn_end")) return 0;
        if (!sqlite3_get_autocommit(c->db)) run_simple(c, ROLLBACK, "rollback");
        return -1;
    });
}

int sysdb_exit(sysdb_context* ctx) {
    if (ctx == nullptr) return -1;
    guarded([&] {
        if (ctx->in_txn && batch_conn(ctx) != nullptr) run_simple(&t_conn, ROLLBACK, "exit");
        return 0;
    });
    ctx->conn = nullptr;
    ctx->in_txn = 0;
    ctx->db[0] = '\0';
    return 0;
}

int sysdb_namedb_read_int(void*, const char* db, const char* key, int* out) {
    if (out == nullptr) return -1;
    return guarded([&] {
        sysdb_value v;
        const int rc = read_value(db, key, &v, "read_int");
        if (rc != 0) return rc;
        long long n = 0;
        if (!whole_number(v, &n) || n < INT_MIN || n > INT_MAX) return -1;
        *out = static_cast<int>(n);
        return 0;
    });
}

int sysdb_namedb_read_dbl(void*, const char* db, const char* key, double* out) {
    if (out == nullptr) return -1;
    return guarded([&] {
        sysdb_value v;
        const int rc = read_value(db, key, &v, "read_dbl");
        if (rc != 0) return rc;
        return number(v, out) ? 0 : -1;
    });
}

int sysdb_namedb_read_str(void*, const char* db, const char* key, char* buf, size_t size) {
    if (buf == nullptr || size == 0) return -1;
    return guarded([&] {
        sysdb_value v;
        const int rc = read_value(db, key, &v, "read_str");
        if (rc != 0) return rc;
        const std::string text = sysdb_value_text(v);
        const size_t n = text.size() < size - 1 ? text.size() : size - 1;
        memcpy(buf, text.data(), n);
        buf[n] = '\0';
        return 0;
    });
}

int sysdb_namedb_write_int(void*, const char* db, const char* key, int value, int /*flags*/) {
    return guarded([&] {
        return named_write(db, key, Bound{SYSDB_INT, value, 0.0, nullptr, 0}, "write_int");
    });
}

int sysdb_namedb_write_dbl(void*, const char* db, const char* key, double value, int /*flags*/) {
    return guarded([&] {
        return named_write(db, key, Bound{SYSDB_DBL, 0, value, nullptr, 0}, "write_dbl");
    });
}

int sysdb_namedb_write_str(void*, const char* db, const char* key, const char* text,
                           int /*flags*/) {
    if (text == nullptr) return -1;
    return guarded([&] {
        return named_write(db, key, Bound{SYSDB_TEXT, 0, 0.0, text, strlen(text)}, "write_str");
    });
}

int sysdb_namedb_write_json(void*, const char* db, const char* key, const Json::Value& value,
                            int /*flags*/) {
    return guarded([&] {
        const std::string text = compact_json(value);
        return named_write(db, key, Bound{SYSDB_JSON, 0, 0.0, text.data(), text.size()},
                           "write_json");
    });
}

int sysdb_namedb_del(void*, const char* db, const char* key) {
    if (db == nullptr || key == nullptr) return -1;
    return guarded([&] {
        Conn* c = connection();
        sqlite3_stmt* s = c != nullptr ? c->stmt(DELETE, "del") : nullptr;
        if (s == nullptr) return -1;
        StmtGuard guard{s};
        sqlite3_bind_text(s, 1, db, -1, SQLITE_STATIC);
        sqlite3_bind_text(s, 2, key, -1, SQLITE_STATIC);
        if (sqlite3_step(s) != SQLITE_DONE) {
            report_failure("del", c->errmsg());
            return -1;
        }
        return 0;  // deleting a missing key is not an error: the key is absent either way
    });
}

int sysdb_namedb_read_value(void*, const char* db, const char* key, sysdb_value* out) {
    return guarded([&] { return read_value(db, key, out, "read"); });
}

int sysdb_namedb_list(void*, const char* db,
                      std::vector<std::pair<std::string, sysdb_value>>* out) {
    if (db == nullptr || out == nullptr) return -1;
    const int rc = guarded([&] {
        out->clear();
        Conn* c = connection();
        sqlite3_stmt* s = c != nullptr ? c->stmt(LIST, "list") : nullptr;
        if (s == nullptr) return -1;
        StmtGuard guard{s};
        sqlite3_bind_text(s, 1, db, -1, SQLITE_STATIC);
        int step;
        while ((step = sqlite3_step(s)) == SQLITE_ROW) {
            const unsigned char* k = sqlite3_column_text(s, 0);
            std::string name(k != nullptr ? reinterpret_cast<const char*>(k) : "",
                             k != nullptr ? static_cast<size_t>(sqlite3_column_bytes(s, 0)) : 0);
            sysdb_value v;
            if (!column_value(s, 1, &v)) continue;  // a row of another writer's making
            out->emplace_back(std::move(name), std::move(v));
        }
        if (step == SQLITE_DONE) return 0;
        report_failure("list", c->errmsg());
        return -1;
    });
    if (rc != 0) out->clear();
    return rc;
}

// The text form shared by string reads and the command-line tool.
std::string sysdb_value_text(const sysdb_value& v) {
    char buf[40];
    switch (v.type) {
        case SYSDB_INT:
            snprintf(buf, sizeof buf, "%lld", v.i);
            return buf;
        case SYSDB_DBL: {
            // A whole number that a double holds exactly (an IMEI, a count) reads as its digits,
            // as peers expect: 350000000000000, not 3.5e+14.
            if (std::fabs(v.d) < 9007199254740992.0 && std::trunc(v.d) == v.d) {
                snprintf(buf, sizeof buf, "%.0f", v.d);
                return buf;
            }
            // Anything else: the shortest text that reads back as the same double: 48.0913, not
            // 48.091299999999997.
            const std::to_chars_result r = std::to_chars(buf, buf + sizeof buf, v.d);
            if (r.ec != std::errc()) return "nan";  // cannot happen with 40 bytes
            return std::string(buf, r.ptr);
        }
        default:
            return v.text;
    }
}

// ---- navmon's access, under one lock --------------------------------------------------------

namespace sysdb {

namespace {
// Serialises every access of the process, so that a batch never interleaves with another
// writer's (the receiver thread writes while the main thread's pass is open).
std::mutex sysdb_mutex;
// Set while this thread's batch holds sysdb_mutex: another access from the same thread would
// wait for itself for ever.
thread_local bool t_in_batch = false;

// The process lock for one access; not held, after a program error, inside this thread's batch.
std::unique_lock<std::mutex> lock_access() {
    if (!t_in_batch) return std::unique_lock<std::mutex>(sysdb_mutex);
    program_error("system database access inside a batch of the same thread");
    return {};
}
}  // namespace

Batch::Batch(const char* db) : lock_(lock_access()) {
    if (!lock_.owns_lock()) return;
    t_in_batch = true;
    if (sysdb_init(&ctx_, 0) != 0) return;
    inited_ = true;
    in_txn_ = sysdb_txn_start(&ctx_, db, 0) == 0;
    if (!in_txn_) {
        sysdb_exit(&ctx_);
        inited_ = false;
    }
}

Batch::~Batch() {
    end();
}

int Batch::end() {
    if (in_txn_) result_ = sysdb_txn_end(&ctx_);
    in_txn_ = false;
    if (inited_) sysdb_exit(&ctx_);
    inited_ = false;
    if (lock_.owns_lock()) {
        t_in_batch = false;
        lock_.unlock();
    }
    return result_;
}

int Batch::write_str(const char* key, const char* text) {
    return sysdb_write_str(&ctx_, key, text, 0);
}
int Batch::write_int(const char* key, int value) {
    return sysdb_write_int(&ctx_, key, value, 0);
}
int Batch::write_dbl(const char* key, double value) {
    return sysdb_write_dbl(&ctx_, key, 0, value);
}
int Batch::write_json(const char* key, const Json::Value& value) {
    return sysdb_write_json(&ctx_, key, value, 0);
}

int read_int(const char* db, const char* key, int* out) {
    const std::unique_lock<std::mutex> lock = lock_access();
    if (!lock.owns_lock()) return -1;
    return sysdb_namedb_read_int(nullptr, db, key, out);
}
int read_dbl(const char* db, const char* key, double* out) {
    const std::unique_lock<std::mutex> lock = lock_access();
    if (!lock.owns_lock()) return -1;
    return sysdb_namedb_read_dbl(nullptr, db, key, out);
}
int read_str(const char* db, const char* key, char* buf, size_t size) {
    const std::unique_lock<std::mutex> lock = lock_access();
    if (!lock.owns_lock()) return -1;
    return sysdb_namedb_read_str(nullptr, db, key, buf, size);
}
int write_int(const char* db, const char* key, int value) {
    const std::unique_lock<std::mutex> lock = lock_access();
    if (!lock.owns_lock()) return -1;
    return sysdb_namedb_write_int(nullptr, db, key, value, 0);
}
int write_str(const char* db, const char* key, const char* text) {
    const std::unique_lock<std::mutex> lock = lock_access();
    if (!lock.owns_lock()) return -1;
    return sysdb_namedb_write_str(nullptr, db, key, text, 0);
}
int del(const char* db, const char* key) {
    const std::unique_lock<std::mutex> lock = lock_access();
    if (!lock.owns_lock()) return -1;
    return sysdb_namedb_del(nullptr, db, key);
}

}  // namespace sysdb
