// FixState and the per-pass validity and time processing.
#include <gtest/gtest.h>
#include <time.h>

#include <string>
#include <tuple>
#include <vector>

#include "intake/intake.h"
#include "platform/platform.h"
#include "tests/support/support.h"

namespace {

double g_now = 0.0;

class FixStateTest : public ::testing::Test {
protected:
    void SetUp() override {
        g_now = 1000.0;
        fwtime_set_source([] { return g_now; });
    }
    void TearDown() override { fwtime_set_source(nullptr); }
    // One processing pass, `step` seconds after the previous one; returns the snapshot.
    Json::Value pass(double step = 1.0) {
        g_now += step;
        Json::Value snapshot = state->fixstate_snapshot();
        state->process_gps_data(snapshot, nullptr);
        return snapshot;
    }
    bool valid_after_pass(double step = 1.0) { return pass(step)["validity"].asBool(); }
    // A report received `age` seconds before the next pass.
    void receive(double age, unsigned mode, const char* time = "2024-03-05T07:08:09.000Z") {
        Json::Value r;
        Json::Reader().parse(R"({"class":"TPV","lat":47.123456789,"lon":-122.5,"speed":0})", r);
        r["time"] = time;
        r["mode"] = mode;
        r["ts"] = g_now + 1 - age;
        state->fixstate_store("TPV", r);
    }
    void restart() { state = std::make_unique<FixState>(); }
    navtest::LogCapture log;
    std::unique_ptr<FixState> state = std::make_unique<FixState>();
};

// The first verdict is logged even though nothing changed; the clock follows the system's.
TEST_F(FixStateTest, FirstPassBeforeAnyReportFollowsSystemClock) {
    const time_t before = time(nullptr);
    Json::Value s = pass();
    struct tm shown {};
    ASSERT_NE(strptime(s["iso8601"].asCString(), "%Y-%m-%dT%H:%M:%SZ", &shown), nullptr);
    EXPECT_GE(timegm(&shown), before);
    EXPECT_LE(timegm(&shown), time(nullptr));
    EXPECT_EQ(s["validity"], Json::Value(false));
    EXPECT_EQ(Json::FastWriter().write(state->fixstate_snapshot()), "{\"validity\":false}\n");
    pass();
    EXPECT_EQ(log.count("process_gps_data: gps_data is not an object, resetting"), 1);
    EXPECT_EQ(log.count("GPS invalid (0.000000, 0.000000)"), 1);
}

TEST_F(FixStateTest, FixHoldsTwoPassesThenClockRunsOnPerPass) {
    receive(0.5, 3);
    // (seconds since the last pass, validity, time shown): the fresh report, two passes of
    // grace, then one second per pass however long the passes take.
    const std::tuple<double, bool, const char*, double> expected[] = {
        {1, true, "2024-03-05T07:08:09Z", 70809},
        {7, true, "2024-03-05T07:08:09Z", 70809},
        {7, true, "2024-03-05T07:08:09Z", 70809},
        {7, false, "2024-03-05T07:08:10Z", 70810},
        {7, false, "2024-03-05T07:08:11Z", 70811}};
    for (const auto& [step, valid, iso, hhmmss] : expected) {
        Json::Value s = pass(step);
        EXPECT_EQ(s["validity"].asBool(), valid) << iso;
        EXPECT_EQ(s["iso8601"].asString(), iso);
        EXPECT_EQ(s["calc_hhmmss"], Json::Value(hhmmss)) << iso;
        EXPECT_EQ(s["calc_ddmmyy"], Json::Value(50324.0)) << iso;
        EXPECT_EQ(s["ts"], Json::Value(g_now)) << iso;
        EXPECT_EQ(state->fixstate_snapshot()["validity"].asBool(), valid) << iso;
    }
    EXPECT_EQ(log.count("GPS valid (47.123456, -122.500000)"), 1);
    EXPECT_EQ(log.count("GPS invalid (47.123456, -122.500000)"), 1);
}

// The clock runs on past the end of a 32-bit time_t and over leap days and century years.
TEST_F(FixStateTest, ClockRunsOnOverDateBoundariesBeyond2038) {
    // (fix time, passes of coasting, time shown then, calc_hhmmss, calc_ddmmyy)
    const std::tuple<const char*, int, const char*, double, double> cases[] = {
        {"2038-01-19T03:14:05.000Z", 4, "2038-01-19T03:14:09Z", 31409, 190138},
        {"2040-02-29T23:59:59.000Z", 1, "2040-03-01T00:00:00Z", 0, 10340},
        {"2099-12-31T23:59:59.000Z", 1, "2100-01-01T00:00:00Z", 0, 10100},
        {"2100-02-28T23:59:58.000Z", 2, "2100-03-01T00:00:00Z", 0, 10300},
        {"2000-02-28T23:59:59.000Z", 1, "2000-02-29T00:00:00Z", 0, 290200}};
    for (const auto& [fix, passes, iso, hhmmss, ddmmyy] : cases) {
        restart();
        receive(0.5, 3, fix);
        for (int i = 0; i < 3; ++i) pass();  // the fresh report and its two passes of grace
        Json::Value s;
        for (int i = 0; i < passes; ++i) s = pass();
        EXPECT_EQ(s["iso8601"].asString(), iso) << fix;
        EXPECT_EQ(s["calc_hhmmss"], Json::Value(hhmmss)) << fix;
        EXPECT_EQ(s["calc_ddmmyy"], Json::Value(ddmmyy)) << fix;
    }
}

TEST_F(FixStateTest, ReportsThatAreNotFreshNeitherStartNorExtendValidity) {
    const std::pair<double, unsigned> cases[] = {{0.5, 1}, {0.5, 0}, {2.0, 3}, {30.0, 2}};
    for (const auto& [age, mode] : cases) {
        restart();
        receive(age, mode);
        std::vector<bool> seen = {valid_after_pass()};
        receive(0.5, 3);
        seen.push_back(valid_after_pass());
        receive(age, mode);
        for (int i = 0; i < 3; ++i) seen.push_back(valid_after_pass());
        EXPECT_EQ(seen, (std::vector<bool>{false, true, true, true, false})) << age << " " << mode;
    }
    // Seen again at the same instant, the same report ("ts") does not renew the fix.
    restart();
    receive(1.999, 2);
    std::vector<bool> seen = {valid_after_pass()};
    for (int i = 0; i < 3; ++i) seen.push_back(valid_after_pass(0.0));
    EXPECT_EQ(seen, (std::vector<bool>{true, true, true, false}));
}

}  // namespace
