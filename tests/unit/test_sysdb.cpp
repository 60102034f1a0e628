// The system database on SQLite: typed values, reads as peers store them, batches seen whole by
// another connection, older files rebuilt, a busy database that writes nothing.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <climits>
#include <cmath>
#include <cstring>
#include <stdexcept>
#include <string>
#include <thread>
#include <tuple>

#include "platform/sysdb.h"
#include "tests/support/support.h"

namespace {

std::string key(int i) {
    return "K" + std::to_string(i);
}
// Keys K0..K{n-1} of "GPS" written in one batch, key i holding base + i.
int write_batch(int n, int base) {
    sysdb::Batch batch("GPS");
    for (int i = 0; i < n; ++i) batch.write_int(key(i).c_str(), base + i);
    return batch.end();
}
// How many of K0..K{n-1} hold base + i, read on another thread's connection; -1 when a key
// holds anything else.
int count_batch(int n, int base) {
    int found = 0;
    std::thread([&] {
        for (int i = 0, v = 0; i < n && found >= 0; ++i) {
            const int rc = sysdb_namedb_read_int(nullptr, "GPS", key(i).c_str(), &v);
            found = rc == 0 && v != base + i ? -1 : found + (rc == 0);
        }
        sysdb_reset_thread_connection();
    }).join();
    return found;
}

long long file_size(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : -1;
}
// The first column of the first row, as another program would read it.
std::string query(const std::string& path, const char* sql) {
    sqlite3* db = nullptr;
    sqlite3_stmt* s = nullptr;
    std::string out = "(error)";
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK &&
        sqlite3_prepare_v2(db, sql, -1, &s, nullptr) == SQLITE_OK && sqlite3_step(s) == SQLITE_ROW)
        out = reinterpret_cast<const char*>(sqlite3_column_text(s, 0));
    sqlite3_finalize(s);
    sqlite3_close_v2(db);
    return out;
}

class SysdbTest : public ::testing::Test {
protected:
    void SetUp() override { sysdb_reset_thread_connection(); }
    void TearDown() override { sysdb_reset_thread_connection(); }
    // Stores `text` as the given type under "SYS"/"K".
    void store(sysdb_type type, const char* text) {
        if (type == SYSDB_INT) sysdb_namedb_write_int(nullptr, "SYS", "K", atoi(text), 0);
        if (type == SYSDB_DBL)
            sysdb_namedb_write_dbl(nullptr, "SYS", "K", strtod(text, nullptr), 0);
        if (type == SYSDB_TEXT) sysdb_namedb_write_str(nullptr, "SYS", "K", text, 0);
        if (type == SYSDB_JSON) sysdb_namedb_write_json(nullptr, "SYS", "K", Json::Value(5), 0);
    }
    navtest::TempDir dir_;
    std::string path_ = dir_ / "lib/sysdb.sqlite";  // opening creates the directory
    navtest::ScopedEnv env_{"SYSDB_PATH", path_};
};

