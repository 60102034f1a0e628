// Session records, the first-fix flag and the engine restart rule of the processing pass.
#include <gtest/gtest.h>

#include "core/core.h"
#include "platform/sysdb.h"
#include "tests/support/support.h"

namespace {

class CoreTest : public ::testing::Test {
protected:
    void SetUp() override {
        sysdb_reset_thread_connection();
        last_session_count = -1;
        ttffPending = false;
        nmea_timeout_count.store(0);
    }
    void TearDown() override { sysdb_reset_thread_connection(); }

    navtest::TempDir dir;
    navtest::ScopedEnv db{"SYSDB_PATH", dir / "sysdb.sqlite"};
    navtest::ScopedEnv config{"PLATFORM_CONFIG", dir / "config.json"};
    navtest::ScopedEnv root{"NAVMON_ROOT", dir.path()};
};

std::string text_of(const char* db, const char* key) {
    sysdb_value v;
    if (sysdb_namedb_read_value(nullptr, db, key, &v) != 0) return "<missing>";
    return v.text;
}

}  // namespace

TEST_F(CoreTest, SessionCountRaisesFirstFixFlagOncePerNewCount) {
    struct Step {
        int count;  // -2: no counter stored
        bool raised;
    };
    // The first session differs from the initial -1; an unreadable count reads as 0.
    const Step steps[] = {{5, true}, {5, false}, {6, true}, {-2, true}, {-2, false}, {0, false}};
    for (const auto& step : steps) {
        if (step.count == -2)
            sysdb_namedb_del(nullptr, "SYS", "SYS_SESSION_CNT");
        else
            sysdb_namedb_write_int(nullptr, "SYS", "SYS_SESSION_CNT", step.count, 0);
        ttffPending = false;
        mark_gps_active();
        EXPECT_EQ(ttffPending, step.raised) << "count " << step.count;
        EXPECT_EQ(text_of("GPS", "GPS_STATUS"), "ACTIVE");
    }
    mark_gps_inactive();
    EXPECT_EQ(text_of("GPS", "GPS_STATUS"), "INACTIVE");
}

TEST_F(CoreTest, ClearGpsRecordsDeletesTheSessionKeysOnly) {
    for (const char* key : {"GPS_VALID", "GPS_ISO8601", "GPS_NMEA_PGPS", "GPS_FW_VER", "GPS_LAT"})
        sysdb_namedb_write_str(nullptr, "GPS", key, "x", 0);
    clear_gps_records();
    for (const char* key : {"GPS_VALID", "GPS_ISO8601", "GPS_NMEA_PGPS", "GPS_FW_VER"})
        EXPECT_EQ(text_of("GPS", key), "<missing>") << key;
    EXPECT_EQ(text_of("GPS", "GPS_LAT"), "x");
}

TEST_F(CoreTest, EngineRestartAfterMoreThanFourSilentTimeouts) {
    const std::string marker = dir / "restarts";
    navtest::write_file(
        dir / "config.json",
        "{\"gps\":{\"engine_restart_command\":\"echo restart >> " + marker + "\"}}");
    auto restarts = [&] {
        std::string s = navtest::read_file(marker);
        int n = 0;
        for (size_t p = s.find("restart"); p != std::string::npos; p = s.find("restart", p + 1))
            ++n;
        return n;
    };

    for (int i = 0; i < 4; ++i) on_gpsd_timeout();
    run_processing_pass();
    EXPECT_EQ(restarts(), 0);
    EXPECT_EQ(nmea_timeout_count.load(), 4);

    on_gpsd_timeout();
    run_processing_pass();
    EXPECT_EQ(restarts(), 1);
    EXPECT_EQ(nmea_timeout_count.load(), 0);

    // A failing restart keeps the count, so the next pass tries again.
    navtest::write_file(dir / "config.json", "{\"gps\":{\"engine_restart_command\":\"exit 3\"}}");
    for (int i = 0; i < 5; ++i) on_gpsd_timeout();
    run_processing_pass();
    EXPECT_EQ(nmea_timeout_count.load(), 5);
}
