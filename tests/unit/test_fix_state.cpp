// FixState and the per-pass validity and time processing.
#include <gtest/gtest.h>
#include <time.h>

#include <tuple>
#include <vector>

#include "intake/intake.h"
#include "platform/base/base.h"
#include "platform/clock/clock.h"
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
    bool valid_after_pass() { return pass()["validity"].asBool(); }
    // A report received `age` seconds before the next pass.
    void receive(double age, unsigned mode, const char* time = "2024-03-05T07:08:09.000Z") {
        auto r = navtest::json(R"({"class":"TPV","lat":47.123456789,"lon":-122.5,"speed":0})");
        r["time"] = time;
        r["mode"] = mode;
        r["ts"] = g_now + 1 - age;
        state->fixstate_store("TPV", r);
    }
    void restart() { state = std::make_unique<FixState>(), log.clear(); }
    navtest::LogCapture log;
    std::unique_ptr<FixState> state = std::make_unique<FixState>();
};

// The first verdict is logged even though nothing changed; the clock follows the system's.
TEST_F(FixStateTest, FirstPassBeforeAnyReportFollowsSystemClock) {
    const time_t before = time(nullptr);
    struct tm shown {};
    strptime(pass()["iso8601"].asCString(), "%Y-%m-%dT%H:%M:%SZ", &shown);
    EXPECT_GE(timegm(&shown), before);
    EXPECT_LE(timegm(&shown), time(nullptr));
    EXPECT_EQ(Json::FastWriter().write(state->fixstate_snapshot()), "{\"validity\":false}\n");
    pass();
    EXPECT_EQ(log.count("process_gps_data: gps_data is not an object, resetting"), 1);
    EXPECT_EQ(log.count("GPS invalid (0.000000, 0.000000)"), 1);
}

// The fresh report and two passes of grace show the fix time; then the clock runs on one second
// per pass however long the passes take, past the end of a 32-bit time_t and over leap days and
// century years.
TEST_F(FixStateTest, FixHoldsTwoPassesThenClockRunsOnOverDateBoundaries) {
    // (fix time, passes after the grace, time shown then, calc_hhmmss, calc_ddmmyy)
    const std::tuple<const char*, int, const char*, double, double> cases[] = {
        {"2038-01-19T03:14:05.000Z", 4, "2038-01-19T03:14:09Z", 31409, 190138},
        {"2040-02-29T23:59:59.000Z", 1, "2040-03-01T00:00:00Z", 0, 10340},
        {"2099-12-31T23:59:59.000Z", 1, "2100-01-01T00:00:00Z", 0, 10100},
        {"2100-02-28T23:59:58.000Z", 2, "2100-03-01T00:00:00Z", 0, 10300},
        {"2000-02-28T23:59:59.000Z", 1, "2000-02-29T00:00:00Z", 0, 290200}};
    for (const auto& [fix, passes, iso, hhmmss, ddmmyy] : cases) {
        restart();
        receive(1.999, 2, fix);
        Json::Value s;
        for (int i = 0; i < 3 + passes; ++i) {
            // Grace passes at the same instant: only the report's own "ts" makes it not fresh.
            s = pass(i == 0 ? 1 : i < 3 ? 0 : 7);
            EXPECT_EQ(s["validity"].asBool(), i < 3) << fix << " pass " << i;
            EXPECT_EQ(s["ts"], Json::Value(g_now)) << fix;
        }
        EXPECT_EQ(s["iso8601"].asString(), iso) << fix;
        EXPECT_EQ(s["calc_hhmmss"], Json::Value(hhmmss)) << fix;
        EXPECT_EQ(s["calc_ddmmyy"], Json::Value(ddmmyy)) << fix;
        EXPECT_EQ(log.count("GPS valid (47.123456, -122.500000)"), 1) << fix;
        EXPECT_EQ(log.count("GPS invalid (47.123456, -122.500000)"), 1) << fix;
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
}

}  // namespace
