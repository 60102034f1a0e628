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

std::vector<std::pair<int, std::string>> g_logs;
void record_log(int prio, const char* text) {
    g_logs.emplace_back(prio, text);
}

int logged(int prio, const std::string& text) {
    int n = 0;
    for (const auto& l : g_logs)
        if (l.first == prio && l.second.find(text) != std::string::npos) ++n;
    return n;
}

Json::Value tpv(double ts, unsigned mode, const char* time_text = "2024-03-05T07:08:09.000Z",
                double lat = 47.123456789, double lon = -122.5) {
    Json::Value r(Json::objectValue);
    r["class"] = "TPV";
    r["mode"] = mode;
    r["time"] = time_text;
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
        g_logs.clear();
        fwtime_set_source(clock_now);
        log_set_verbose(true);
        log_set_hook(record_log);
    }
    void TearDown() override {
        log_set_hook(nullptr);
        fwtime_set_source(nullptr);
        intake_reset_for_test();
    }

    // One processing pass, one second after the previous one.
    static Json::Value pass() {
        g_now += 1.0;
        Json::Value snapshot = fixstate_snapshot();
        process_gps_data(snapshot, nullptr);
        return snapshot;
    }
    // A fresh fix: a mode 3 report received half a second before the pass.
    static Json::Value fix_pass(const char* time_text = "2024-03-05T07:08:09.000Z") {
        fixstate_store("TPV", tpv(g_now + 0.5, 3, time_text));
        return pass();
    }
};

time_t utc_of(const std::string& iso) {
    struct tm t {};
    if (strptime(iso.c_str(), "%Y-%m-%dT%H:%M:%SZ", &t) == nullptr) return -1;
    return timegm(&t);
}

TEST_F(FixState, FirstPassBeforeAnyReportFollowsSystemClock) {
    time_t before = time(nullptr);
    Json::Value s = pass();
    time_t after = time(nullptr);

    EXPECT_EQ(logged(LOG_WARNING, "process_gps_data: gps_data is not an object, resetting"), 1);
    EXPECT_EQ(s["validity"], Json::Value(false));
    time_t shown = utc_of(s["iso8601"].asString());
    EXPECT_GE(shown, before);
    EXPECT_LE(shown, after);
    EXPECT_EQ(s["ts"], Json::Value(g_now));

    Json::Value expected(Json::objectValue);
    expected["validity"] = false;
    EXPECT_EQ(fixstate_snapshot(), expected);

    pass();
    EXPECT_EQ(logged(LOG_WARNING, "not an object"), 1);
}

TEST_F(FixState, FreshFixIsValidWithItsTime) {
    Json::Value s = fix_pass();

    EXPECT_EQ(s["validity"], Json::Value(true));
    EXPECT_EQ(s["iso8601"], Json::Value("2024-03-05T07:08:09Z"));
    EXPECT_EQ(s["calc_hhmmss"], Json::Value(70809.0));
    EXPECT_EQ(s["calc_ddmmyy"], Json::Value(50324.0));
    EXPECT_EQ(s["ts"], Json::Value(g_now));
    EXPECT_TRUE(gps_valid.load());
    EXPECT_EQ(fix_lat_e6.load(), 47123456);
    EXPECT_EQ(fix_lon_e6.load(), -122500000);
    EXPECT_EQ(logged(LOG_ALERT, "GPS valid (47.123456, -122.500000)"), 1);
    EXPECT_EQ(fixstate_snapshot()["validity"], Json::Value(true));
}

TEST_F(FixState, GraceThenClockRunsOnOneSecondPerPass) {
    // The zone of the process must not shift the running clock.
    navtest::ScopedEnv tz("TZ", "EST5EDT");
    tzset();

    fix_pass();
    const std::vector<std::pair<bool, const char*>> expected = {
        {true, "2024-03-05T07:08:09Z"},   // grace 1
        {true, "2024-03-05T07:08:09Z"},   // grace 2
        {false, "2024-03-05T07:08:10Z"},  // lapsed
        {false, "2024-03-05T07:08:11Z"}, {false, "2024-03-05T07:08:12Z"},
    };
    for (size_t i = 0; i < expected.size(); ++i) {
        SCOPED_TRACE("pass " + std::to_string(i + 2));
        Json::Value s = pass();
        EXPECT_EQ(s["validity"].asBool(), expected[i].first);
        EXPECT_EQ(s["iso8601"].asString(), expected[i].second);
        EXPECT_EQ(fixstate_snapshot()["validity"].asBool(), expected[i].first);
    }
    EXPECT_EQ(logged(LOG_ALERT, "GPS invalid (47.123456, -122.500000)"), 1);
    tzset();
}

TEST_F(FixState, DateRollsOverWhileInvalid) {
    fix_pass("2023-12-31T23:59:58Z");
    pass();
    pass();
    EXPECT_EQ(pass()["iso8601"].asString(), "2023-12-31T23:59:59Z");
    Json::Value s = pass();
    EXPECT_EQ(s["iso8601"].asString(), "2024-01-01T00:00:00Z");
    EXPECT_EQ(s["calc_hhmmss"].asDouble(), 0.0);
    EXPECT_EQ(s["calc_ddmmyy"].asDouble(), 10124.0);
}

