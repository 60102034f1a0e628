// The system database: typed values, reads as peers store them, whole batches, rebuilds, a lock.
#include <cstring>
#include <stdexcept>

#include "platform/sysdb/sysdb.h"
#include "tests/support/support.h"

const auto key = [](int i) { return "K" + std::to_string(i); };
// Keys K0..K{n-1} of "GPS" written in one batch, key i holding base + i.
static int write_batch(sysdb::Database& db, int n, int base) {
    sysdb::Batch batch(db, "GPS");
    for (int i = 0; i < n; ++i) batch.write_int(key(i).c_str(), base + i);
    return batch.end();
}
// How many of K0..K{n-1} hold base + i on another thread's connection; -1 if one holds other.
static int count_batch(int n, int base) {
    int found = 0;
    std::thread([&] {
        for (int i = 0, v = 0; i < n && found >= 0; ++i) {
            const int rc = sysdb_namedb_read_int(nullptr, "GPS", key(i).c_str(), &v);
            found = rc == 0 && v != base + i ? -1 : found + (rc == 0);
        }
    }).join();
    return found;
}

struct SysdbTest : ::testing::Test, navtest::TestDb {};

// Values keep their type and read back exactly; typed reads take numbers as peers store them (text
// or doubles): integers from whole numbers in range, doubles from any number, else fail and leave
// the default alone. Rewriting stored values adds nothing to the WAL (flash wear); a change does.
TEST_F(SysdbTest, ValuesReadBackExactlyAndRewritingThemCostsNothing) {
    // (type, value as text, what read_int reads or -99 when it fails, read_dbl succeeds)
    const std::tuple<sysdb_type, const char*, int, bool> cases[] = {
        {SYSDB_TEXT, "h\xC3\xA9llo \xE2\x9C\x93\r\n", -99, false},
        {SYSDB_TEXT, "", -99, false},
        {SYSDB_TEXT, "-007", -7, true},
        {SYSDB_TEXT, "+2147483647", INT_MAX, true},
        {SYSDB_TEXT, "2147483648", -99, true},
        {SYSDB_TEXT, "48.0913", -99, true},
        {SYSDB_TEXT, " 5", -99, false},
        {SYSDB_TEXT, "5\n", -99, false},
        {SYSDB_TEXT, "nan", -99, false},
        {SYSDB_INT, "-2147483648", INT_MIN, true},
        {SYSDB_DBL, "-2147483648", INT_MIN, true},
        {SYSDB_DBL, "1e+300", -99, true},
        {SYSDB_DBL, "350000000000000", -99, true},  // whole doubles as digits, up to 2^53
        {SYSDB_DBL, "1000000000000000", -99, true},
        {SYSDB_DBL, "9007199254740992", -99, true},
        {SYSDB_DBL, "0.1", -99, true},
        {SYSDB_DBL, "-0", 0, true},
        {SYSDB_DBL, "5e-324", -99, true},
        {SYSDB_DBL, "123.4000015258789", -99, true},
        {SYSDB_DBL, "nan", -99, true},
        {SYSDB_JSON, "5", -99, false}};
    auto write_all = [&] {
        sysdb::Batch batch(db, "GPS");
        int n = 0;
        for (const auto& [type, in, ignored, ignored_too] : cases) {
            const std::string k = key(n++);
            const int rc = type == SYSDB_TEXT  ? batch.write_str(k.c_str(), in)
                           : type == SYSDB_INT ? batch.write_int(k.c_str(), atoi(in))
                           : type == SYSDB_DBL ? batch.write_dbl(k.c_str(), strtod(in, nullptr))
                                               : batch.write_json(k.c_str(), atoi(in));
            ASSERT_EQ(rc, 0) << in;
        }
    };
    auto wal = [&] { return navtest::read_file(path + "-wal").size(); };
    write_all();
    const size_t before = wal();
    write_all();
    EXPECT_EQ(wal(), before);
    int n = 0;
    for (const auto& [type, in, int_read, dbl_ok] : cases) {
        const std::string k = key(n++);
        sysdb_value v;
        ASSERT_EQ(sysdb_namedb_read_value(nullptr, "GPS", k.c_str(), &v), 0);
        EXPECT_EQ(v.type, type) << in;
        EXPECT_EQ(sysdb_value_text(v), in);
        int i = -99;
        EXPECT_EQ(db.read_int("GPS", k.c_str(), &i) == 0, int_read != -99) << in;
        EXPECT_EQ(i, int_read) << in;
        double d = -99.0, want = dbl_ok ? strtod(in, nullptr) : -99.0;
        EXPECT_EQ(db.read_dbl("GPS", k.c_str(), &d) == 0, dbl_ok) << in;
        EXPECT_EQ(memcmp(&d, &want, sizeof d), 0) << in << " read as " << d;
    }
    db.write_str("GPS", "K1", "x");  // "" becomes "x"
    EXPECT_GT(wal(), before);
    char buf[8];  // a text read is cut to the buffer and always terminated
    ASSERT_EQ(db.read_str("GPS", "K0", buf, sizeof buf), 0);
    EXPECT_STREQ(buf, "h\xC3\xA9llo ");
    int i = -7;  // a missing key reads as 1 and leaves the default alone
    EXPECT_EQ(db.read_int("SYS", "K0", &i), 1);
    EXPECT_EQ(i, -7);
}

