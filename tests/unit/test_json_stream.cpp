// Reassembly of gpsd's JSON stream into reports, and their dispatch to FixState and MQTT.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "intake/intake.h"
#include "platform/platform.h"
#include "tests/support/support.h"

namespace {

std::string g_sent;  // the broadcast classes, in order
std::vector<Json::Value> g_reports;

const std::string kTpv =
    R"({"class":"TPV","mode":3,"time":"2024-03-05T07:08:09.000Z","lat":47.1,"lon":-122.5,)"
    R"("alt":12.5,"track":10.0,"speed":0.25})";
const std::string kSky = R"({"class":"SKY","hdop":0.9,"satellites":[{"PRN":1},{"PRN":2}]})";

class JsonStream : public ::testing::Test {
protected:
    void SetUp() override {
        reset();
        intake_set_broadcast_hook([](const char* type, const Json::Value& r) {
            g_sent += std::string(type) + " ";
            g_reports.push_back(r);
        });
        fwtime_set_source([] { return 4321.25; });
    }
    static void reset() {
        intake_reset_for_test();
        g_sent.clear();
        g_reports.clear();
    }
    static void feed(std::string block) { on_gpsd_json(&block[0]); }  // a writable C string
    navtest::LogCapture log;
};

TEST_F(JsonStream, ReportsSurviveAnySplitOfTheStream) {
    const std::string stream =
        kTpv + "\r\n\n" + kSky + "\n  \t" + R"({"class":"TPV","mode":1,"ts":"own"})" + " \r\n\n";
    std::vector<std::vector<size_t>> cuts;
    for (size_t i = 1; i < stream.size(); ++i) cuts.push_back({i});
    for (size_t i = 1; i < stream.size(); i += 5)
        for (size_t j = i + 1; j < stream.size(); j += 11) cuts.push_back({i, j});
    for (const auto& cut : cuts) {
        SCOPED_TRACE(::testing::PrintToString(cut));
        reset();
        size_t from = 0;
        for (size_t at : cut) feed(stream.substr(from, at - from)), from = at;
        feed(stream.substr(from));
        ASSERT_EQ(g_sent, "TPV SKY TPV ");
        EXPECT_EQ(g_reports[1]["satellites"].size(), 2u);
        EXPECT_EQ(g_reports[2]["ts"], Json::Value(4321.25));  // reception time replaces
        EXPECT_EQ(partial_json_buffer().find_first_not_of(" \t\r\n"), std::string::npos);
        Json::Value state = fixstate_snapshot();
        EXPECT_EQ(state["TPV"]["mode"].asInt(), 3);  // the TPV without a fix is not stored
        EXPECT_EQ(state["SKY"]["hdop"].asDouble(), 0.9);
    }
}

TEST_F(JsonStream, StaleFragmentGivesWayOnlyToAReportWithClass) {
    for (std::string fragment : {R"(,"lon":-122.5,"alt":12.5})", R"({"class":"TPV","lat":)"}) {
        reset();
        feed(fragment + "\n" + kTpv + "\n" + kSky + "\n");
        EXPECT_EQ(g_sent, "TPV SKY ") << fragment;
        EXPECT_TRUE(partial_json_buffer().empty());
    }
    EXPECT_EQ(log.count("Dropping stale partial gpsd JSON"), 2);
    // The middle piece of a line cut twice is a whole object without "class": it continues.
    reset();
    for (std::string piece : {kSky.substr(0, 40), kSky.substr(40, 9), kSky.substr(49) + "\n"})
        feed(piece);
    ASSERT_EQ(g_sent, "SKY ");
    EXPECT_EQ(g_reports[0]["satellites"].size(), 2u);
}

TEST_F(JsonStream, OverflowingBufferIsDiscarded) {
    const std::string filler = "\"pad\":\"" + std::string(1000, 'x') + "\",";
    feed("{\"class\":\"TPV\",\n");
    for (int i = 0; i < 10; ++i) {
        feed(filler + "\n");
        ASSERT_LE(partial_json_buffer().size(), static_cast<size_t>(PARTIAL_JSON_LIMIT));
    }
    EXPECT_EQ(log.count("Failed to parse gpsd JSON objects (buffer overflow), clearing"), 1);
    EXPECT_EQ(partial_json_buffer(), filler);  // the overflowing line went with the buffer
    EXPECT_EQ(g_sent, "");
}

TEST_F(JsonStream, DispatchByClass) {
    struct Case {
        std::string line, sent;
        bool stored;  // FixState gained a member
    };
    std::vector<Case> cases = {
        {R"({"mode":3})", "", false},
        {R"({"class":3})", "", false},
        {R"({"class":"VERSION"})", "", false},
        {R"({"class":"SKY"})", "SKY ", true},
        {R"({"class":"TPV","lat":1,"lon":2,"mode":3,"speed":0,"time":"x","alt":5})", "TPV ", true},
        {"{\"class\":\"SKY\",\"a\":" + std::string(GPSD_JSON_MAX_DEPTH, '[') +
             std::string(GPSD_JSON_MAX_DEPTH, ']') + "}",
         "", false},  // too deep
        {"{\"class\":\"SKY\",\"a\":" + std::string(100000, '[') + "}", "", false},
    };
    for (const char* missing : {"lat", "lon", "mode", "speed", "time", "alt"}) {
        Json::Value tpv;
        ASSERT_TRUE(Json::Reader().parse(kTpv, tpv));
        tpv.removeMember(missing);
        cases.push_back({Json::FastWriter().write(tpv), "TPV ", missing == std::string("alt")});
    }
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line.substr(0, 80));
        reset();
        log.clear();
        feed(c.line + "\n");
        EXPECT_EQ(g_sent, c.sent);
        EXPECT_EQ(fixstate_snapshot().isObject(), c.stored);
        EXPECT_EQ(log.count("gpsd JSON missing class, skipping"), &c == &cases[0]);
    }
}

}  // namespace
