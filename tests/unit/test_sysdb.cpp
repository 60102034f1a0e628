#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>
#include <thread>
#include <tuple>

#include <sqlite3.h>

#include "platform/sysdb.h"
#include "tests/support/support.h"

namespace {

// Holds the write lock (BEGIN IMMEDIATE) as a busy writer of another service would.
class WriteLock {
public:
    explicit WriteLock(const std::string& path) {
        if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK)
            held_ = sqlite3_exec(db_, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) == SQLITE_OK;
    }
    ~WriteLock() {
        if (held_) sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr);
        sqlite3_close_v2(db_);
    }
    bool held() const { return held_; }

private:
    sqlite3* db_ = nullptr;
    bool held_ = false;
};

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
        {SYSDB_DBL, "48.0913", nullptr},
        {SYSDB_DBL, "-0", nullptr},
        {SYSDB_DBL, "5e-324", nullptr},
        {SYSDB_DBL, "123.4000015258789", nullptr},
        {SYSDB_DBL, "1e+300", nullptr},
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

// Peers store whole numbers as text (the tool's default) or as doubles: both read as integers
// when whole and in range; anything else fails and leaves the default alone.
TEST_F(SysdbTest, ReadIntTakesWholeNumbersOfEveryType) {
    const struct {
        sysdb_type type;
        const char* stored;
        int rc, value;
    } cases[] = {
        {SYSDB_INT, "5", 0, 5},
        {SYSDB_DBL, "1234", 0, 1234},
        {SYSDB_DBL, "-2147483648", 0, INT_MIN},
        {SYSDB_DBL, "2147483648", -1, 0},
        {SYSDB_DBL, "1.5", -1, 0},
        {SYSDB_DBL, "nan", -1, 0},
        {SYSDB_DBL, "1e300", -1, 0},
        {SYSDB_TEXT, "42", 0, 42},
        {SYSDB_TEXT, "-007", 0, -7},
        {SYSDB_TEXT, "+2147483647", 0, INT_MAX},
        {SYSDB_TEXT, "2147483648", -1, 0},
        {SYSDB_TEXT, "", -1, 0},
        {SYSDB_TEXT, "-", -1, 0},
        {SYSDB_TEXT, "4.0", -1, 0},
        {SYSDB_TEXT, " 5", -1, 0},
        {SYSDB_TEXT, "5\n", -1, 0},
        {SYSDB_JSON, "5", -1, 0},
    };
    for (const auto& c : cases) {
        if (c.type == SYSDB_INT) sysdb_namedb_write_int(nullptr, "SYS", "K", atoi(c.stored), 0);
        if (c.type == SYSDB_DBL)
            sysdb_namedb_write_dbl(nullptr, "SYS", "K", strtod(c.stored, nullptr), 0);
        if (c.type == SYSDB_TEXT) sysdb_namedb_write_str(nullptr, "SYS", "K", c.stored, 0);
        if (c.type == SYSDB_JSON) sysdb_namedb_write_json(nullptr, "SYS", "K", Json::Value(5), 0);
        int v = -99;
        EXPECT_EQ(sysdb_namedb_read_int(nullptr, "SYS", "K", &v), c.rc) << c.stored;
        EXPECT_EQ(v, c.rc == 0 ? c.value : -99) << c.stored;
    }
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
        WriteLock lock(path_);
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
