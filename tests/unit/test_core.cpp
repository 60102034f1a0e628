// The session records, the first fix per session count and the engine restart rule of the pass.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#include "core/core.h"
#include "platform/sysdb.h"
#include "tests/support/support.h"

namespace {

class CoreTest : public ::testing::Test {
protected:
    void SetUp() override { sysdb_reset_thread_connection(); }
    void TearDown() override { sysdb_reset_thread_connection(); }
    std::string text(const char* db, const char* key) {
        sysdb_value v;
        return sysdb_namedb_read_value(nullptr, db, key, &v) == 0 ? sysdb_value_text(v) : "-";
    }
    navtest::TempDir dir;
    navtest::ScopedEnv db{"SYSDB_PATH", dir / "sysdb.sqlite"};
    navtest::ScopedEnv config{"PLATFORM_CONFIG", dir / "config.json"};
    navtest::ScopedEnv root{"NAVMON_ROOT", dir.path()};
    Navmon navmon{"test"};
};

TEST_F(CoreTest, SessionRecordsAndFirstFixOncePerSessionCount) {
    // (stored count: "" none, text as `sysdb set` stores it, or with a point a double as a peer
    // may store it; first-fix keys owed afterwards)
    // The first session differs from the initial -1; an unreadable count reads as 0.
    const std::pair<const char*, bool> steps[] = {{"5", true},  {"5", false}, {"6", true},
                                                  {"", true},   {"", false},  {"0", false},
                                                  {"x", false}, {"7.0", true}};
    for (const auto& [count, owed] : steps) {
        Json::Value valid;  // a pass with a fix pays what is owed
        valid["ts"] = 100.0;
        valid["validity"] = true;
        ASSERT_EQ(navmon.writer().saveGpsDataSysdb(valid), 0);
        ASSERT_FALSE(navmon.writer().ttff_pending());
        sysdb_namedb_del(nullptr, "SYS", "SYS_SESSION_CNT");
        if (strchr(count, '.') != nullptr)
            sysdb_namedb_write_dbl(nullptr, "SYS", "SYS_SESSION_CNT", atof(count), 0);
        else if (*count)
            sysdb_namedb_write_str(nullptr, "SYS", "SYS_SESSION_CNT", count, 0);
        navmon.mark_gps_active();
        EXPECT_EQ(navmon.writer().ttff_pending(), owed) << count;
        EXPECT_EQ(text("GPS", "GPS_STATUS"), "ACTIVE");
    }
    navmon.mark_gps_inactive();
    EXPECT_EQ(text("GPS", "GPS_STATUS"), "INACTIVE");
    for (const char* key : {"GPS_VALID", "GPS_ISO8601", "GPS_NMEA_PGPS", "GPS_FW_VER", "GPS_LAT"})
        sysdb_namedb_write_str(nullptr, "GPS", key, "x", 0);
    navmon.clear_gps_records();
    for (const char* key : {"GPS_VALID", "GPS_ISO8601", "GPS_NMEA_PGPS", "GPS_FW_VER"})
        EXPECT_EQ(text("GPS", key), "-") << key;
    EXPECT_EQ(text("GPS", "GPS_LAT"), "x");
}

TEST_F(CoreTest, EngineRestartAfterMoreThanFourSilentTimeouts) {
    const std::string marker = dir / "restarts";
    navtest::write_file(dir / "config.json",
                        "{\"gps\":{\"engine_restart_command\":\"echo r >> " + marker + "\"}}");
    ReceiverIntake& receiver = navmon.receiver();
    // (timeouts added, restarts so far, count left)
    const int steps[][3] = {{4, 0, 4}, {1, 1, 0}, {5, 2, 0}};
    for (const auto& step : steps) {
        for (int i = 0; i < step[0]; ++i) receiver.count_timeout();
        navmon.run_processing_pass();
        EXPECT_EQ(navtest::read_file(marker).size(), 2u * step[1]);
        EXPECT_EQ(receiver.nmea_timeout_count(), step[2]);
    }
    // A failing restart keeps the count, so the next pass tries again.
    navtest::write_file(dir / "config.json", "{\"gps\":{\"engine_restart_command\":\"exit 3\"}}");
    for (int i = 0; i < 5; ++i) receiver.count_timeout();
    navmon.run_processing_pass();
    EXPECT_EQ(receiver.nmea_timeout_count(), 5);
}

}  // namespace
