#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "platform/sysdb.h"
#include "tests/support/support.h"

namespace {

class SysdbTest : public ::testing::Test {
protected:
    void SetUp() override {
        sysdb_reset_thread_connection();
        // The parent directory does not exist yet: opening must create it.
        env_ = std::make_unique<navtest::ScopedEnv>("SYSDB_PATH", dir_ / "lib/sysdb.sqlite");
    }
    void TearDown() override { sysdb_reset_thread_connection(); }

    // Keys K00..K{n-1} of "GPS" written in one batch, key i holding base + i.
    static int write_batch(int n, int base, bool commit) {
        sysdb_context ctx;
        if (sysdb_init(&ctx, 0) != 0) return -1;
        int rc = sysdb_txn_start(&ctx, "GPS", 0);
        for (int i = 0; rc == 0 && i < n; ++i)
            rc = sysdb_write_int(&ctx, key(i).c_str(), base + i, 0);
        if (rc == 0 && commit) rc = sysdb_txn_end(&ctx);
        sysdb_exit(&ctx);
        return rc;
    }
    // How many of K00..K{n-1} hold base + i; -1 when a key holds anything else.
    static int count_batch(int n, int base) {
        int found = 0;
        for (int i = 0; i < n; ++i) {
            int v = 0;
            int rc = sysdb_namedb_read_int(nullptr, "GPS", key(i).c_str(), &v);
            if (rc == 0 && v != base + i) return -1;
            if (rc == 0) found++;
        }
        return found;
    }
    static std::string key(int i) {
        char buf[8];
        snprintf(buf, sizeof buf, "K%02d", i);
        return buf;
    }

