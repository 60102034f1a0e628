// The session records, the first fix per session count and the engine restart rule of the pass.
#include <gtest/gtest.h>

#include <tuple>

#include "core/core.h"
#include "platform/sysdb/sysdb.h"
#include "tests/support/support.h"

namespace {

class CoreTest : public ::testing::Test {
protected:
    void SetUp() override { sysdb_use_file((dir / "sysdb.sqlite").c_str()); }
    void TearDown() override { sysdb_reset_thread_connection(); }
    std::string text(const char* key) {
        sysdb_value v;
        return sysdb_namedb_read_value(nullptr, "GPS", key, &v) == 0 ? sysdb_value_text(v) : "-";
    }
    navtest::TempDir dir;
    navtest::ScopedEnv db{"SYSDB_PATH", dir / "sysdb.sqlite"};
    navtest::ScopedEnv config{"PLATFORM_CONFIG", dir / "config.json"};
    navtest::ScopedEnv root{"NAVMON_ROOT", dir.path()};
    Navmon navmon{"test"};
};

TEST_F(CoreTest, SessionRecordsAndFirstFixOncePerSessionCount) {
    // (stored count, "" none; first-fix keys owed afterwards): the first session differs from the
    // initial -1; an unreadable count reads as 0.
    const std::pair<const char*, bool> steps[] = {{"5", true}, {"5", false}, {"6", true},
                                                  {"", true},  {"0", false}, {"x", false}};
    Json::Value valid;  // a pass with a fix pays what is owed
    valid["validity"] = true;
    for (const auto& [count, owed] : steps) {
        ASSERT_EQ(navmon.writer().saveGpsDataSysdb(valid), 0);
        sysdb_namedb_del(nullptr, "SYS", "SYS_SESSION_CNT");
        if (*count) sysdb_namedb_write_str(nullptr, "SYS", "SYS_SESSION_CNT", count, 0);
        navmon.mark_gps_active();
        EXPECT_EQ(navmon.writer().ttff_pending(), owed) << count;
    }
    EXPECT_EQ(text("GPS_STATUS"), "ACTIVE");
    navmon.mark_gps_inactive();
    EXPECT_EQ(text("GPS_STATUS"), "INACTIVE");
    for (const char* key : {"GPS_VALID", "GPS_ISO8601", "GPS_NMEA_PGPS", "GPS_FW_VER", "GPS_LAT"})
        sysdb_namedb_write_str(nullptr, "GPS", key, "x", 0);
    navmon.clear_gps_records();
    for (const char* key : {"GPS_VALID", "GPS_ISO8601", "GPS_NMEA_PGPS", "GPS_FW_VER"})
        EXPECT_EQ(text(key), "-") << key;
    EXPECT_EQ(text("GPS_LAT"), "x");
}

TEST_F(CoreTest, EngineRestartAfterMoreThanFourSilentTimeouts) {
    // (the command fails, timeouts added, restarts so far, count left): a failing restart keeps
    // the count, so the next pass tries again.
    const std::tuple<bool, int, size_t, int> steps[] = {
        {false, 4, 0, 4}, {false, 1, 1, 0}, {true, 5, 1, 5}, {false, 0, 2, 0}};
    for (const auto& [fails, timeouts, restarts, left] : steps) {
        navtest::write_file(dir / "config.json",
                            std::string("{\"gps\":{\"engine_restart_command\":\"") +
                                (fails ? "exit 3" : "echo r >> $NAVMON_ROOT/r") + "\"}}");
        for (int i = 0; i < timeouts; ++i) navmon.receiver().count_timeout();
        navmon.run_processing_pass();
        EXPECT_EQ(navtest::read_file(dir / "r").size(), 2 * restarts);
        EXPECT_EQ(navmon.receiver().nmea_timeout_count(), left);
    }
}

}  // namespace
