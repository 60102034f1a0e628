// Raw receiver lines: liveness reset, satellites-in-view groups and the signal quality index.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/core.h"
#include "platform/platform.h"
#include "platform/sysdb.h"
#include "receiver/receiver.h"
#include "tests/support/support.h"

namespace {

// A received sentence (or a stored line of the group text): body, checksum, CR LF.
std::string sentence(const std::string& body) {
    return navtest::nmea_sentence(body);
}

class ReceiverTest : public ::testing::Test {
protected:
    void SetUp() override {
        sysdb_reset_thread_connection();
        deadreckon_enabled = false;
        nmea_timeout_count = 0;
    }
    void TearDown() override { sysdb_reset_thread_connection(); }
    void feed(std::string block) { on_nmea_message(&block[0]); }
    // A fresh group state and no stored keys, then each line as its own block ('!': bare).
    void feed_group(const std::vector<std::string>& lines) {
        receiver_reset_for_test();
        sysdb_namedb_del(nullptr, "GPS", "GPS_NMEA_GPGSV");
        sysdb_namedb_del(nullptr, "GPS", "GPS_SQI");
        for (const std::string& l : lines) feed(l[0] == '!' ? l.substr(1) : sentence(l));
    }
    bool has(const char* key) {
        sysdb_value v;
        return sysdb_namedb_read_value(nullptr, "GPS", key, &v) == 0;
    }
    std::string gsv() {
        sysdb_value v;
        EXPECT_EQ(sysdb_namedb_read_value(nullptr, "GPS", "GPS_NMEA_GPGSV", &v), 0);
        return v.text;
    }
    int sqi() {
        int q = -1;
        EXPECT_EQ(sysdb_namedb_read_int(nullptr, "GPS", "GPS_SQI", &q), 0);
        return q;
    }
    navtest::TempDir dir_;
    navtest::ScopedEnv env_{"SYSDB_PATH", dir_ / "sysdb.sqlite"};
};

const std::string k1 = "$GPGSV,3,1,11,03,03,111,00,04,15,270,00,06,01,010,00,13,06,292,00";
const std::string k2 = "$GPGSV,3,2,11,14,25,170,00,16,57,208,39,18,67,296,40,19,40,246,00";
const std::string k3 = "$GPGSV,3,3,11,22,42,067,42,24,14,311,43,27,05,244,00";
const std::string k3out = "$GPGSV,3,3,11,22,42,067,42,24,14,311,43,27,05,244,00,00,00,000,";
const std::string kFill = ",00,00,000,,00,00,000,,00,00,000,";  // three empty blocks

TEST_F(ReceiverTest, BlockIsSplitAndLoggedAndOnlyGpLinesResetTheTimeoutCount) {
    navtest::LogCapture log;
    nmea_timeout_count = 3;
    for (bool dr : {false, true}) {
        deadreckon_enabled = dr;
        feed(sentence("$GNGSA,A,3,05,,,,,,,,,,,,1.0,1.0,1.0") + sentence("$PSTMAGPSSTATUS,1"));
        EXPECT_EQ(nmea_timeout_count.load(), 3);
    }
    log.clear();
    const std::string one = "$GPGSV,1,1,01,05,40,100,45";
    const std::string gga = "$GPGGA,123519,4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,";
    feed(sentence(one) + "\n\n" + sentence(gga));
    EXPECT_EQ(nmea_timeout_count.load(), 0);
    EXPECT_EQ(log.count("logger:"), 2);
    EXPECT_TRUE(log.contains("logger:" + sentence(one).substr(0, one.size() + 4)));  // CR kept
    EXPECT_TRUE(log.contains("logger:" + gga));
    EXPECT_EQ(gsv(), sentence(one + kFill));
    EXPECT_EQ(sqi(), 0);
}

TEST_F(ReceiverTest, GroupSequences) {
    const std::string one = "$GPGSV,1,1,01,05,40,100,45";
    const std::string k2of4 = "$GPGSV,4,2,11,14,25,170,00,16,57,208,39,18,67,296,40,19,40,246,00";
    const struct {
        std::vector<std::string> lines;
        bool stored;
    } cases[] = {
        {{one}, true},
        {{k1, k2}, false},
        {{k1, k2, k3}, true},
        {{k1, k3}, false},
        {{k2, k3}, false},
        {{k1, k3, k1, k2, k3}, true},
        {{k1, k2, k1, k2, k3}, true},  // a repeated first line restarts the group
        {{k1, k2of4, k3}, false},
        // Too short to hold count and number: neither starts nor breaks a group.
        {{"!$GPGSV", "!$GPGSV,1,", "!$GPGSV,1,1", one}, true},
        {{k1, "!$GPGSV,3,", k2, k3}, true},
        // A trailing signal ID: only groups of all signals (0) or L1 C/A (1) count.
        {{one + ",0"}, true},
        {{k1 + ",8", k2 + ",8", k3 + ",8"}, false},
        {{"$GPGSV,1,1,00,7"}, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.lines));
        feed_group(c.lines);
        EXPECT_EQ(has("GPS_NMEA_GPGSV"), c.stored);
        EXPECT_EQ(has("GPS_SQI"), c.stored);
    }
}

