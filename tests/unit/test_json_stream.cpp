// Reassembly of gpsd's JSON stream into reports, and their dispatch to FixState and MQTT.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "intake/intake.h"
#include "platform/platform.h"
#include "tests/support/support.h"

namespace {

struct Broadcast {
    std::string type;
    Json::Value report;
};
std::vector<Broadcast> g_broadcasts;
void record_broadcast(const char* type, const Json::Value& report) {
    g_broadcasts.push_back({type, report});
}

std::vector<std::pair<int, std::string>> g_logs;
void record_log(int prio, const char* text) {
    g_logs.emplace_back(prio, text);
}

double clock_now() {
    return 4321.25;
}

const std::string kTpv =
    R"({"class":"TPV","device":"/dev/ttyS1","mode":3,"time":"2024-03-05T07:08:09.000Z",)"
    R"("lat":47.123456,"lon":-122.5,"alt":12.5,"track":10.0,"speed":0.25})";
const std::string kSky = R"({"class":"SKY","hdop":0.9,"vdop":1.1,"pdop":1.4,)"
                         R"("satellites":[{"PRN":1,"el":40,"az":120,"ss":38,"used":true}]})";
const std::string kTpvNoFix = R"({"class":"TPV","device":"/dev/ttyS1","mode":1})";

class JsonStream : public ::testing::Test {
protected:
    void SetUp() override {
        intake_reset_for_test();
        g_broadcasts.clear();
        g_logs.clear();
        intake_set_broadcast_hook(record_broadcast);
        fwtime_set_source(clock_now);
        log_set_verbose(true);
        log_set_hook(record_log);
    }
    void TearDown() override {
        log_set_hook(nullptr);
        fwtime_set_source(nullptr);
        intake_set_broadcast_hook(nullptr);
        intake_reset_for_test();
    }

    // The client hands over a writable C string.
    static void feed(const std::string& block) {
        std::vector<char> buf(block.begin(), block.end());
        buf.push_back('\0');
        on_gpsd_json(buf.data());
    }

    static std::vector<std::string> broadcast_types() {
        std::vector<std::string> types;
        for (const auto& b : g_broadcasts) types.push_back(b.type);
        return types;
    }