// Reports that are not fresh neither start validity nor extend the grace.
TEST_F(FixState, ReportsThatAreNotFresh) {
    struct Case {
        const char* name;
        double age;
        unsigned mode;
    };
    const std::vector<Case> cases = {
        {"no fix", 0.5, 1},
        {"mode unknown", 0.5, 0},
        {"exactly two seconds old", 2.0, 3},
        {"old", 30.0, 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        intake_reset_for_test();

        fixstate_store("TPV", tpv(g_now + 1.0 - c.age, c.mode));
        EXPECT_FALSE(pass()["validity"].asBool());

        fix_pass();
        fixstate_store("TPV", tpv(g_now + 1.0 - c.age, c.mode));
        EXPECT_TRUE(pass()["validity"].asBool());
        EXPECT_TRUE(pass()["validity"].asBool());
        EXPECT_FALSE(pass()["validity"].asBool());
    }

    // Just under two seconds is still fresh.
    intake_reset_for_test();
    fixstate_store("TPV", tpv(g_now + 1.0 - 1.999, 2));
    EXPECT_TRUE(pass()["validity"].asBool());
}

TEST_F(FixState, SameReportSeenAgainIsNotFresh) {
    // Passes at one instant, so that only the repeated "ts" can stop freshness.
    fixstate_store("TPV", tpv(g_now - 0.5, 3));
    const std::vector<bool> expected = {true, true, true, false, false};
    for (size_t i = 0; i < expected.size(); ++i) {
        SCOPED_TRACE("pass " + std::to_string(i + 1));
        Json::Value s = fixstate_snapshot();
        process_gps_data(s, nullptr);
        EXPECT_EQ(s["validity"].asBool(), expected[i]);
    }
}

TEST_F(FixState, SetGpsValidLogsChanges) {
    set_gps_valid(false);  // the first call logs although nothing changed
    EXPECT_EQ(logged(LOG_ALERT, "GPS invalid (0.000000, 0.000000)"), 1);
    set_gps_valid(false);
    EXPECT_EQ(logged(LOG_ALERT, "GPS"), 1);
    EXPECT_EQ(logged(LOG_DEBUG, "Setting gps valid:0"), 2);

    fix_lat_e6.store(-1);
    fix_lon_e6.store(180000000);
    set_gps_valid(true);
    EXPECT_EQ(logged(LOG_ALERT, "GPS valid (-0.000001, 180.000000)"), 1);
    EXPECT_TRUE(gps_valid.load());
    set_gps_valid(true);
    EXPECT_EQ(logged(LOG_ALERT, "GPS"), 2);
    EXPECT_EQ(logged(LOG_DEBUG, "Setting gps valid:1"), 2);
}

TEST_F(FixState, PositionToMillionthsSaturates) {
    const double inf = std::numeric_limits<double>::infinity();
    const struct {
        double degrees;
        int32_t e6;
    } cases[] = {
        {47.5, 47500000},
        {-47.5, -47500000},
        {-0.0000019, -1},  // toward zero
        {0.0000019, 1},
        {2147.483647, 2147483647},
        {1e300, std::numeric_limits<int32_t>::max()},
        {-1e300, std::numeric_limits<int32_t>::min()},
        {inf, std::numeric_limits<int32_t>::max()},
        {-inf, std::numeric_limits<int32_t>::min()},
        {std::nan(""), 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.degrees);
        intake_reset_for_test();
        fixstate_store("TPV", tpv(g_now + 0.5, 3, "2024-03-05T07:08:09Z", c.degrees, c.degrees));
        ASSERT_TRUE(pass()["validity"].asBool());
        EXPECT_EQ(fix_lat_e6.load(), c.e6);
        EXPECT_EQ(fix_lon_e6.load(), c.e6);
    }
}

TEST_F(FixState, UnparsableTimeDoesNotBreakThePass) {
    for (const char* text : {"", "garbage", "2024-13-45T99:99:99Z", "9999-12-31T23:59:59Z"}) {
        SCOPED_TRACE(text);
        intake_reset_for_test();
        Json::Value s = fix_pass(text);
        EXPECT_TRUE(s["validity"].asBool());
        EXPECT_TRUE(s["iso8601"].isString());
        for (int i = 0; i < 4; ++i) s = pass();
        EXPECT_FALSE(s["validity"].asBool());
    }
}

TEST_F(FixState, MistypedModeThrowsAndKeepsTheVerdict) {
    fix_pass();
    Json::Value bad = tpv(g_now + 0.5, 3);
    bad["mode"] = -1;
    fixstate_store("TPV", bad);
    Json::Value snapshot = fixstate_snapshot();
    g_now += 1.0;
    EXPECT_THROW(process_gps_data(snapshot, nullptr), Json::LogicError);
    EXPECT_TRUE(gps_valid.load());
}

TEST_F(FixState, StoreReplacesWholeMember) {
    Json::Value first(Json::objectValue);
    first["a"] = 1;
    fixstate_store("SKY", first);
    Json::Value second(Json::objectValue);
    second["b"] = 2;
    fixstate_store("SKY", second);
    Json::Value state = fixstate_snapshot();
    EXPECT_EQ(state["SKY"], second);
    EXPECT_EQ(state.size(), 1u);
}

}  // namespace
