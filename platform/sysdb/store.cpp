// The store on SQLite: one file, one table keyed by (db, key), statements prepared once per
// connection. WAL lets readers in other processes see whole batches while a writer works, and
// synchronous=NORMAL keeps a commit free of fsync on the hot path (a durable batch is synced).
//
// The file lives on the device's flash and takes about eight small commits a second, each of
// which appends every page it touched to the WAL. What keeps that small: 1 KiB pages; a rowid
// table, whose rows stay where they were first inserted, so that the keys one writer updates
// together share a page, and whose values up to about 1 KB stay in their leaf (a WITHOUT ROWID
// table spills anything above a quarter page to overflow pages); and updates in place.
#include "platform/sysdb/store.h"

#include <cerrno>
#include <cmath>

#include "platform/clock/clock.h"

namespace sysdb_store {

namespace {

const int kBusyTimeoutMs = 500;
const int kPageSize = 1024;
// Checkpoints copy every live page back into the file: one per 1000 WAL frames (about a minute
// of driving) costs little, and the WAL is reused from its start afterwards. A WAL that grew
// while a reader held it back is cut back to this size after the next checkpoint.
const int kWalAutocheckpointPages = 1000;
const long kJournalSizeLimit = 2L * 1024 * 1024;

thread_local std::string t_last_error;

const char* const kStmtSql[] = {
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

}  // namespace

const std::string& last_error() {
    return t_last_error;
}

// A dead disk fails every call of every pass: an identical failure of an operation is logged
// at most once per interval, with how many were held back.
void Conn::report_failure(const char* op, const std::string& message) {
    t_last_error = std::string(op) + ": " + message;
    Failures& f = failures_[op];
    if (f.message != message) {
        f.message = message;
        f.limiter.reset();
    }
    unsigned suppressed = 0;
    if (!f.limiter.allow(steady_seconds(), &suppressed)) return;
    if (suppressed > 0)
        nm_log(LOG_WARNING, "sysdb: %s failed: %s (%u more since last report)", op, message.c_str(),
               suppressed);
    else
        nm_log(LOG_WARNING, "sysdb: %s failed: %s", op, message.c_str());
}

namespace {

// Brings a file made with older settings to the current ones, each time a connection opens it
// (once a file for the daemon). The page size only changes by a rebuild outside WAL mode, which
// needs the file to itself: while another connection has it open the rebuild waits for a later
// start, and the file works as it is meanwhile. The caller puts the file back into WAL mode.
void upgrade(Conn& conn, sqlite3* db, const char* path) {
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
            conn.report_failure("rebuild", std::string(path) + ": " + err);
            err.clear();
        }
    }
    const std::string size = query_text(db, "PRAGMA page_size");  // "" when unreadable
    if (size.empty() || size == std::to_string(kPageSize)) return;
    const std::string set_size = "PRAGMA page_size=" + std::to_string(kPageSize);
    if (query_text(db, "PRAGMA journal_mode=DELETE") != "delete")
        err = sqlite3_errcode(db) != SQLITE_OK ? sqlite3_errmsg(db) : "the file is in use";
    else if (exec_sql(db, set_size.c_str(), &err) && exec_sql(db, "VACUUM", &err))
        nm_log(LOG_NOTICE, "sysdb: %s rebuilt with %d-byte pages", path, kPageSize);
    if (!err.empty()) conn.report_failure("rebuild", std::string(path) + ": " + err);
}

}  // namespace

bool Conn::open(const std::string& path) {
    if (db_ != nullptr && path_ == path) {
        if (!file_replaced()) return true;
        drop_replaced();
    }
    close();
    std::string err;
    if (open_new(path, &err)) return true;
    report_failure("open", path + ": " + err);
    return false;
}

