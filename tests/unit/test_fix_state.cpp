// FixState and the per-pass validity and time processing.
#include <gtest/gtest.h>
#include <time.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "intake/intake.h"
#include "platform/platform.h"
#include "tests/support/support.h"

namespace {

double g_now = 0.0;
double clock_now() {
    return g_now;
}

Json::Value tpv(double ts, unsigned mode, double lat = 47.123456789, double lon = -122.5) {
    Json::Value r(Json::objectValue);
    r["class"] = "TPV";
    r["mode"] = mode;
    r["time"] = "2024-03-05T07:08:09.000Z";
    r["lat"] = lat;
    r["lon"] = lon;
    r["alt"] = 12.5;
    r["speed"] = 0.0;
    r["ts"] = ts;
    return r;
}

class FixState : public ::testing::Test {
protected:
    void SetUp() override {
        intake_reset_for_test();
        g_now = 1000.0;
        fwtime_set_source(clock_now);
    }
    void TearDown() override {
        fwtime_set_source(nullptr);
        intake_reset_for_test();
    }
    navtest::LogCapture log;
    // One processing pass, `step` seconds after the previous one.
    static Json::Value pass(double step = 1.0) {
        g_now += step;
        Json::Value snapshot = fixstate_snapshot();
        process_gps_data(snapshot, nullptr);
        return snapshot;
    }
    // A report received `age` seconds before the next pass.
    static void receive(double age, unsigned mode) {
        fixstate_store("TPV", tpv(g_now + 1 - age, mode));
    }
};

TEST_F(FixState, FirstPassBeforeAnyReportFollowsSystemClock) {
    time_t before = time(nullptr);
    Json::Value s = pass();
    struct tm shown {};
    ASSERT_NE(strptime(s["iso8601"].asCString(), "%Y-%m-%dT%H:%M:%SZ", &shown), nullptr);
    EXPECT_GE(timegm(&shown), before);
    EXPECT_LE(timegm(&shown), time(nullptr));

    EXPECT_EQ(s["validity"], Json::Value(false));
    Json::Value expected(Json::objectValue);
    expected["validity"] = false;
    EXPECT_EQ(fixstate_snapshot(), expected);
    pass();
    EXPECT_EQ(log.count("process_gps_data: gps_data is not an object, resetting"), 1);
}

TEST_F(FixState, FixHoldsTwoPassesThenClockRunsOnPerPass) {
    navtest::ScopedEnv tz("TZ", "EST5EDT");  // the process's zone must play no part
    tzset();
    receive(0.5, 3);
    const struct {
        bool valid;
        const char* iso;
        double hhmmss;
    } expected[] = {
        {true, "2024-03-05T07:08:09Z", 70809},   // the fresh report
        {true, "2024-03-05T07:08:09Z", 70809},   // grace
        {true, "2024-03-05T07:08:09Z", 70809},   // grace
        {false, "2024-03-05T07:08:10Z", 70810},  // lapsed: one second per pass
        {false, "2024-03-05T07:08:11Z", 70811},
    };
    for (const auto& e : expected) {
        SCOPED_TRACE(e.iso);
        Json::Value s = pass(&e == expected ? 1.0 : 7.0);  // however long the passes take
        EXPECT_EQ(s["validity"].asBool(), e.valid);
        EXPECT_EQ(s["iso8601"].asString(), e.iso);
        EXPECT_EQ(s["calc_hhmmss"], Json::Value(e.hhmmss));
        EXPECT_EQ(s["calc_ddmmyy"], Json::Value(50324.0));
        EXPECT_EQ(s["ts"], Json::Value(g_now));
        EXPECT_EQ(fixstate_snapshot()["validity"].asBool(), e.valid);
    }
    EXPECT_EQ(fix_lat_e6.load(), 47123456);
    EXPECT_EQ(log.count("GPS valid (47.123456, -122.500000)"), 1);
    EXPECT_EQ(log.count("GPS invalid (47.123456, -122.500000)"), 1);
    tzset();
}

// Reports that are not fresh neither start validity nor extend the grace after a fix.
TEST_F(FixState, ReportsThatAreNotFresh) {
    const struct {
        double age;
        unsigned mode;
    } cases[] = {{0.5, 1}, {0.5, 0}, {2.0, 3}, {30.0, 2}};
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << "age " << c.age << " mode " << c.mode);
        intake_reset_for_test();
        receive(c.age, c.mode);
        EXPECT_FALSE(pass()["validity"].asBool());

        receive(0.5, 3);
        EXPECT_TRUE(pass()["validity"].asBool());
        receive(c.age, c.mode);
        EXPECT_TRUE(pass()["validity"].asBool());
        EXPECT_TRUE(pass()["validity"].asBool());
        EXPECT_FALSE(pass()["validity"].asBool());
    }

    // Seen again at the same instant, the same report ("ts") does not renew the fix.
    intake_reset_for_test();
    receive(1.999, 2);
    std::vector<bool> verdicts;
    for (int i = 0; i < 4; ++i) verdicts.push_back(pass(i == 0 ? 1.0 : 0.0)["validity"].asBool());
    EXPECT_EQ(verdicts, (std::vector<bool>{true, true, true, false}));
}

TEST_F(FixState, SetGpsValidLogsChangesAndFirstCall) {
    set_gps_valid(false);
    set_gps_valid(false);
    fix_lat_e6.store(-1);
    fix_lon_e6.store(180000000);
    set_gps_valid(true);
    set_gps_valid(true);
    EXPECT_EQ(log.count("GPS"), 2);
    EXPECT_EQ(log.count("GPS invalid (0.000000, 0.000000)"), 1);
    EXPECT_EQ(log.count("GPS valid (-0.000001, 180.000000)"), 1);
    EXPECT_EQ(log.count("Setting gps valid:0"), 2);
    EXPECT_EQ(log.count("Setting gps valid:1"), 2);
}

TEST_F(FixState, PositionToMillionthsTruncatesAndSaturates) {
    const double inf = std::numeric_limits<double>::infinity();
    const int32_t max = std::numeric_limits<int32_t>::max();
    const int32_t min = std::numeric_limits<int32_t>::min();
    const struct {
        double degrees;
        int32_t e6;
    } cases[] = {{-47.5, -47500000}, {-0.0000019, -1}, {2147.483647, max}, {1e300, max},
                 {-1e300, min},      {inf, max},       {-inf, min},        {std::nan(""), 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.degrees);
        fixstate_store("TPV", tpv(g_now + 0.5, 3, c.degrees, c.degrees));
        ASSERT_TRUE(pass()["validity"].asBool());
        EXPECT_EQ(fix_lat_e6.load(), c.e6);
        EXPECT_EQ(fix_lon_e6.load(), c.e6);
    }

    Json::Value bad = tpv(g_now + 0.5, 3);
    bad["mode"] = -1;  // a mistyped member stops the pass with JsonCpp's exception
    fixstate_store("TPV", bad);
    Json::Value snapshot = fixstate_snapshot();
    EXPECT_THROW(process_gps_data(snapshot, nullptr), Json::LogicError);
    EXPECT_TRUE(gps_valid.load());
}

}  // namespace