// Values keep their type and read back exactly; writing the stored value again (a batch that
// repeats itself too) adds nothing to the WAL, the flash's wear, while any change lands.
TEST_F(SysdbTest, ValuesReadBackExactlyAndRewritingThemCostsNothing) {
    const std::pair<sysdb_type, const char*> cases[] = {
        {SYSDB_TEXT, "h\xC3\xA9llo \xE2\x9C\x93\r\n"},
        {SYSDB_TEXT, ""},
        {SYSDB_INT, "-2147483648"},
        {SYSDB_INT, "2147483647"},
        {SYSDB_DBL, "48.0913"},
        {SYSDB_DBL, "-0"},
        {SYSDB_DBL, "5e-324"},
        {SYSDB_DBL, "123.4000015258789"},
        {SYSDB_DBL, "nan"},
        {SYSDB_DBL, "1"},
        {SYSDB_JSON, "{\"a\":[1,2.5,\"x\"]}"}};
    auto write_all = [&] {
        sysdb::Batch batch("GPS");
        for (size_t n = 0; n < std::size(cases); ++n) {
            const auto& [type, in] = cases[n];
            Json::Value j;
            Json::Reader().parse(in, j);
            const std::string k = key(static_cast<int>(n));
            const int rc = type == SYSDB_TEXT  ? batch.write_str(k.c_str(), in)
                           : type == SYSDB_INT ? batch.write_int(k.c_str(), atoi(in))
                           : type == SYSDB_DBL ? batch.write_dbl(k.c_str(), strtod(in, nullptr))
                                               : batch.write_json(k.c_str(), j);
            ASSERT_EQ(rc, 0) << in;
        }
    };
    write_all();
    const long long wal = file_size(path_ + "-wal");
    write_all();
    EXPECT_EQ(file_size(path_ + "-wal"), wal);
    sysdb_reset_thread_connection();
    for (size_t n = 0; n < std::size(cases); ++n) {
        sysdb_value v;
        ASSERT_EQ(sysdb_namedb_read_value(nullptr, "GPS", key(static_cast<int>(n)).c_str(), &v), 0);
        EXPECT_EQ(v.type, cases[n].first) << cases[n].second;
        EXPECT_EQ(sysdb_value_text(v), cases[n].second);
    }
    // Changes land: another text, another type, 0 to -0.
    for (const auto& [k, again] : {std::pair("K0", 0), std::pair("K2", 1), std::pair("K5", 2)}) {
        const long long before = file_size(path_ + "-wal");
        if (again == 0) sysdb::write_str("GPS", k, "other");
        if (again == 1) sysdb_namedb_write_dbl(nullptr, "GPS", k, -2147483648.0, 0);
        if (again == 2) sysdb_namedb_write_dbl(nullptr, "GPS", k, 0.0, 0);
        EXPECT_GT(file_size(path_ + "-wal"), before) << k;
    }
    char buf[8];  // a text read is cut to the buffer and always terminated
    ASSERT_EQ(sysdb::read_str("GPS", "K1", buf, sizeof buf), 0);
    EXPECT_STREQ(buf, "");
    ASSERT_EQ(sysdb::read_str("GPS", "K0", buf, sizeof buf), 0);
    EXPECT_STREQ(buf, "other");
    int i = -7;  // a missing key reads as 1 and leaves the default alone
    EXPECT_EQ(sysdb::read_int("SYS", "K3", &i), 1);
    EXPECT_EQ(i, -7);
}

// Peers store numbers as text (the tool's default) or as doubles: integers read from whole
// numbers in range, doubles from any number; anything else fails and leaves the default alone.
TEST_F(SysdbTest, TypedReadsTakeNumbersAsPeersStoreThem) {
    const std::tuple<sysdb_type, const char*, int, int, double> cases[] = {
        // (type, stored, read_int result and value, read_dbl value or NAN when it fails)
        {SYSDB_INT, "5", 0, 5, 5.0},
        {SYSDB_DBL, "-2147483648", 0, INT_MIN, -2147483648.0},
        {SYSDB_DBL, "2147483648", -1, 0, 2147483648.0},
        {SYSDB_DBL, "1.5", -1, 0, 1.5},
        {SYSDB_DBL, "1e300", -1, 0, 1e300},
        {SYSDB_TEXT, "-007", 0, -7, -7.0},
        {SYSDB_TEXT, "+2147483647", 0, INT_MAX, 2147483647.0},
        {SYSDB_TEXT, "2147483648", -1, 0, 2147483648.0},
        {SYSDB_TEXT, "48.0913", -1, 0, 48.0913},
        {SYSDB_TEXT, "", -1, 0, NAN},
        {SYSDB_TEXT, " 5", -1, 0, NAN},
        {SYSDB_TEXT, "5\n", -1, 0, NAN},
        {SYSDB_TEXT, "1e999", -1, 0, NAN},
        {SYSDB_TEXT, "nan", -1, 0, NAN},
        {SYSDB_JSON, "5", -1, 0, NAN},
    };
    for (const auto& [type, stored, rc, value, dbl] : cases) {
        store(type, stored);
        int v = -99;
        EXPECT_EQ(sysdb::read_int("SYS", "K", &v), rc) << stored;
        EXPECT_EQ(v, rc == 0 ? value : -99) << stored;
        double d = -99.0;
        EXPECT_EQ(sysdb::read_dbl("SYS", "K", &d) == 0, !std::isnan(dbl)) << stored;
        EXPECT_EQ(d, std::isnan(dbl) ? -99.0 : dbl) << stored;
    }
}