    static int logged(int prio, const std::string& text) {
        int n = 0;
        for (const auto& l : g_logs)
            if (l.first == prio && l.second.find(text) != std::string::npos) ++n;
        return n;
    }
};

TEST_F(JsonStream, ReportsSurviveAnySplitOfTheStream) {
    const std::string stream = kTpv + "\r\n\n" + kSky + "\n  \t" + kTpvNoFix + " \r\n" + "\n";
    // Every single cut, and a spread of double cuts, must yield the same three reports.
    std::vector<std::vector<size_t>> cuts;
    for (size_t i = 1; i < stream.size(); ++i) cuts.push_back({i});
    for (size_t i = 1; i < stream.size(); i += 5)
        for (size_t j = i + 1; j < stream.size(); j += 11) cuts.push_back({i, j});

    for (const auto& cut : cuts) {
        SCOPED_TRACE("cut at " + std::to_string(cut[0]) +
                     (cut.size() > 1 ? "," + std::to_string(cut[1]) : ""));
        intake_reset_for_test();
        g_broadcasts.clear();
        size_t from = 0;
        for (size_t at : cut) {
            feed(stream.substr(from, at - from));
            from = at;
        }
        feed(stream.substr(from));

        ASSERT_EQ(broadcast_types(), (std::vector<std::string>{"TPV", "SKY", "TPV"}));
        EXPECT_EQ(g_broadcasts[0].report["lat"].asDouble(), 47.123456);
        EXPECT_EQ(g_broadcasts[1].report["satellites"].size(), 1u);
        EXPECT_EQ(g_broadcasts[2].report["mode"].asInt(), 1);
        // A cut inside the trailing blanks leaves only blanks behind.
        EXPECT_EQ(partial_json_buffer().find_first_not_of(" \t\r\n"), std::string::npos);
        Json::Value state = fixstate_snapshot();
        EXPECT_EQ(state["TPV"]["mode"].asInt(), 3);  // the no-fix TPV is not stored
        EXPECT_EQ(state["SKY"]["hdop"].asDouble(), 0.9);
    }
}

TEST_F(JsonStream, BlockEndingMidReportCompletesWithNextBlock) {
    std::string third = kSky;
    feed(kTpv + "\n" + kTpvNoFix + "\n" + third.substr(0, 40));
    EXPECT_EQ(broadcast_types(), (std::vector<std::string>{"TPV", "TPV"}));
    EXPECT_EQ(partial_json_buffer(), third.substr(0, 40));
    EXPECT_EQ(logged(LOG_DEBUG, "Failed to parse gpsd JSON objects, buffering partial"), 1);

    feed(third.substr(40) + "\n" + kTpv + "\n");
    EXPECT_EQ(broadcast_types(), (std::vector<std::string>{"TPV", "TPV", "SKY", "TPV"}));
    EXPECT_TRUE(partial_json_buffer().empty());
    EXPECT_EQ(logged(LOG_DEBUG, "gpsd:"), 5);
}

TEST_F(JsonStream, ReportCarriesReceptionTime) {
    feed("{\"class\":\"SKY\",\"ts\":\"gpsd's own\",\"satellites\":[]}\n");
    ASSERT_EQ(g_broadcasts.size(), 1u);
    EXPECT_EQ(g_broadcasts[0].report["ts"], Json::Value(4321.25));
    EXPECT_EQ(fixstate_snapshot()["SKY"]["ts"], Json::Value(4321.25));
}

// A fragment that can never complete must not hold up the reports after it.
TEST_F(JsonStream, StaleFragmentGivesWayToCompleteReport) {
    const std::vector<std::string> fragments = {
        R"(,"lon":-122.5,"alt":12.5})",       // connection opened mid-report
        R"({"class":"TPV","mode":3,"lat":)",  // continuation never came
        R"({"class":"SKY","satellites":[{"PRN":1})",
    };
    for (const auto& fragment : fragments) {
        SCOPED_TRACE(fragment);
        intake_reset_for_test();
        g_broadcasts.clear();
        g_logs.clear();
        feed(fragment + "\n");
        EXPECT_EQ(partial_json_buffer(), fragment);
        feed(kTpv + "\n" + kSky + "\n");
        EXPECT_EQ(broadcast_types(), (std::vector<std::string>{"TPV", "SKY"}));
        EXPECT_EQ(logged(LOG_NOTICE, "Dropping stale partial gpsd JSON"), 1);
        EXPECT_TRUE(partial_json_buffer().empty());
        EXPECT_EQ(fixstate_snapshot()["TPV"]["mode"].asInt(), 3);
    }
}

TEST_F(JsonStream, FragmentIsNotDroppedForAClasslessInnerObject) {
    // A SKY report cut inside its satellite list: the next piece starts with a complete
    // satellite object, which is a continuation, not a report of its own.
    std::string sky = R"({"class":"SKY","satellites":[{"PRN":1},{"PRN":2}]})";
    feed(sky.substr(0, 29));
    feed(sky.substr(29, 9));  // {"PRN":1}
    feed(sky.substr(38) + "\n");
    ASSERT_EQ(broadcast_types(), (std::vector<std::string>{"SKY"}));
    EXPECT_EQ(g_broadcasts[0].report["satellites"].size(), 2u);
    EXPECT_EQ(logged(LOG_NOTICE, "Dropping stale"), 0);
}

TEST_F(JsonStream, OverflowingBufferIsDiscarded) {
    feed("{\"class\":\"TPV\",\n");
    std::string filler = "\"pad\":\"" + std::string(1000, 'x') + "\",";
    size_t longest = 0;
    for (int i = 0; i < 10; ++i) {
        feed(filler + "\n");
        longest = std::max(longest, partial_json_buffer().size());
    }
    EXPECT_LE(longest, static_cast<size_t>(PARTIAL_JSON_LIMIT));
    EXPECT_EQ(logged(LOG_NOTICE, "Failed to parse gpsd JSON objects (buffer overflow), clearing"),
              1);
    // The line that overflowed went with the buffer; the next one starts a new fragment.
    EXPECT_EQ(partial_json_buffer(), filler);
    EXPECT_TRUE(g_broadcasts.empty());

    // One line longer than the limit is dropped at once.
    partial_json_clear();
    g_logs.clear();
    feed("{\"class\":\"SKY\",\"x\":\"" + std::string(PARTIAL_JSON_LIMIT, 'y') + "\n");
    EXPECT_TRUE(partial_json_buffer().empty());
    EXPECT_EQ(logged(LOG_NOTICE, "(buffer overflow)"), 1);
}

TEST_F(JsonStream, DispatchByClass) {
    struct Case {
        std::string line;
        std::vector<std::string> broadcasts;
        bool stores_tpv;
        bool stores_sky;
        bool missing_class_notice;
    };
    std::vector<Case> cases = {
        {R"({"mode":3})", {}, false, false, true},
        {R"({"class":3})", {}, false, false, false},
        {R"({"class":["TPV"]})", {}, false, false, false},
        {R"({"class":"VERSION","release":"3.22"})", {}, false, false, false},
        {R"({"class":"DEVICES","devices":[]})", {}, false, false, false},
        {R"({"class":"WATCH","enable":true})", {}, false, false, false},
        {R"({"class":"SKY"})", {"SKY"}, false, true, false},
        {R"({"class":"TPV","lat":1,"lon":2,"mode":3,"speed":0,"time":"x","alt":5})",
         {"TPV"},
         true,
         false,
         false},
    };
    // A TPV lacking any one of the six members is broadcast but not stored.
    for (const char* missing : {"lat", "lon", "mode", "speed", "time", "alt"}) {
        Json::Value tpv;
        ASSERT_TRUE(Json::Reader().parse(kTpv, tpv));
        tpv.removeMember(missing);
        std::string text = Json::FastWriter().write(tpv);
        text.pop_back();
        cases.push_back({text, {"TPV"}, false, false, false});
    }

    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        intake_reset_for_test();
        g_broadcasts.clear();
        g_logs.clear();
        feed(c.line + "\n");
        EXPECT_EQ(broadcast_types(), c.broadcasts);
        Json::Value state = fixstate_snapshot();
        EXPECT_EQ(state.isMember("TPV"), c.stores_tpv);
        EXPECT_EQ(state.isMember("SKY"), c.stores_sky);
        EXPECT_EQ(logged(LOG_NOTICE, "gpsd JSON missing class, skipping"),
                  c.missing_class_notice ? 1 : 0);
        EXPECT_TRUE(partial_json_buffer().empty());
    }
}

