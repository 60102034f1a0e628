// Intake: FixState and its per-pass validity and time; the JSON stream's reassembly and dispatch.
#include "intake/intake.h"
#include "tests/support/support.h"

class FixStateTest : public ::testing::Test {
protected:
    // One processing pass, `step` seconds after the previous one; returns the snapshot.
    Json::Value pass(double step = 1.0) {
        clock.now += step;
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
        r["ts"] = clock.now + 1 - age;
        state->fixstate_store("TPV", r);
    }
    void restart() { state = std::make_unique<FixState>(), log.clear(); }
    navtest::FakeClock clock{1000.0};
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

// The fresh report and two passes of grace show the fix time; then the clock runs on a second a
// pass however long passes take, past the end of a 32-bit time_t, over leap days and centuries.
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
            EXPECT_EQ(s["ts"], Json::Value(clock.now)) << fix;
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
        receive(0.5, 3), seen.push_back(valid_after_pass());
        receive(age, mode);
        for (int i = 0; i < 3; ++i) seen.push_back(valid_after_pass());
        EXPECT_EQ(seen, (std::vector<bool>{false, true, true, true, false})) << age << " " << mode;
    }
}

const std::string kTpv = R"({"class":"TPV","mode":3,"time":"T","lat":4,"lon":2,"alt":1,"speed":0})";
const std::string kSky = R"({"class":"SKY","ts":"own","satellites":[{"PRN":1},{"PRN":2}]})";

struct Intake {
    Intake& feed(std::string block) { return json.on_gpsd_json(&block[0]), *this; }
    FixState state;
    std::string sent;
    JsonIntake json{state, [this](const char* type, const Json::Value&) { sent += type; }};
};

TEST(JsonStream, ReportsSurviveAnySplitOfTheStream) {
    const std::string stream = kTpv + "\r\n\n" + kSky + "\n \t{\"class\":\"TPV\",\"mode\":1} \r\n";
    // Every single cut, and pairs of cuts from every fifth place.
    for (size_t i = 1; i < stream.size(); ++i)
        for (size_t j = i; j < stream.size(); j += i % 5 == 1 ? 11 : stream.size()) {
            SCOPED_TRACE(std::to_string(i) + " " + std::to_string(j));
            Intake in;
            in.feed(stream.substr(0, i)).feed(stream.substr(i, j - i)).feed(stream.substr(j));
            EXPECT_EQ(in.sent, "TPVSKYTPV");
            EXPECT_EQ(in.json.partial_json().find_first_not_of(" \t\r\n"), std::string::npos);
            EXPECT_EQ(in.state.fixstate_snapshot()["TPV"]["mode"], 3);  // not the fixless TPV
            EXPECT_TRUE(in.state.fixstate_snapshot()["SKY"]["ts"].isDouble());  // reception time
        }
}

// Rows: blocks (each ends like a line), types sunk, whether FixState gained a member, what is left.
TEST(JsonStream, StaleFragmentsOverflowAndDispatch) {
    const std::string deep = "{\"class\":\"SKY\",\"a\":" + std::string(GPSD_JSON_MAX_DEPTH, '[') +
                             std::string(GPSD_JSON_MAX_DEPTH, ']') + "}";
    const std::string pad = "\"pad\":\"" + std::string(1000, 'x') + "\",";
    std::vector<std::tuple<std::vector<std::string>, std::string, bool, std::string>> cases = {
        // A fragment gives way only to a report with a class (a middle piece has none).
        {{R"({"class":"TPV","lat":)", kTpv, kSky}, "TPVSKY", true, ""},
        {{kSky.substr(0, 40), kSky.substr(40, 9), kSky.substr(49)}, "SKY", true, ""},
        // The line that overflows the buffer goes with it.
        {{"{\"class\":\"TPV\",", pad, pad, pad, pad, pad, pad, pad, pad, pad, pad}, "", false, pad},
        {{"{\"class\":\"SKY\",\"a\":" + std::string(100000, '[') + "}", deep}, "", false, deep},
        {{R"({"mode":3})", R"({"class":3})", R"({"class":"VERSION"})"}, "", false, ""},
    };
    // Every member but "alt" is needed for a TPV to be stored; each goes to the sink.
    for (std::string m : {",\"lat\":4", ",\"lon\":2", ",\"mode\":3", ",\"speed\":0",
                          ",\"time\":\"T\"", ",\"alt\":1"})
        cases.push_back(
            {{std::string(kTpv).erase(kTpv.find(m), m.size())}, "TPV", m[2] == 'a', ""});
    for (const auto& [blocks, sent, stored, left] : cases) {
        SCOPED_TRACE(blocks[0].substr(0, 80));
        Intake in;
        for (const std::string& block : blocks) {
            in.feed(block);
            EXPECT_LE(in.json.partial_json().size(), static_cast<size_t>(PARTIAL_JSON_LIMIT));
        }
        EXPECT_EQ(in.sent, sent);
        EXPECT_EQ(in.state.fixstate_snapshot().isObject(), stored);
        EXPECT_EQ(in.json.partial_json(), left);
    }
}