// Stored text and index of complete groups. Empty satellite fields are filled, up to four
// blocks; the index is the mean of the best four ratios mapped from 20..50 onto 0..100.
TEST_F(ReceiverTest, StoredTextAndIndex) {
    const std::string pad(128 - k1.size() - 4, '0');  // 128 characters with "*hh\r"
    const std::string too_long = k1.substr(0, 14) + pad + k1.substr(14);
    const std::string fits = k1.substr(0, 14) + pad.substr(1) + k1.substr(14);
    const struct {
        std::vector<std::string> lines;
        std::string text;  // "?": not checked
        int sqi;           // -1: not checked
    } cases[] = {
        // Lines without a signal ID (before NMEA 4.10); best four 43 42 40 39.
        {{k1, k2, k3}, sentence(k1) + sentence(k2) + sentence(k3out), 70},
        // The same group with signal IDs, then an L5 group, which neither replaces it nor
        // changes the index.
        {{k1 + ",1", k2 + ",1", k3 + ",1", "$GPGSV,1,1,02,05,43,250,38,25,35,330,36,8"},
         sentence(k1) + sentence(k2) + sentence(k3out),
         70},
        {{"$GPGSV,1,1,04,01,1,1,50,02,1,1,60,03,1,1,99,04,1,1,50,1"},
         sentence("$GPGSV,1,1,04,01,1,1,50,02,1,1,60,03,1,1,99,04,1,1,50"),
         100},
        {{"$GPGSV,1,1,00,1"}, sentence("$GPGSV,1,1,00,00,00,000," + kFill), 0},
        {{"!$GPGSV,1,1,01,05,40,100,45,1\r\n"}, sentence("$GPGSV,1,1,01,05,40,100,45" + kFill), 0},
        {{"$GPGSV,1,1,04,12,,,35,13,05,,,14,,200,20,15,10,020,"},
         sentence("$GPGSV,1,1,04,12,00,000,35,13,05,000,,14,00,200,20,15,10,020,"),
         -1},
        {{"$GPGSV,1,1,01,,,,"}, sentence("$GPGSV,1,1,01,00,00,000," + kFill), -1},
        // The field closed by the end of the sentence is not filled, nor are header fields.
        {{"$GPGSV,1,1,01,07,30,"}, sentence("$GPGSV,1,1,01,07,30,," + kFill), -1},
        {{"$GPGSV,1,1,,07,30,100,40"}, sentence("$GPGSV,1,1,,07,30,100,40" + kFill), -1},
        {{"$GPGSV,1,1,05,01,01,001,01,02,02,002,02,03,03,003,03,04,04,004,04,05,,,"},
         sentence("$GPGSV,1,1,05,01,01,001,01,02,02,002,02,03,03,003,03,04,04,004,04,05,00,000,"),
         -1},
        // Without a checksum the carriage return is part of the last field.
        {{"!$GPGSV,1,1,01,05,40,100,45\r\n"}, sentence("$GPGSV,1,1,01,05,40,100,45\r" + kFill), -1},
        // Lines of 128 characters or more are left out of text and index.
        {{too_long, k2, k3}, sentence(k2) + sentence(k3out), 70},
        {{fits, k2, k3}, sentence(fits) + sentence(k2) + sentence(k3out), 70},
        {{"$GPGSV,1,1,01,05,40,100,45" + std::string(120, ' ')}, "", 0},
        {{"$GPGSV,2,1,08,01,10,100,45,02,10,100,10,03,10,100,44,04,10,100,20",
          "$GPGSV,2,2,08,05,10,100,40,06,10,100,39,07,10,100,38,08,10,100,"},
         "?",
         73},
        {{"$GPGSV,1,1,01,01,10,100,50"}, "?", 0},
        {{"$GPGSV,1,1,04,01,1,1,50,02,1,1,60,03,1,1,99,04,1,1,50"}, "?", 100},
        {{"$GPGSV,1,1,04,01,1,1,,02,1,1,,03,1,1,,04,1,1,"}, "?", 0},
        {{"$GPGSV,1,1,04,01,1,1,,02,1,1,80,03,1,1,80,04,1,1,80"}, "?", 100},
        {{"$GPGSV,1,1,04,01,1,1,20,02,1,1,20,03,1,1,20,04,1,1,20"}, "?", 0},
        {{"$GPGSV,1,1,01,01,1,1,99999999999999999999"}, "?", 100},
        {{"$GPGSV,1,1,01,01,1,1,-50"}, "?", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.lines));
        feed_group(c.lines);
        if (c.text != "?") {
            EXPECT_EQ(gsv(), c.text);
        }
        if (c.sqi >= 0) {
            EXPECT_EQ(sqi(), c.sqi);
        }
    }
}

// Nine lines of ten satellites with empty fields overflow the 1024-byte text: the previous
// text stays, the index is still stored (best four 50 30 30 30).
TEST_F(ReceiverTest, OverflowingGroupKeepsPreviousTextButStoresIndex) {
    feed_group({"$GPGSV,1,1,01,05,40,100,45"});
    const std::string previous = gsv();
    std::vector<std::string> lines;
    for (int n = 1; n <= 9; ++n) {
        lines.push_back("$GPGSV,9," + std::to_string(n) + ",90,01,,," + (n == 9 ? "50" : "30") +
                        ",02,,,30,03,,,30,04,,,30,05,,,,06,,,,07,,,,08,,,,09,,,,10,,,");
    }
    receiver_reset_for_test();
    for (const std::string& l : lines) feed(sentence(l));
    EXPECT_EQ(gsv(), previous);
    EXPECT_EQ(sqi(), 50);
}

}  // namespace