bool Conn::open_new(const std::string& path, std::string* err) {
    mkdir_parents(path);
    sqlite3* db = nullptr;
    int rc =
        sqlite3_open_v2(path.c_str(), &db,
                        SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
    if (rc != SQLITE_OK) {
        *err = db != nullptr ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
        sqlite3_close_v2(db);
        return false;
    }
    sqlite3_busy_timeout(db, kBusyTimeoutMs);
    sqlite3_extended_result_codes(db, 1);
    // The page size takes effect when this connection creates the file. What it writes before
    // WAL mode (a new file, the rebuild of an older one) is synced in full: outside WAL mode a
    // commit that is not can corrupt the file when the power goes at the wrong moment.
    const std::string pragmas = "PRAGMA page_size=" + std::to_string(kPageSize) +
                                ";PRAGMA synchronous=FULL;PRAGMA wal_autocheckpoint=" +
                                std::to_string(kWalAutocheckpointPages) +
                                ";PRAGMA journal_size_limit=" + std::to_string(kJournalSizeLimit);
    if (exec_sql(db, pragmas.c_str(), err)) {
        upgrade(*this, db, path.c_str());
        if (query_text(db, "PRAGMA journal_mode=WAL") != "wal") {
            *err = "cannot switch to WAL mode: " + std::string(sqlite3_errmsg(db));
        } else if (exec_sql(db,
                            ("PRAGMA synchronous=NORMAL;CREATE TABLE IF NOT EXISTS kv " +
                             std::string(kColumns))
                                .c_str(),
                            err)) {
            db_ = db;
            path_ = path;
            stat(path.c_str(), &file_);
            checked_at_ = steady_seconds();
            return true;
        }
    }
    sqlite3_close_v2(db);
    return false;
}

void Conn::close() {
    for (auto& s : stmts_) {
        sqlite3_finalize(s);  // harmless on null
        s = nullptr;
    }
    if (db_ != nullptr) sqlite3_close_v2(db_);  // rolls back an open transaction
    db_ = nullptr;
    path_.clear();
}

// True, at most once a second, when the path no longer names the file the connection has open:
// removed, or replaced by another (another service recreated it, a backup was moved in).
bool Conn::file_replaced() {
    const double now = steady_seconds();
    if (now >= checked_at_ && now - checked_at_ < 1.0) return false;
    checked_at_ = now;
    struct stat st;
    if (stat(path_.c_str(), &st) != 0) return errno == ENOENT;
    return st.st_dev != file_.st_dev || st.st_ino != file_.st_ino;
}

// Lets go of a file that is no longer at its path. Its WAL is emptied first: a WAL left beside a
// file moved in over this one would otherwise be replayed into it. No checkpoint on close: it
// would delete the WAL and index by path, which may belong to a new file by now.
void Conn::drop_replaced() {
    nm_log(LOG_WARNING, "sysdb: %s was removed or replaced while open: reopening it",
           path_.c_str());
    sqlite3_wal_checkpoint_v2(db_, nullptr, SQLITE_CHECKPOINT_TRUNCATE, nullptr, nullptr);
    sqlite3_db_config(db_, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
    close();
}

sqlite3_stmt* Conn::stmt(Stmt which, const char* op) {
    if (stmts_[which] == nullptr) {
        int rc = sqlite3_prepare_v3(db_, kStmtSql[which], -1, SQLITE_PREPARE_PERSISTENT,
                                    &stmts_[which], nullptr);
        if (rc != SQLITE_OK) {
            report_failure(op, errmsg());
            sqlite3_finalize(stmts_[which]);
            stmts_[which] = nullptr;
        }
    }
    return stmts_[which];
}

// Runs a statement that returns no rows; false after a logged failure.
bool Conn::run_simple(Stmt which, const char* op) {
    sqlite3_stmt* s = stmt(which, op);
    if (s == nullptr) return false;
    StmtGuard guard{s};
    int rc = sqlite3_step(s);
    if (rc != SQLITE_DONE && rc != SQLITE_ROW) {
        report_failure(op, errmsg());
        return false;
    }
    return true;
}

bool Conn::set_synchronous(bool full) {
    std::string err;
    if (exec_sql(db_, full ? "PRAGMA synchronous=FULL" : "PRAGMA synchronous=NORMAL", &err))
        return true;
    report_failure("synchronous", err);
    return false;
}

bool Conn::begin(const char* op) {
    if (in_txn()) {
        // Another batch of this connection was left open; joining it would commit or roll
        // back writes that are not ours.
        report_failure(op, "a transaction is already open on this thread");
        return false;
    }
    return run_simple(BEGIN, op);
}

bool Conn::commit(const char* op) {
    if (run_simple(COMMIT, op)) return true;
    if (in_txn()) run_simple(ROLLBACK, "rollback");
    return false;
}

void Conn::rollback(const char* op) {
    if (in_txn()) run_simple(ROLLBACK, op);
}

int Conn::put(const char* db, const char* key, const Bound& v, const char* op) {
    sqlite3_stmt* s = stmt(UPSERT, op);
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
        report_failure(op, errmsg());
        return -1;
    }
    return 0;
}

int Conn::get(const char* db, const char* key, sysdb_value* out, const char* op) {
    sqlite3_stmt* s = stmt(SELECT, op);
    if (s == nullptr) return -1;
    StmtGuard guard{s};
    sqlite3_bind_text(s, 1, db, -1, SQLITE_STATIC);
    sqlite3_bind_text(s, 2, key, -1, SQLITE_STATIC);
    int rc = sqlite3_step(s);
    if (rc == SQLITE_DONE) return 1;
    if (rc != SQLITE_ROW) {
        report_failure(op, errmsg());
        return -1;
    }
    if (!column_value(s, 0, out)) {
        report_failure(op, std::string(db) + "/" + key + ": unknown value type");
        return -1;
    }
    return 0;
}

int Conn::del(const char* db, const char* key) {
    sqlite3_stmt* s = stmt(DELETE, "del");
    if (s == nullptr) return -1;
    StmtGuard guard{s};
    sqlite3_bind_text(s, 1, db, -1, SQLITE_STATIC);
    sqlite3_bind_text(s, 2, key, -1, SQLITE_STATIC);
    if (sqlite3_step(s) != SQLITE_DONE) {
        report_failure("del", errmsg());
        return -1;
    }
    return 0;  // deleting a missing key is not an error: the key is absent either way
}

int Conn::list(const char* db, std::vector<std::pair<std::string, sysdb_value>>* out) {
    sqlite3_stmt* s = stmt(LIST, "list");
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
    report_failure("list", errmsg());
    return -1;
}

int Conn::data_version(long long* out) {
    sqlite3_stmt* s = stmt(DATA_VERSION, "data_version");
    if (s == nullptr) return -1;
    StmtGuard guard{s};
    if (sqlite3_step(s) != SQLITE_ROW) {
        report_failure("data_version", errmsg());
        return -1;
    }
    *out = sqlite3_column_int64(s, 0);
    return 0;
}

}  // namespace sysdb_store