TEST_F(JsonStream, IncompleteTpvLeavesStoredTpvAlone) {
    feed(kTpv + "\n");
    feed(R"({"class":"TPV","mode":3,"lat":1.0,"lon":2.0,"speed":0,"time":"t"})"
         "\n");
    EXPECT_EQ(broadcast_types(), (std::vector<std::string>{"TPV", "TPV"}));
    EXPECT_EQ(fixstate_snapshot()["TPV"]["lat"].asDouble(), 47.123456);
}

TEST_F(JsonStream, ParseCandidates) {
    struct Case {
        std::string text;
        bool ok;
    };
    const std::vector<Case> cases = {
        {R"({"a":1})", true},
        {" \t\r\n{\"a\":1} \r\n\t", true},
        {R"({"a":1}{"b":2})", true},  // the first object is taken
        {R"({"a":1} junk })", true},
        {"", false},
        {" \r\n\t", false},
        {R"(x{"a":1})", false},
        {R"({"a":1}x)", false},
        {R"([{"a":1}])", false},
        {R"({"a":1,})", false},
        {R"({"a":/*c*/1})", false},  // strict: no comments
        {R"({"a":})", false},
        {R"({"a":"unterminated})", false},
        {"{\"a\":" + std::string(GPSD_JSON_MAX_DEPTH - 1, '[') +
             std::string(GPSD_JSON_MAX_DEPTH - 1, ']') + "}",
         true},
        {"{\"a\":" + std::string(GPSD_JSON_MAX_DEPTH, '[') + std::string(GPSD_JSON_MAX_DEPTH, ']') +
             "}",
         false},
        {"{\"a\":" + std::string(100000, '[') + "}", false},
        {R"({"a":"{{{{[[[[","b":1})", true},  // brackets in strings are not nesting
        {R"({"a":"\"{[","b":1})", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text.substr(0, 80));
        Json::Value out;
        ASSERT_EQ(parse_gpsd_object(c.text, &out), c.ok);
        if (c.ok) {
            EXPECT_TRUE(out.isObject());
            EXPECT_EQ(out["ts"], Json::Value(4321.25));
        }
    }
    EXPECT_FALSE(parse_gpsd_object(R"({"a":1})", nullptr));

    Json::Value first;
    ASSERT_TRUE(parse_gpsd_object(R"({"a":1}{"b":2})", &first));
    EXPECT_TRUE(first.isMember("a"));
    EXPECT_FALSE(first.isMember("b"));
}

TEST_F(JsonStream, EmptyBlocksAreHarmless) {
    feed("");
    feed("\n\n\n");
    on_gpsd_json(nullptr);
    EXPECT_TRUE(g_broadcasts.empty());
    EXPECT_TRUE(partial_json_buffer().empty());
    EXPECT_TRUE(g_logs.empty());
}

}  // namespace
