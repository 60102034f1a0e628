// Raw receiver lines: liveness, routing, satellites-in-view groups and the signal quality index.
#include <gtest/gtest.h>

#include "platform/base/base.h"
#include "platform/sysdb/sysdb.h"
#include "receiver/receiver.h"
#include "tests/support/support.h"

static const auto sentence = navtest::nmea_sentence;
static const auto feed = [](ReceiverIntake& in, std::string b) { in.on_nmea_message(&b[0]); };
static navtest::TestDb g_db;

// The text of a key of "GPS"; "-" when there is none.
static std::string stored(const char* key) {
    sysdb_value v;
    return sysdb_namedb_read_value(nullptr, "GPS", key, &v) == 0 ? sysdb_value_text(v) : "-";
}

const std::string one = "$GPGSV,1,1,01,05,40,100,45";
const std::string k1 = "$GPGSV,3,1,11,03,03,111,00,04,15,270,00,06,01,010,00,13,06,292,00";
const std::string k2 = "$GPGSV,3,2,11,14,25,170,00,16,57,208,39,18,67,296,40,19,40,246,00";
const std::string k3 = "$GPGSV,3,3,11,22,42,067,42,24,14,311,43,27,05,244,00";
const std::string all = sentence(k1) + sentence(k2) + sentence(k3 + ",00,00,000,");
const std::string big = "$GPGSV,1,1,04,01,1,1,50,02,1,1,60,03,1,1,99,04,1,1,50";  // index 100
const std::string kFill = ",00,00,000,,00,00,000,,00,00,000,";  // three empty blocks

// Only "$GP" lines show the receiver is alive; with dead reckoning the others go to its handlers.
TEST(Receiver, LivenessAndRouting) {
    for (bool dr : {false, true}) {
        ReceiverIntake in(g_db.db);
        in.count_timeout();
        in.set_deadreckon_enabled(dr);
        feed(in, sentence("$GNGSA,A,3,05,,,,,,,,,,,,1.0,1.0,1.0") + sentence("$PSTMAGPSSTATUS,4"));
        EXPECT_EQ(in.nmea_timeout_count(), 1);
        EXPECT_EQ(stored("GPS_STAGPS_RAW"), dr ? "4" : "-");
        feed(in, "\n\n" + sentence("$GPGGA,123519,4807.038,N,01131.000,E,1,08,0.9,545.4,M,,M,,"));
        EXPECT_EQ(in.nmea_timeout_count(), 0);
    }
}

// Rows: lines (sent with a checksum; '!': bare), the index (the best four signal-to-noise ratios'
// mean, 20..50 mapped onto 0..100; -1: neither key stored), the text ("?": not checked).
TEST(Receiver, GroupsTextAndIndex) {
    std::vector<std::string> overflow = {one};  // then a group too long for the 1024-byte text
    for (char n = '1'; n <= '9'; ++n)
        overflow.push_back(std::string("$GPGSV,9,") + n + ",90,01,,," + (n == '9' ? "50" : "30") +
                           ",02,,,30,03,,,30,04,,,30,05,,,,06,,,,07,,,,08,,,,09,,,,10,,,");
    const std::tuple<std::vector<std::string>, int, std::string> cases[] = {
        {{k1, k2}, -1, ""},
        {{k1, k2, k3}, 70, all},
        {{k1, k3}, -1, ""},
        {{k1, k3, k1, k2, k3}, 70, all},
        {{k1, k2, k1, k2, k3}, 70, all},  // a repeated first line restarts the group
        {{k1, "$GPGSV,4,2,11,14", k3}, -1, ""},
        // Too short to hold count and number: neither starts nor breaks a group.
        {{"!$GPGSV", "!$GPGSV,1,", "!$GPGSV,1,1", one}, 0, sentence(one + kFill)},
        {{k1, "!$GPGSV,3,", k2, k3}, 70, all},
        // A trailing signal ID (since NMEA 4.10) is dropped; only all signals (0) or L1 C/A (1)
        // count, so an L5 group neither replaces the L1 group nor changes the index.
        {{k1 + ",1", k2 + ",1", k3 + ",1", "$GPGSV,1,1,02,05,43,250,38,25,35,330,36,8"}, 70, all},
        {{k1 + ",8", k2 + ",8", k3 + ",8"}, -1, ""},
        {{one + ",0"}, 0, sentence(one + kFill)},
        {{"$GPGSV,1,1,00,1"}, 0, sentence("$GPGSV,1,1,00,00,00,000," + kFill)},
        {{big + ",1"}, 100, sentence(big)},
        // Empty satellite fields are filled; the field the sentence's end closes is not, nor
        // are header fields. Without a checksum the carriage return belongs to the last field.
        {{"$GPGSV,1,1,03,12,,,35,13,05,,,,,200,20"},
         0,
         sentence("$GPGSV,1,1,03,12,00,000,35,13,05,000,,00,00,200,20,00,00,000,")},
        {{"$GPGSV,1,1,01,07,30,"}, 0, sentence("$GPGSV,1,1,01,07,30,," + kFill)},
        {{"$GPGSV,1,1,,,30,100,40"}, 0, sentence("$GPGSV,1,1,,00,30,100,40" + kFill)},
        {{"!" + one + "\r\n"}, 0, sentence(one + "\r" + kFill)},
        // Lines of 128 characters or more (with "*hh\r") are left out of text and index.
        {{big + std::string(70, ' ')}, 100, sentence(big + std::string(70, ' '))},
        {{big + std::string(71, ' ')}, 0, ""},
        {overflow, 50, sentence(one + kFill)},  // the text stays; best four 50 30 30 30
        {{"$GPGSV,2,1,08,01,,,45,02,,,10,03,,,44", "$GPGSV,2,2,08,05,,,40,06,,,39"}, 73, "?"},
        {{"$GPGSV,1,1,01,01,1,1,99999999999999999999"}, 100, "?"},
    };
    for (const auto& [lines, sqi, want] : cases) {
        SCOPED_TRACE(testing::PrintToString(lines));
        for (const char* key : {"GPS_NMEA_GPGSV", "GPS_SQI"}) g_db.db.del("GPS", key);
        ReceiverIntake in(g_db.db);
        for (const std::string& l : lines) feed(in, l[0] == '!' ? l.substr(1) : sentence(l));
        EXPECT_EQ(stored("GPS_SQI"), sqi < 0 ? "-" : std::to_string(sqi));
        EXPECT_EQ(in.latest_gps_sqi(), sqi);
        const std::string text = stored("GPS_NMEA_GPGSV");
        EXPECT_EQ(text, sqi < 0 ? "-" : want == "?" ? text : want);
    }
}
