#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <climits>
#include <cmath>
#include <cstring>
#include <string>
#include <thread>
#include <tuple>

#include "platform/sysdb.h"
#include "tests/support/batch_watch.h"
#include "tests/support/support.h"

namespace {

std::string key(int i) {
    return "K" + std::to_string(i);
}
// Keys K0..K{n-1} of "GPS" written in one batch, key i holding base + i.
int write_batch(int n, int base, bool commit) {
    sysdb_context ctx;
    if (sysdb_init(&ctx, 0) != 0) return -1;
    int rc = sysdb_txn_start(&ctx, "GPS", 0);
    for (int i = 0; rc == 0 && i < n; ++i) rc = sysdb_write_int(&ctx, key(i).c_str(), base + i, 0);
    if (rc == 0 && commit) rc = sysdb_txn_end(&ctx);
    sysdb_exit(&ctx);
    return rc;
}
// How many of K0..K{n-1} hold base + i; -1 when a key holds anything else.
int count_batch(int n, int base) {
    int found = 0;
    for (int i = 0, v = 0; i < n; ++i) {
        int rc = sysdb_namedb_read_int(nullptr, "GPS", key(i).c_str(), &v);
        if (rc == 0 && v != base + i) return -1;
        found += rc == 0;
    }
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
    navtest::TempDir dir_;
    std::string path_ = dir_ / "lib/sysdb.sqlite";  // opening creates the directory
    navtest::ScopedEnv env_{"SYSDB_PATH", path_};
};

TEST_F(SysdbTest, ValuesRoundTripThroughBatchesAndNamedWrites) {
    // (type, value written, its text form read back on a fresh connection; nullptr: the same)
    const std::tuple<sysdb_type, const char*, const char*> cases[] = {
        {SYSDB_TEXT, "h\xC3\xA9llo \xE2\x9C\x93\r\n", nullptr},
        {SYSDB_TEXT, "", nullptr},
        {SYSDB_INT, "-2147483648", nullptr},
        {SYSDB_INT, "2147483647", nullptr},
        {SYSDB_DBL, "0.1", "0.10000000000000001"},
        {SYSDB_DBL, "-0", nullptr},
        {SYSDB_DBL, "5e-324", "4.9406564584124654e-324"},
        {SYSDB_DBL, "nan", nullptr},
        {SYSDB_DBL, "1", nullptr},
        {SYSDB_JSON, "{ \"a\" : [1, 2.5, \"x\"], \"b\" : { \"c\" : null } }",
         "{\"a\":[1,2.5,\"x\"],\"b\":{\"c\":null}}"},
    };
    for (bool batch : {true, false}) {
        sysdb_context ctx;
        sysdb_context* c = batch ? &ctx : nullptr;
        ASSERT_TRUE(!batch || (sysdb_init(&ctx, 0) == 0 && sysdb_txn_start(&ctx, "GPS", 0) == 0));
        for (int n = 0; n < static_cast<int>(std::size(cases)); ++n) {
            const auto& [type, in, shown] = cases[n];
            const std::string ks = key(n);
            const char* k = ks.c_str();
            Json::Value j;
            Json::Reader().parse(in, j);
            int i = atoi(in), rc = -1;
            double d = strtod(in, nullptr);
            if (type == SYSDB_TEXT)
                rc = c ? sysdb_write_str(c, k, in, 0) : sysdb_namedb_write_str(c, "GPS", k, in, 0);
            if (type == SYSDB_INT)
                rc = c ? sysdb_write_int(c, k, i, 0) : sysdb_namedb_write_int(c, "GPS", k, i, 0);
            if (type == SYSDB_DBL)
                rc = c ? sysdb_write_dbl(c, k, 0, d) : sysdb_namedb_write_dbl(c, "GPS", k, d, 0);
            if (type == SYSDB_JSON)
                rc = c ? sysdb_write_json(c, k, j, 0) : sysdb_namedb_write_json(c, "GPS", k, j, 0);
            ASSERT_EQ(rc, 0) << in;
        }
        ASSERT_TRUE(!batch || (sysdb_txn_end(&ctx) == 0 && sysdb_exit(&ctx) == 0));
        sysdb_reset_thread_connection();
        for (int n = 0; n < static_cast<int>(std::size(cases)); ++n) {
            const auto& [type, in, shown] = cases[n];
            sysdb_value v;
            ASSERT_EQ(sysdb_namedb_read_value(nullptr, "GPS", key(n).c_str(), &v), 0);
            EXPECT_EQ(v.type, type) << in << (batch ? " batch" : " named");
            EXPECT_EQ(sysdb_value_text(v), shown ? shown : in)
                << in << (batch ? " batch" : " named");
        }
    }
    int i = -7;  // a missing key reads as 1 and leaves the default alone
    EXPECT_EQ(sysdb_namedb_read_int(nullptr, "SYS", "K3", &i), 1);
    EXPECT_EQ(i, -7);
}

TEST_F(SysdbTest, ReadStrTruncatesAndAlwaysTerminates) {
    const std::string value = "0123456789ABCDEFGHI";  // 19 bytes
    ASSERT_EQ(sysdb_namedb_write_str(nullptr, "CELL", "IMEI", value.c_str(), 0), 0);
    for (size_t size : {1u, 2u, 19u, 20u, 64u}) {
        char buf[80];
        memset(buf, '#', sizeof buf);
        ASSERT_EQ(sysdb_namedb_read_str(nullptr, "CELL", "IMEI", buf, size), 0);
        size_t n = std::min(size - 1, value.size());
        EXPECT_EQ(std::string(buf, n + 2), value.substr(0, n) + std::string("\0#", 2)) << size;
    }
    char buf[1] = {'#'};
    EXPECT_NE(sysdb_namedb_read_str(nullptr, "CELL", "IMEI", buf, 0), 0);
    EXPECT_EQ(buf[0], '#');
}

TEST_F(SysdbTest, BatchIsAllOrNothingForAnotherConnection) {
    const int n = 35;
    ASSERT_EQ(write_batch(n, 0, true), 0);
    sysdb_context ctx;
    ASSERT_EQ(sysdb_init(&ctx, 0), 0);
    ASSERT_EQ(sysdb_txn_start(&ctx, "GPS", 0), 0);
    for (int i = 0; i < n; ++i) ASSERT_EQ(sysdb_write_int(&ctx, key(i).c_str(), 100 + i, 0), 0);
    int seen = -2;
    std::thread([&] { seen = count_batch(n, 0); }).join();
    EXPECT_EQ(seen, n) << "a reader saw part of an open batch";
    ASSERT_EQ(sysdb_txn_end(&ctx), 0);
    sysdb_exit(&ctx);
    std::thread([&] { seen = count_batch(n, 100); }).join();
    EXPECT_EQ(seen, n);
    // A batch released without its end is rolled back, and the write lock goes with it.
    ASSERT_EQ(write_batch(n, 200, false), 0);
    EXPECT_EQ(count_batch(n, 100), n);
    EXPECT_EQ(write_batch(n, 300, true), 0);
}

TEST_F(SysdbTest, WritingTheStoredValueAgainAppendsNothing) {
    struct V {
        sysdb_type type;
        double num;  // SYSDB_INT and SYSDB_DBL
        const char* text;
    };
    // (first value, second value, whether the second lands in the WAL, its text read back)
    const std::tuple<V, V, bool, const char*> cases[] = {
        {{SYSDB_INT, 5, ""}, {SYSDB_INT, 5, ""}, false, "5"},
        {{SYSDB_TEXT, 0, "a\r\n"}, {SYSDB_TEXT, 0, "a\r\n"}, false, "a\r\n"},
        {{SYSDB_TEXT, 0, "a"}, {SYSDB_TEXT, 0, "b"}, true, "b"},
        {{SYSDB_INT, 1, ""}, {SYSDB_DBL, 1.0, ""}, true, "1"},
        {{SYSDB_DBL, 0.25, ""}, {SYSDB_DBL, 0.25, ""}, false, "0.25"},
        {{SYSDB_DBL, 0.0, ""}, {SYSDB_DBL, -0.0, ""}, true, "-0"},
        {{SYSDB_DBL, NAN, ""}, {SYSDB_DBL, NAN, ""}, false, "nan"},
    };
    auto put = [](const char* k, const V& v) {
        if (v.type == SYSDB_INT) return sysdb_namedb_write_int(nullptr, "GPS", k, int(v.num), 0);
        if (v.type == SYSDB_DBL) return sysdb_namedb_write_dbl(nullptr, "GPS", k, v.num, 0);
        return sysdb_namedb_write_str(nullptr, "GPS", k, v.text, 0);
    };
    const std::string wal = path_ + "-wal";
    for (int n = 0; n < static_cast<int>(std::size(cases)); ++n) {
        const auto& [first, second, lands, shown] = cases[n];
        const std::string k = key(n);
        ASSERT_EQ(put(k.c_str(), first), 0);
        long long size = file_size(wal);
        ASSERT_EQ(put(k.c_str(), second), 0);
        EXPECT_EQ(file_size(wal) > size, lands) << n;
        sysdb_value v;
        EXPECT_EQ(sysdb_namedb_read_value(nullptr, "GPS", k.c_str(), &v), 0);
        EXPECT_TRUE(v.type == second.type && sysdb_value_text(v) == shown) << n;
    }
    ASSERT_EQ(write_batch(2, 7, true), 0);  // a batch that repeats itself
    long long size = file_size(wal);
    ASSERT_EQ(write_batch(2, 7, true), 0);
    EXPECT_EQ(file_size(wal), size);
}

TEST_F(SysdbTest, OlderFilesAreRebuiltWithSmallPagesUnlessInUse) {
    // An older file gets the rowid table at once, and its small pages only when no other
    // connection has it open.
    for (const char* kind : {"old", "old in use", "new"}) {
        SCOPED_TRACE(kind);
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
        EXPECT_EQ(write_batch(1, 7, true), 0);
        sysdb_reset_thread_connection();
        EXPECT_EQ(query(path, "PRAGMA page_size"), in_use ? "4096" : "1024");
        EXPECT_EQ(log.count("rebuilt with 1024-byte pages"), old && !in_use ? 1 : 0);
        EXPECT_EQ(log.count("sysdb: rebuild failed"), in_use ? 1 : 0);
        EXPECT_EQ(log.count("kv rebuilt as a rowid table"), old ? 1 : 0);
        EXPECT_EQ(query(path, "SELECT origin FROM pragma_index_list('kv')"), "u");
        EXPECT_EQ(query(path, "PRAGMA journal_mode"), "wal");
        EXPECT_EQ(query(path, "SELECT group_concat(key || '=' || value) FROM kv"),
                  old ? "K1=48.25,K0=7" : "K0=7");
        if (in_use) sqlite3_close(other);
    }
}

TEST_F(SysdbTest, FailedOpenOrLockPastTimeoutWritesNothing) {
    ASSERT_EQ(write_batch(1, 1, true), 0);
    for (const std::string& path : {std::string("/proc/navmon-no-such-dir/db"), dir_.path()}) {
        navtest::ScopedEnv env("SYSDB_PATH", path);
        navtest::LogCapture log;
        sysdb_context ctx;
        EXPECT_NE(sysdb_init(&ctx, 0), 0);
        EXPECT_NE(sysdb_txn_start(&ctx, "GPS", 0), 0);
        EXPECT_NE(sysdb_namedb_write_int(nullptr, "GPS", "K0", 2, 0), 0);
        EXPECT_EQ(log.count("sysdb: open failed: " + path), 1);
    }
    {
        navtest::WriteLock lock(path_);
        ASSERT_TRUE(lock.held());
        navtest::LogCapture log;
        sysdb_context ctx;
        ASSERT_EQ(sysdb_init(&ctx, 0), 0);
        EXPECT_NE(sysdb_txn_start(&ctx, "GPS", 0), 0);
        EXPECT_NE(sysdb_write_int(&ctx, "K0", 3, 0), 0);
        EXPECT_NE(sysdb_txn_end(&ctx), 0);
        sysdb_exit(&ctx);
        EXPECT_NE(sysdb_namedb_write_int(nullptr, "GPS", "K0", 4, 0), 0);
        EXPECT_EQ(log.count("sysdb: txn_start failed: database is locked"), 1);
        EXPECT_EQ(count_batch(1, 1), 1) << "readers are not held up by a writer";
    }
    EXPECT_EQ(count_batch(1, 1), 1);
    EXPECT_EQ(write_batch(3, 10, true), 0) << "recovers once the lock is gone";
}

}  // namespace