    navtest::TempDir dir_;
    std::unique_ptr<navtest::ScopedEnv> env_;
};

bool same_bits(double a, double b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

TEST_F(SysdbTest, ValuesRoundTripThroughBatchesAndNamedWrites) {
    struct Case {
        sysdb_type type;
        const char* text;
        long long i;
        double d;
        const char* json_in;  // parsed and written with the JSON calls; text holds the result
    };
    const Case cases[] = {
        {SYSDB_TEXT, "h\xC3\xA9llo w\xC3\xB6rld \xE2\x9C\x93", 0, 0, nullptr},
        {SYSDB_TEXT, "", 0, 0, nullptr},
        {SYSDB_TEXT, "$GPGSV,1,1,01,05,40,083,46*45\r\n", 0, 0, nullptr},
        {SYSDB_INT, nullptr, INT_MIN, 0, nullptr},
        {SYSDB_INT, nullptr, INT_MAX, 0, nullptr},
        {SYSDB_INT, nullptr, 0, 0, nullptr},
        {SYSDB_DBL, nullptr, 0, 0.1, nullptr},
        {SYSDB_DBL, nullptr, 0, 123.4000015258789, nullptr},
        {SYSDB_DBL, nullptr, 0, -0.0, nullptr},
        {SYSDB_DBL, nullptr, 0, 1e300, nullptr},
        {SYSDB_DBL, nullptr, 0, 5e-324, nullptr},
        {SYSDB_DBL, nullptr, 0, -HUGE_VAL, nullptr},
        {SYSDB_DBL, nullptr, 0, 1.0, nullptr},  // integral doubles stay doubles
        {SYSDB_JSON, "{\"a\":[1,2.5,\"x\"],\"b\":{\"c\":null}}", 0, 0,
         "{ \"a\" : [1, 2.5, \"x\"], \"b\" : { \"c\" : null } }"},
        {SYSDB_JSON, "[1,\"two\",3.5]", 0, 0, "[1, \"two\", 3.5]"},
    };
    for (bool batch : {true, false}) {
        sysdb_context ctx;
        if (batch) {
            ASSERT_EQ(sysdb_init(&ctx, 0), 0);
            ASSERT_EQ(sysdb_txn_start(&ctx, "GPS", 0), 0);
        }
        int n = 0;
        for (const Case& c : cases) {
            std::string k = "V" + std::to_string(n++);
            Json::Value json;
            if (c.json_in != nullptr) {
                ASSERT_TRUE(Json::Reader().parse(c.json_in, json));
            }
            int rc = -1;
            switch (c.type) {
                case SYSDB_TEXT:
                    rc = batch ? sysdb_write_str(&ctx, k.c_str(), c.text, 0)
                               : sysdb_namedb_write_str(nullptr, "GPS", k.c_str(), c.text, 0);
                    break;
                case SYSDB_INT:
                    rc = batch ? sysdb_write_int(&ctx, k.c_str(), static_cast<int>(c.i), 0)
                               : sysdb_namedb_write_int(nullptr, "GPS", k.c_str(),
                                                        static_cast<int>(c.i), 0);
                    break;
                case SYSDB_DBL:
                    rc = batch ? sysdb_write_dbl(&ctx, k.c_str(), 0, c.d)
                               : sysdb_namedb_write_dbl(nullptr, "GPS", k.c_str(), c.d, 0);
                    break;
                case SYSDB_JSON:
                    rc = batch ? sysdb_write_json(&ctx, k.c_str(), json, 0)
                               : sysdb_namedb_write_json(nullptr, "GPS", k.c_str(), json, 0);
                    break;
            }
            ASSERT_EQ(rc, 0) << k;
        }
        if (batch) {
            ASSERT_EQ(sysdb_txn_end(&ctx), 0);
            sysdb_exit(&ctx);
        }
        // Read back on a fresh connection so nothing comes from a cache.
        sysdb_reset_thread_connection();
        n = 0;
        for (const Case& c : cases) {
            std::string k = "V" + std::to_string(n++);
            SCOPED_TRACE(k + (batch ? " batch" : " named"));
            sysdb_value v;
            ASSERT_EQ(sysdb_namedb_read_value(nullptr, "GPS", k.c_str(), &v), 0);
            EXPECT_EQ(v.type, c.type);
            if (c.type == SYSDB_INT) {
                EXPECT_EQ(v.i, c.i);
            }
            if (c.type == SYSDB_DBL) {
                EXPECT_TRUE(same_bits(v.d, c.d)) << v.d;
            }
            if (c.type == SYSDB_TEXT || c.type == SYSDB_JSON) {
                EXPECT_EQ(v.text, c.text);
            }
        }
    }
}

TEST_F(SysdbTest, NaNSurvivesAsNaN) {
    ASSERT_EQ(sysdb_namedb_write_dbl(nullptr, "GPS", "N", std::nan(""), 0), 0);
    double d = 0.0;
    ASSERT_EQ(sysdb_namedb_read_dbl(nullptr, "GPS", "N", &d), 0);
    EXPECT_TRUE(std::isnan(d));
}

TEST_F(SysdbTest, TypedReadsConvertOnlyWhereExact) {
    ASSERT_EQ(sysdb_namedb_write_int(nullptr, "SYS", "I", 42, 0), 0);
    ASSERT_EQ(sysdb_namedb_write_dbl(nullptr, "SYS", "D", 2.5, 0), 0);
    ASSERT_EQ(sysdb_namedb_write_str(nullptr, "SYS", "T", "17", 0), 0);
    ASSERT_EQ(sysdb_namedb_write_json(nullptr, "SYS", "J", Json::Value(3), 0), 0);

    struct Case {
        const char* key;
        int int_rc;
        int dbl_rc;
        double dbl;
        const char* str;
    };
    const Case cases[] = {
        {"I", 0, 0, 42.0, "42"}, {"D", -1, 0, 2.5, "2.5"},      {"T", -1, -1, 0, "17"},
        {"J", -1, -1, 0, "3"},   {"MISSING", 1, 1, 0, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.key);
        int i = -7;
        EXPECT_EQ(sysdb_namedb_read_int(nullptr, "SYS", c.key, &i), c.int_rc);
        EXPECT_EQ(i, c.int_rc == 0 ? 42 : -7);  // a failed read leaves the default alone
        double d = -7.0;
        EXPECT_EQ(sysdb_namedb_read_dbl(nullptr, "SYS", c.key, &d), c.dbl_rc);
        EXPECT_EQ(d, c.dbl_rc == 0 ? c.dbl : -7.0);
        char buf[16] = "default";
        int rc = sysdb_namedb_read_str(nullptr, "SYS", c.key, buf, sizeof buf);
        EXPECT_EQ(rc, c.str != nullptr ? 0 : 1);
        EXPECT_STREQ(buf, c.str != nullptr ? c.str : "default");
    }
    // The same key in another database is another record.
    int i = 0;
    EXPECT_EQ(sysdb_namedb_read_int(nullptr, "GPS", "I", &i), 1);
}

TEST_F(SysdbTest, ReadStrTruncatesAndAlwaysTerminates) {
    const std::string value = "0123456789ABCDEFGHI";  // 19 bytes
    ASSERT_EQ(sysdb_namedb_write_str(nullptr, "CELL", "CELL_IMEI", value.c_str(), 0), 0);
    for (size_t size : {1u, 2u, 15u, 16u, 19u, 20u, 64u}) {
        SCOPED_TRACE(size);
        char buf[80];
        memset(buf, '#', sizeof buf);
        ASSERT_EQ(sysdb_namedb_read_str(nullptr, "CELL", "CELL_IMEI", buf, size), 0);
        size_t n = std::min(size - 1, value.size());
        EXPECT_EQ(std::string(buf, n), value.substr(0, n));
        EXPECT_EQ(buf[n], '\0');
        EXPECT_EQ(buf[n + 1], '#');  // nothing written past the terminator
        EXPECT_EQ(buf[size], '#');   // nor past the buffer
    }
    char buf[4] = {'#', '#', '#', '#'};
    EXPECT_NE(sysdb_namedb_read_str(nullptr, "CELL", "CELL_IMEI", buf, 0), 0);
    EXPECT_EQ(buf[0], '#');
}

TEST_F(SysdbTest, NullAndMisusedArgumentsFail) {
    sysdb_context open;
    ASSERT_EQ(sysdb_init(&open, 0), 0);
    ASSERT_EQ(sysdb_txn_start(&open, "GPS", 0), 0);
    sysdb_context idle;  // initialised but no transaction
    ASSERT_EQ(sysdb_init(&idle, 0), 0);
    sysdb_context blank;  // never initialised
    const std::string long_name(sizeof(sysdb_context::db), 'X');
    sysdb_value v;
    struct Case {
        const char* what;
        std::function<int()> call;
    };
    const Case cases[] = {
        {"init null", [] { return sysdb_init(nullptr, 0); }},
        {"txn_start null db", [&] { return sysdb_txn_start(&idle, nullptr, 0); }},
        {"txn_start long db", [&] { return sysdb_txn_start(&idle, long_name.c_str(), 0); }},
        {"txn_start blank ctx", [&] { return sysdb_txn_start(&blank, "GPS", 0); }},
        {"txn_start twice", [&] { return sysdb_txn_start(&open, "GPS", 0); }},
        {"write null key", [&] { return sysdb_write_int(&open, nullptr, 1, 0); }},
        {"write null text", [&] { return sysdb_write_str(&open, "K", nullptr, 0); }},
        {"write without txn", [&] { return sysdb_write_dbl(&idle, "K", 0, 1.0); }},
        {"txn_end without txn", [&] { return sysdb_txn_end(&idle); }},
        {"read_int null out", [] { return sysdb_namedb_read_int(nullptr, "G", "K", nullptr); }},
        {"read_str null buf", [] { return sysdb_namedb_read_str(nullptr, "G", "K", nullptr, 8); }},
        {"read_value null db", [&] { return sysdb_namedb_read_value(nullptr, nullptr, "K", &v); }},
        {"write_str null text",
         [] { return sysdb_namedb_write_str(nullptr, "G", "K", nullptr, 0); }},
        {"del null key", [] { return sysdb_namedb_del(nullptr, "G", nullptr); }},
        {"list null out", [] { return sysdb_namedb_list(nullptr, "G", nullptr); }},
    };
    for (const Case& c : cases) EXPECT_NE(c.call(), 0) << c.what;
    // None of the refused calls disturbed the open batch.
    EXPECT_EQ(sysdb_write_int(&open, "K", 5, 0), 0);
    EXPECT_EQ(sysdb_txn_end(&open), 0);
    sysdb_exit(&open);
    sysdb_exit(&idle);
    int i = 0;
    EXPECT_EQ(sysdb_namedb_read_int(nullptr, "GPS", "K", &i), 0);
    EXPECT_EQ(i, 5);
}

TEST_F(SysdbTest, BatchIsAllOrNothingForAnotherThread) {
    const int n = 35;
    ASSERT_EQ(write_batch(n, 0, true), 0);

    sysdb_context ctx;
    ASSERT_EQ(sysdb_init(&ctx, 0), 0);
    ASSERT_EQ(sysdb_txn_start(&ctx, "GPS", 0), 0);
    for (int i = 0; i < n; ++i) ASSERT_EQ(sysdb_write_int(&ctx, key(i).c_str(), 100 + i, 0), 0);
    int seen_open = -2;
    std::thread([&] { seen_open = count_batch(n, 0); }).join();
    EXPECT_EQ(seen_open, n) << "a reader saw part of an open batch";

    ASSERT_EQ(sysdb_txn_end(&ctx), 0);
    sysdb_exit(&ctx);
    int seen_done = -2;
    std::thread([&] { seen_done = count_batch(n, 100); }).join();
    EXPECT_EQ(seen_done, n);

    // A batch released without its end is rolled back, and the write lock goes with it.
    ASSERT_EQ(write_batch(n, 200, false), 0);
    EXPECT_EQ(count_batch(n, 100), n);
    EXPECT_EQ(sysdb_namedb_write_int(nullptr, "GPS", "AFTER", 1, 0), 0);
}

// A writer killed mid-batch leaves the previous batch whole and its lock released. The child
// opens its own connection after the fork.
TEST_F(SysdbTest, WriterKilledMidBatchLeavesPreviousBatch) {
    const int n = 35;
    ASSERT_EQ(write_batch(n, 0, true), 0);
    sysdb_reset_thread_connection();  // nothing open may cross the fork
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        sysdb_context ctx;
        if (sysdb_init(&ctx, 0) != 0 || sysdb_txn_start(&ctx, "GPS", 0) != 0) _exit(3);
        for (int i = 0; i < n; ++i) sysdb_write_int(&ctx, key(i).c_str(), 300 + i, 0);
        if (write(ready[1], "o", 1) != 1) _exit(4);
        pause();  // killed here, batch open
        _exit(5);
    }
    close(ready[1]);
    char c = 0;
    ASSERT_EQ(read(ready[0], &c, 1), 1);
    close(ready[0]);
    EXPECT_EQ(count_batch(n, 0), n) << "an open batch leaked into another process";
    kill(pid, SIGKILL);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_EQ(count_batch(n, 0), n);
    EXPECT_EQ(write_batch(n, 400, true), 0) << "the killed writer's lock outlived it";
    EXPECT_EQ(count_batch(n, 400), n);
}

TEST_F(SysdbTest, UnopenableFileFailsEveryCallAndWarnsOnce) {
    for (const std::string& path :
         {std::string("/proc/navmon-no-such-dir/sysdb.sqlite"), dir_.path()}) {
        SCOPED_TRACE(path);
        navtest::ScopedEnv env("SYSDB_PATH", path);
        navtest::LogCapture log;
        sysdb_context ctx;
        EXPECT_NE(sysdb_init(&ctx, 0), 0);
        EXPECT_NE(sysdb_txn_start(&ctx, "GPS", 0), 0);
        EXPECT_NE(sysdb_namedb_write_int(nullptr, "GPS", "K", 1, 0), 0);
        int i = 5;
        EXPECT_NE(sysdb_namedb_read_int(nullptr, "GPS", "K", &i), 0);
        EXPECT_EQ(i, 5);
        std::vector<std::pair<std::string, sysdb_value>> rows;
        EXPECT_NE(sysdb_namedb_list(nullptr, "GPS", &rows), 0);
        EXPECT_EQ(log.count("sysdb: open failed: " + path), 1);
        EXPECT_NE(std::string(sysdb_last_error()), "");
    }
    EXPECT_EQ(sysdb_namedb_write_int(nullptr, "GPS", "K", 1, 0), 0) << "recovers with a good path";
}

TEST_F(SysdbTest, LockHeldPastTimeoutFailsWithoutWriting) {
    ASSERT_EQ(sysdb_namedb_write_int(nullptr, "GPS", "K", 1, 0), 0);
    int to_holder[2], to_main[2];
    ASSERT_EQ(pipe(to_holder), 0);
    ASSERT_EQ(pipe(to_main), 0);
    std::thread holder([&] {
        sysdb_context h;
        char c = sysdb_init(&h, 0) == 0 && sysdb_txn_start(&h, "DR", 0) == 0 ? 'o' : 'x';
        if (write(to_main[1], &c, 1) != 1) return;
        if (read(to_holder[0], &c, 1) != 1) c = 0;
        sysdb_exit(&h);
    });
    char c = 0;
    ASSERT_EQ(read(to_main[0], &c, 1), 1);
    ASSERT_EQ(c, 'o');
    {
        navtest::LogCapture log;
        sysdb_context ctx;
        ASSERT_EQ(sysdb_init(&ctx, 0), 0);
        EXPECT_NE(sysdb_txn_start(&ctx, "GPS", 0), 0);
        EXPECT_NE(sysdb_write_int(&ctx, "K", 2, 0), 0);
        EXPECT_NE(sysdb_txn_end(&ctx), 0);
        sysdb_exit(&ctx);
        EXPECT_NE(sysdb_namedb_write_int(nullptr, "GPS", "K", 3, 0), 0);
        EXPECT_EQ(log.count("sysdb: txn_start failed: database is locked"), 1);
        EXPECT_EQ(log.count("sysdb: write_int failed: database is locked"), 1);
        // Readers are not held up by a writer.
        int i = 0;
        EXPECT_EQ(sysdb_namedb_read_int(nullptr, "GPS", "K", &i), 0);
        EXPECT_EQ(i, 1);
    }
    ASSERT_EQ(write(to_holder[1], "g", 1), 1);
    holder.join();
    for (int fd : {to_holder[0], to_holder[1], to_main[0], to_main[1]}) close(fd);
    EXPECT_EQ(write_batch(3, 10, true), 0);
    EXPECT_EQ(count_batch(3, 10), 3);
}

TEST_F(SysdbTest, ChangingPathSwitchesFiles) {
    ASSERT_EQ(sysdb_namedb_write_str(nullptr, "GPS", "WHERE", "first", 0), 0);
    char buf[16] = "";
    {
        navtest::ScopedEnv env("SYSDB_PATH", dir_ / "other.sqlite");
        EXPECT_EQ(sysdb_namedb_read_str(nullptr, "GPS", "WHERE", buf, sizeof buf), 1);
        ASSERT_EQ(sysdb_namedb_write_str(nullptr, "GPS", "WHERE", "second", 0), 0);
    }
    ASSERT_EQ(sysdb_namedb_read_str(nullptr, "GPS", "WHERE", buf, sizeof buf), 0);
    EXPECT_STREQ(buf, "first");
}

}  // namespace
