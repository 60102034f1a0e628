// Reassembly of gpsd's JSON stream into reports, and their dispatch to FixState and MQTT.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "intake/intake.h"
#include "platform/platform.h"

namespace {

std::vector<std::pair<std::string, Json::Value>> g_sent;
void record_broadcast(const char* type, const Json::Value& r) {
    g_sent.emplace_back(type, r);
}
std::vector<std::pair<int, std::string>> g_logs;
void record_log(int prio, const char* text) {
    g_logs.emplace_back(prio, text);
}
double clock_now() {
    return 4321.25;
}

const std::string kTpv =
    R"({"class":"TPV","mode":3,"time":"2024-03-05T07:08:09.000Z","lat":47.1,"lon":-122.5,)"
    R"("alt":12.5,"track":10.0,"speed":0.25})";
const std::string kSky = R"({"class":"SKY","hdop":0.9,"satellites":[{"PRN":1},{"PRN":2}]})";
const std::string kTpvNoFix = R"({"class":"TPV","mode":1,"ts":"gpsd's own"})";

class JsonStream : public ::testing::Test {
protected:
    void SetUp() override {
        reset();
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
    static void reset() {
        intake_reset_for_test();
        g_sent.clear();
        g_logs.clear();
    }
    static void feed(const std::string& block) {
        std::vector<char> buf(block.begin(), block.end());
        buf.push_back('\0');  // the client hands over a writable C string
        on_gpsd_json(buf.data());
    }
    static std::string sent_types() {
        std::string types;
        for (const auto& s : g_sent) types += s.first + " ";
        return types;
    }
    static int logged(int prio, const std::string& text) {
        int n = 0;
        for (const auto& l : g_logs) n += l.first == prio && l.second.find(text) != l.second.npos;
        return n;
    }
};

TEST_F(JsonStream, ReportsSurviveAnySplitOfTheStream) {
    const std::string stream = kTpv + "\r\n\n" + kSky + "\n  \t" + kTpvNoFix + " \r\n\n";
    std::vector<std::vector<size_t>> cuts;
    for (size_t i = 1; i < stream.size(); ++i) cuts.push_back({i});
    for (size_t i = 1; i < stream.size(); i += 5)
        for (size_t j = i + 1; j < stream.size(); j += 11) cuts.push_back({i, j});

    for (const auto& cut : cuts) {
        SCOPED_TRACE(::testing::PrintToString(cut));
        reset();
        size_t from = 0;
        for (size_t at : cut) {
            feed(stream.substr(from, at - from));
            from = at;
        }
        feed(stream.substr(from));

        ASSERT_EQ(sent_types(), "TPV SKY TPV ");
        EXPECT_EQ(g_sent[1].second["satellites"].size(), 2u);
        EXPECT_EQ(g_sent[2].second["ts"], Json::Value(4321.25));  // reception time replaces
        // A cut inside trailing blanks leaves only blanks behind.
        EXPECT_EQ(partial_json_buffer().find_first_not_of(" \t\r\n"), std::string::npos);
        Json::Value state = fixstate_snapshot();
        EXPECT_EQ(state["TPV"]["mode"].asInt(), 3);  // the no-fix TPV is not stored
        EXPECT_EQ(state["SKY"]["hdop"].asDouble(), 0.9);
    }
}

TEST_F(JsonStream, StaleFragmentGivesWayToCompleteReport) {
    for (std::string fragment : {R"(,"lon":-122.5,"alt":12.5})", R"({"class":"TPV","lat":)"}) {
        SCOPED_TRACE(fragment);
        reset();
        feed(fragment + "\n");
        EXPECT_EQ(partial_json_buffer(), fragment);
        feed(kTpv + "\n" + kSky + "\n");
        EXPECT_EQ(sent_types(), "TPV SKY ");
        EXPECT_EQ(logged(LOG_NOTICE, "Dropping stale partial gpsd JSON"), 1);
        EXPECT_TRUE(partial_json_buffer().empty());
    }

    // A line cut twice, whose middle piece is a complete inner object, still reassembles.
    reset();
    feed(kSky.substr(0, 40));
    feed(kSky.substr(40, 9));  // {"PRN":1}
    feed(kSky.substr(49) + "\n");
    ASSERT_EQ(sent_types(), "SKY ");
    EXPECT_EQ(g_sent[0].second["satellites"].size(), 2u);
}

TEST_F(JsonStream, OverflowingBufferIsDiscarded) {
    const std::string filler = "\"pad\":\"" + std::string(1000, 'x') + "\",";
    feed("{\"class\":\"TPV\",\n");
    for (int i = 0; i < 10; ++i) {
        feed(filler + "\n");
        ASSERT_LE(partial_json_buffer().size(), static_cast<size_t>(PARTIAL_JSON_LIMIT));
    }
    EXPECT_EQ(logged(LOG_NOTICE, "Failed to parse gpsd JSON objects (buffer overflow), clearing"),
              1);
    EXPECT_EQ(partial_json_buffer(), filler);  // the overflowing line went with the buffer
    EXPECT_TRUE(g_sent.empty());
}

TEST_F(JsonStream, DispatchByClass) {
    struct Case {
        std::string line;
        std::string sent;
        bool stored;  // FixState gained a member
    };
    std::vector<Case> cases = {
        {R"({"mode":3})", "", false},
        {R"({"class":3})", "", false},
        {R"({"class":"VERSION"})", "", false},
        {R"({"class":"SKY"})", "SKY ", true},
        {R"({"class":"TPV","lat":1,"lon":2,"mode":3,"speed":0,"time":"x","alt":5})", "TPV ", true},
    };
    for (const char* missing : {"lat", "lon", "mode", "speed", "time", "alt"}) {
        Json::Value tpv;
        ASSERT_TRUE(Json::Reader().parse(kTpv, tpv));
        tpv.removeMember(missing);
        cases.push_back({Json::FastWriter().write(tpv), "TPV ", false});
    }
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        reset();
        feed(c.line + "\n");
        EXPECT_EQ(sent_types(), c.sent);
        EXPECT_EQ(fixstate_snapshot().isObject(), c.stored);
        EXPECT_EQ(logged(LOG_NOTICE, "gpsd JSON missing class, skipping"),
                  c.line == cases[0].line ? 1 : 0);
    }
}

TEST_F(JsonStream, ParseCandidates) {
    const std::string deep = std::string(GPSD_JSON_MAX_DEPTH - 1, '[');
    const std::string undeep = std::string(GPSD_JSON_MAX_DEPTH - 1, ']');
    const std::vector<std::pair<std::string, bool>> cases = {
        {" \t\r\n{\"a\":1} \r\n\t", true},
        {R"({"a":1}{"b":2})", true},  // the first object is taken
        {"", false},
        {" \r\n", false},
        {R"(x{"a":1})", false},
        {R"({"a":1}x)", false},
        {R"([{"a":1}])", false},
        {R"({"a":/*c*/1})", false},
        {R"({"a":})", false},
        {"{\"a\":" + deep + undeep + "}", true},
        {"{\"a\":[" + deep + "]" + undeep + "}", false},
        {"{\"a\":" + std::string(100000, '[') + "}", false},
        {R"({"a":"\"{{[["})", true},  // brackets in strings do not nest
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.first.substr(0, 60));
        Json::Value out;
        ASSERT_EQ(parse_gpsd_object(c.first, &out), c.second);
        if (c.second) {
            EXPECT_EQ(out.getMemberNames(), (std::vector<std::string>{"a", "ts"}));
        }
    }
    EXPECT_FALSE(parse_gpsd_object(R"({"a":1})", nullptr));
    on_gpsd_json(nullptr);
}

}  // namespace
