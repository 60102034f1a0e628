// Reassembly of gpsd's JSON stream into reports, and their dispatch to FixState and the sink.
#include <gtest/gtest.h>

#include <tuple>
#include <vector>

#include "intake/intake.h"

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
