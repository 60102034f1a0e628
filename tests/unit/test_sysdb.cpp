// The system database on SQLite: typed values, reads as peers store them, batches seen whole by
// another connection, and failures that write nothing.
#include <gtest/gtest.h>
#include <sqlite3.h>

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

TEST_F(SysdbTest, ValuesKeepTheirTypeAndReadBackExactly) {
    // (type, value written; read back as the same text on a fresh connection)
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
    {
        sysdb::Batch batch("GPS");
        for (size_t n = 0; n < std::size(cases); ++n) {
            const auto& [type, in] = cases[n];
            Json::Value j;
            Json::Reader().parse(in, j);
            const std::string ks = key(static_cast<int>(n));
            const char* k = ks.c_str();
            const int rc = type == SYSDB_TEXT  ? batch.write_str(k, in)
                           : type == SYSDB_INT ? batch.write_int(k, atoi(in))
                           : type == SYSDB_DBL ? batch.write_dbl(k, strtod(in, nullptr))
                                               : batch.write_json(k, j);
            ASSERT_EQ(rc, 0) << in;
        }
    }  // the scope's end commits
    sysdb_reset_thread_connection();
    for (size_t n = 0; n < std::size(cases); ++n) {
        sysdb_value v;
        ASSERT_EQ(sysdb_namedb_read_value(nullptr, "GPS", key(static_cast<int>(n)).c_str(), &v), 0);
        EXPECT_EQ(v.type, cases[n].first) << cases[n].second;
        EXPECT_EQ(sysdb_value_text(v), cases[n].second);
    }
    char buf[8];  // a text read is cut to the buffer and always terminated
    ASSERT_EQ(sysdb::read_str("GPS", "K0", buf, sizeof buf), 0);
    EXPECT_STREQ(buf, "h\xC3\xA9llo ");
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

TEST_F(SysdbTest, FailedOpenOrLockPastTimeoutWritesNothing) {
    ASSERT_EQ(write_batch(1, 1), 0);
    for (const std::string& path : {std::string("/proc/navmon-no-such-dir/db"), dir_.path()}) {
        navtest::ScopedEnv env("SYSDB_PATH", path);
        navtest::LogCapture log;
        sysdb::Batch batch("GPS");
        EXPECT_FALSE(batch.open());
        EXPECT_NE(batch.write_int("K0", 2), 0);
        EXPECT_NE(batch.end(), 0);
        EXPECT_EQ(log.count("sysdb: open failed: " + path), 1);
    }
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