TEST_F(SysdbTest, BatchIsAllOrNothingForAnotherConnection) {
    const int n = 35;
    ASSERT_EQ(write_batch(n, 0), 0);
    {
        sysdb::Batch batch("GPS");
        ASSERT_TRUE(batch.open());
        for (int i = 0; i < n; ++i) ASSERT_EQ(batch.write_int(key(i).c_str(), 100 + i), 0);
        EXPECT_EQ(count_batch(n, 0), n) << "a reader saw part of an open batch";
    }
    EXPECT_EQ(count_batch(n, 100), n);
    // An exception ends the batch with what was written before it, and frees the lock.
    try {
        sysdb::Batch batch("GPS");
        for (int i = 0; i < n; ++i) batch.write_int(key(i).c_str(), 200 + i);
        throw std::runtime_error("mid-batch");
    } catch (const std::runtime_error&) {
    }
    EXPECT_EQ(count_batch(n, 200), n);
    EXPECT_EQ(sysdb::write_int("GPS", "K0", 300), 0);
}

// An older file gets the rowid table at once, and its small pages only when no other
// connection has it open.
TEST_F(SysdbTest, OlderFilesAreRebuiltWithSmallPagesUnlessInUse) {
    for (const char* kind : {"old", "old in use", "new"}) {
        const bool old = kind[0] == 'o', in_use = strlen(kind) > 3;
        navtest::TempDir dir;
        const std::string path = dir / "sysdb.sqlite";
        sqlite3* other = nullptr;  // makes the file as earlier versions did
        if (old && sqlite3_open(path.c_str(), &other) == SQLITE_OK)
            sqlite3_exec(other,
                         "PRAGMA page_size=4096; PRAGMA journal_mode=WAL; CREATE TABLE kv (db, key,"
                         " type, value, PRIMARY KEY (db, key)) WITHOUT ROWID;"
                         " INSERT INTO kv VALUES ('GPS', 'K1', 3, 48.25)",
                         nullptr, nullptr, nullptr);
        if (!in_use) sqlite3_close(other);
        navtest::ScopedEnv env("SYSDB_PATH", path);
        navtest::LogCapture log;
        EXPECT_EQ(write_batch(1, 7), 0) << kind;
        sysdb_reset_thread_connection();
        EXPECT_EQ(query(path, "PRAGMA page_size"), in_use ? "4096" : "1024") << kind;
        EXPECT_EQ(log.count("rebuilt with 1024-byte pages"), old && !in_use ? 1 : 0) << kind;
        EXPECT_EQ(log.count("sysdb: rebuild failed"), in_use ? 1 : 0) << kind;
        EXPECT_EQ(log.count("kv rebuilt as a rowid table"), old ? 1 : 0) << kind;
        EXPECT_EQ(query(path, "SELECT origin FROM pragma_index_list('kv')"), "u") << kind;
        EXPECT_EQ(query(path, "PRAGMA journal_mode"), "wal") << kind;
        EXPECT_EQ(query(path, "SELECT group_concat(key || '=' || value) FROM kv"),
                  old ? "K1=48.25,K0=7" : "K0=7")
            << kind;
        if (in_use) sqlite3_close(other);
    }
}

TEST_F(SysdbTest, LockHeldPastTheTimeoutWritesNothing) {
    ASSERT_EQ(write_batch(1, 1), 0);
    sqlite3* other = nullptr;  // another service's writer holding the lock
    ASSERT_EQ(sqlite3_open(path_.c_str(), &other), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(other, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
    {
        navtest::LogCapture log;
        sysdb::Batch batch("GPS");
        EXPECT_FALSE(batch.open());
        EXPECT_NE(batch.write_int("K0", 3), 0);
        EXPECT_NE(batch.end(), 0);
        EXPECT_NE(sysdb::write_int("GPS", "K0", 4), 0);
        EXPECT_EQ(log.count("sysdb: txn_start failed: database is locked"), 1);
        EXPECT_EQ(count_batch(1, 1), 1) << "readers are not held up by a writer";
    }
    sqlite3_exec(other, "COMMIT", nullptr, nullptr, nullptr);
    sqlite3_close(other);
    EXPECT_EQ(write_batch(3, 10), 0) << "recovers once the lock is gone";
}

}  // namespace