TEST_F(SysdbTest, BatchIsSeenWholeByAnotherConnectionAndEndsWithItsWritesOnAnException) {
    const int n = 35;
    ASSERT_EQ(write_batch(db, n, 0), 0);
    try {  // an exception ends the batch with what was written before it, and frees the lock
        sysdb::Batch batch(db, "GPS");
        for (int i = 0; i < n; ++i) ASSERT_EQ(batch.write_int(key(i).c_str(), 100 + i), 0);
        EXPECT_EQ(count_batch(n, 0), n) << "a reader saw part of an open batch";
        throw std::runtime_error("mid-batch");
    } catch (const std::runtime_error&) {
    }
    EXPECT_EQ(count_batch(n, 100), n);
    // Another thread of the process waits for a batch, however long, instead of failing on the
    // database's busy timeout: the batch holds the process's lock.
    std::atomic<int> rc{-2};
    sysdb::Batch batch(db, "GPS");
    std::thread other([&] { rc = db.write_int("GPS", "K0", 300); });
    std::this_thread::sleep_for(std::chrono::milliseconds(800));
    EXPECT_EQ(rc, -2) << "a write went in while another thread's batch was open";
    batch.end();
    other.join();
    EXPECT_EQ(rc, 0);
}

// An older file gets the rowid table at once; small pages only when no other connection has it.
TEST_F(SysdbTest, OlderFilesAreRebuiltWithSmallPagesUnlessInUse) {
    for (const char* kind : {"old", "old in use", "new"}) {
        const bool old = kind[0] == 'o', in_use = strlen(kind) > 3;
        const std::string file = dir / kind;
        sqlite3* other = nullptr;  // makes the file as earlier versions did
        if (old && sqlite3_open(file.c_str(), &other) == SQLITE_OK)
            navtest::sql_row(other,
                             "PRAGMA page_size=4096; PRAGMA journal_mode=WAL; CREATE TABLE kv"
                             " (db, key, type, value, PRIMARY KEY (db, key)) WITHOUT ROWID;"
                             " INSERT INTO kv VALUES ('GPS', 'K1', 3, 48.25)");
        if (!in_use) sqlite3_close(other);
        sysdb::Database older(file);
        EXPECT_EQ(write_batch(older, 1, 7), 0) << kind;
        // (page size, journal mode, the key's index: "u" for the rowid table, the rows)
        EXPECT_EQ(navtest::sql_row(file,
                                   "SELECT page_size, journal_mode, (SELECT origin FROM"
                                   " pragma_index_list('kv')), (SELECT group_concat(key ||"
                                   " '=' || value) FROM kv) FROM pragma_page_size,"
                                   " pragma_journal_mode"),
                  std::vector<std::string>(
                      {in_use ? "4096" : "1024", "wal", "u", old ? "K1=48.25,K0=7" : "K0=7"}))
            << kind;
        if (in_use) sqlite3_close(other);
    }
}

// A named call or a batch inside a batch of the same thread would wait for itself.
TEST_F(SysdbTest, AccessInsideABatchOfTheSameThreadIsAProgramError) {
    sysdb::Batch batch(db, "GPS");
    int v = 0;
    EXPECT_PROGRAM_ERROR(db.read_int("GPS", "K0", &v), -1);
    EXPECT_PROGRAM_ERROR(sysdb::Batch(db, "DR").open(), false);
    EXPECT_EQ(batch.write_int("K0", 5), 0);
    EXPECT_EQ(batch.end(), 0);
    EXPECT_EQ(db.read_int("GPS", "K0", &v), 0);
    EXPECT_EQ(v, 5);
}

TEST_F(SysdbTest, LockHeldPastTheTimeoutWritesNothing) {
    ASSERT_EQ(write_batch(db, 1, 1), 0);
    sqlite3* other = nullptr;  // another service's writer holding the lock
    ASSERT_EQ(sqlite3_open(path.c_str(), &other), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(other, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
    navtest::LogCapture log;
    sysdb::Batch batch(db, "GPS");
    EXPECT_FALSE(batch.open());
    EXPECT_NE(batch.write_int("K0", 3), 0);
    EXPECT_NE(batch.end(), 0);
    EXPECT_NE(db.write_int("GPS", "K0", 4), 0);
    EXPECT_EQ(log.count("sysdb: txn_start failed: database is locked"), 1);
    EXPECT_EQ(count_batch(1, 1), 1) << "readers are not held up by a writer";
    sqlite3_close(other);  // rolls its transaction back
    EXPECT_EQ(write_batch(db, 3, 10), 0) << "recovers once the lock is gone";
}
