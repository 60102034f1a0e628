// Raw receiver lines: liveness reset, satellites-in-view groups and the signal quality index,
// written to a private system database.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/core.h"
#include "platform/platform.h"
#include "platform/sysdb.h"
#include "receiver/receiver.h"
#include "tests/support/support.h"

namespace {

std::string checksum_suffix(const std::string& body) {
    unsigned sum = 0;
    for (size_t i = 1; i < body.size(); ++i) sum ^= static_cast<unsigned char>(body[i]);
    char buf[8];
    snprintf(buf, sizeof buf, "*%02X", sum);
    return buf;
}

// A received sentence, and a normalised line of the group text: body, checksum, CR LF.
std::string sentence(const std::string& body) {
    return body + checksum_suffix(body) + "\r\n";
}

class ReceiverTest : public ::testing::Test {
protected:
    void SetUp() override {
        sysdb_reset_thread_connection();
        receiver_reset_for_test();
        deadreckon_enabled = false;
        nmea_timeout_count = 0;
    }
    void TearDown() override {
        receiver_reset_for_test();
        sysdb_reset_thread_connection();
    }

    void feed(std::string block) { on_nmea_message(&block[0]); }

    // Each line as its own block, CR LF included.
    void feed_lines(const std::vector<std::string>& bodies) {
        for (const auto& b : bodies) feed(sentence(b));
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
    void clear_keys() {
        sysdb_namedb_del(nullptr, "GPS", "GPS_NMEA_GPGSV");
        sysdb_namedb_del(nullptr, "GPS", "GPS_SQI");
    }

    navtest::TempDir dir_;
    navtest::ScopedEnv env_{"SYSDB_PATH", dir_ / "sysdb.sqlite"};
};

const char* kGsv1of3 = "$GPGSV,3,1,11,03,03,111,00,04,15,270,00,06,01,010,00,13,06,292,00";
const char* kGsv2of3 = "$GPGSV,3,2,11,14,25,170,00,16,57,208,39,18,67,296,40,19,40,246,00";
const char* kGsv3of3 = "$GPGSV,3,3,11,22,42,067,42,24,14,311,43,27,05,244,00";

TEST_F(ReceiverTest, BlockIsSplitLoggedAndResetsTimeoutCount) {
    navtest::LogCapture log;
    nmea_timeout_count = 3;
    const std::string gsv_line = "$GPGSV,1,1,01,05,40,100,45";
    const std::string gga = "$GPGGA,123519,4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,";
    feed(sentence(gsv_line) + "\n\n" + sentence(gga));

    EXPECT_EQ(nmea_timeout_count.load(), 0);
    EXPECT_EQ(log.count("logger:"), 2);
    // The carriage return stays with its line.
    EXPECT_TRUE(log.contains("logger:" + gsv_line + checksum_suffix(gsv_line) + "\r"));
    EXPECT_TRUE(log.contains("logger:" + gga));
    EXPECT_EQ(gsv(), sentence(gsv_line + ",00,00,000,,00,00,000,,00,00,000,"));
    EXPECT_EQ(sqi(), 0);
}

TEST_F(ReceiverTest, OtherTalkersDoNotResetTimeoutCount) {
    nmea_timeout_count = 3;
    for (bool dr : {false, true}) {
        deadreckon_enabled = dr;
        feed(sentence("$GNGSA,A,3,05,,,,,,,,,,,,1.0,1.0,1.0") + sentence("$PSTMAGPSSTATUS,1"));
        EXPECT_EQ(nmea_timeout_count.load(), 3);
    }
}

TEST_F(ReceiverTest, GroupSequences) {
    struct Case {
        const char* name;
        std::vector<std::string> lines;
        bool stored;
    };
    const std::string one = "$GPGSV,1,1,01,05,40,100,45";
    const Case cases[] = {
        {"one line", {one}, true},
        {"1-2-3", {kGsv1of3, kGsv2of3, kGsv3of3}, true},
        {"1-3", {kGsv1of3, kGsv3of3}, false},
        {"2-3 without start", {kGsv2of3, kGsv3of3}, false},
        {"1-3 then 1-2-3", {kGsv1of3, kGsv3of3, kGsv1of3, kGsv2of3, kGsv3of3}, true},
        {"1-2-1-2-3 restarts", {kGsv1of3, kGsv2of3, kGsv1of3, kGsv2of3, kGsv3of3}, true},
        {"count changes mid-group",
         {kGsv1of3, "$GPGSV,4,2,11,14,25,170,00,16,57,208,39,18,67,296,40,19,40,246,00", kGsv3of3},
         false},
        // Too short to hold count and number (no checksum either): neither starts nor breaks
        // a group.
        {"short lines", {"!$GPGSV", "!$GPGSV,1,", "!$GPGSV,1,1", one}, true},
        {"short line ignored inside group", {kGsv1of3, "!$GPGSV,3,", kGsv2of3, kGsv3of3}, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        receiver_reset_for_test();
        clear_keys();
        for (const std::string& line : c.lines) {
            // '!' marks a line received bare, without checksum or line end.
            feed(line[0] == '!' ? line.substr(1) : sentence(line));
        }
        EXPECT_EQ(has("GPS_NMEA_GPGSV"), c.stored);
        EXPECT_EQ(has("GPS_SQI"), c.stored);
    }
}

TEST_F(ReceiverTest, ThreeLineGroupIsStoredOnceAfterTheLastLine) {
    feed_lines({kGsv1of3, kGsv2of3});
    EXPECT_FALSE(has("GPS_NMEA_GPGSV"));
    feed_lines({kGsv3of3});
    const std::string expected =
        sentence(kGsv1of3) + sentence(kGsv2of3) +
        sentence("$GPGSV,3,3,11,22,42,067,42,24,14,311,43,27,05,244,00,00,00,000,");
    EXPECT_EQ(gsv(), expected);
    // Best four: 43, 42, 40, 39 -> (41 - 20) * 100 / 30 = 70.
    EXPECT_EQ(sqi(), 70);

    // A stray continuation after completion neither stores nor breaks anything.
    clear_keys();
    feed_lines({kGsv2of3});
    EXPECT_FALSE(has("GPS_NMEA_GPGSV"));
}

TEST_F(ReceiverTest, Normalisation) {
    struct Case {
        const char* in;
        const char* out;
    };
    const Case cases[] = {
        {"$GPGSV,1,1,04,12,,,35,13,05,,,14,,200,20,15,10,020,",
         "$GPGSV,1,1,04,12,00,000,35,13,05,000,,14,00,200,20,15,10,020,"},
        {"$GPGSV,1,1,01,,,,", "$GPGSV,1,1,01,00,00,000,,00,00,000,,00,00,000,,00,00,000,"},
        // The field closed by the end of the sentence is never filled.
        {"$GPGSV,1,1,01,07,30,", "$GPGSV,1,1,01,07,30,,,00,00,000,,00,00,000,,00,00,000,"},
        // Empty header fields are not filled.
        {"$GPGSV,1,1,,07,30,100,40", "$GPGSV,1,1,,07,30,100,40,00,00,000,,00,00,000,,00,00,000,"},
        // More than four satellites are passed through as they are.
        {"$GPGSV,1,1,05,01,01,001,01,02,02,002,02,03,03,003,03,04,04,004,04,05,,,",
         "$GPGSV,1,1,05,01,01,001,01,02,02,002,02,03,03,003,03,04,04,004,04,05,00,000,"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.in);
        receiver_reset_for_test();
        feed_lines({c.in});
        EXPECT_EQ(gsv(), sentence(c.out));
    }

    // Without a checksum the carriage return is part of the last field.
    receiver_reset_for_test();
    feed("$GPGSV,1,1,01,05,40,100,45\r\n");
    EXPECT_EQ(gsv(), sentence("$GPGSV,1,1,01,05,40,100,45\r,00,00,000,,00,00,000,,00,00,000,"));
}

TEST_F(ReceiverTest, LongLinesAreLeftOut) {
    const std::string pad(128 - std::string(kGsv1of3).size() - 4, '0');  // 128 with "*hh\r"
    const std::string long_first =
        std::string(kGsv1of3).substr(0, 14) + pad + std::string(kGsv1of3).substr(14);
    feed_lines({long_first, kGsv2of3, kGsv3of3});
    EXPECT_EQ(gsv(),
              sentence(kGsv2of3) +
                  sentence("$GPGSV,3,3,11,22,42,067,42,24,14,311,43,27,05,244,00,00,00,000,"));

    // One character shorter is used.
    receiver_reset_for_test();
    const std::string just_fits =
        std::string(kGsv1of3).substr(0, 14) + pad.substr(1) + std::string(kGsv1of3).substr(14);
    feed_lines({just_fits, kGsv2of3, kGsv3of3});
    EXPECT_EQ(gsv().substr(0, just_fits.size()), just_fits);

    // A group none of whose lines is usable stores an empty text and an index of 0.
    receiver_reset_for_test();
    feed_lines({"$GPGSV,1,1,01,05,40,100,45" + std::string(120, ' ')});
    EXPECT_EQ(gsv(), "");
    EXPECT_EQ(sqi(), 0);
}

TEST_F(ReceiverTest, OverflowingGroupKeepsPreviousTextButStoresIndex) {
    feed_lines({"$GPGSV,1,1,01,05,40,100,45"});
    const std::string previous = gsv();

    // A nine-line group of ten satellites a line with empty fields: about 130 characters a
    // line once filled, more than the 1024-byte buffer holds.
    std::vector<std::string> lines;
    for (int n = 1; n <= 9; ++n) {
        lines.push_back("$GPGSV,9," + std::to_string(n) + ",90,01,,," + (n == 9 ? "50" : "30") +
                        ",02,,,30,03,,,30,04,,,30,05,,,,06,,,,07,,,,08,,,,09,,,,10,,,");
    }
    feed_lines(lines);
    EXPECT_EQ(gsv(), previous);
    // Best four: 50, 30, 30, 30 -> (35 - 20) * 100 / 30 = 50.
    EXPECT_EQ(sqi(), 50);
}

TEST_F(ReceiverTest, SignalQualityIndex) {
    struct Case {
        const char* name;
        std::vector<std::string> lines;
        int q;
    };
    const Case cases[] = {
        {"best four 45 44 40 39",
         {"$GPGSV,2,1,08,01,10,100,45,02,10,100,10,03,10,100,44,04,10,100,20",
          "$GPGSV,2,2,08,05,10,100,40,06,10,100,39,07,10,100,38,08,10,100,"},
         73},
        {"single satellite at 50", {"$GPGSV,1,1,01,01,10,100,50"}, 0},
        {"four at 50 or more", {"$GPGSV,1,1,04,01,1,1,50,02,1,1,60,03,1,1,99,04,1,1,50"}, 100},
        {"empty fields read as 0", {"$GPGSV,1,1,04,01,1,1,,02,1,1,,03,1,1,,04,1,1,"}, 0},
        {"empty field is one of the four",
         {"$GPGSV,1,1,04,01,1,1,,02,1,1,80,03,1,1,80,04,1,1,80"},
         100},
        {"exactly 20 average", {"$GPGSV,1,1,04,01,1,1,20,02,1,1,20,03,1,1,20,04,1,1,20"}, 0},
        {"huge value saturates", {"$GPGSV,1,1,01,01,1,1,99999999999999999999"}, 100},
        {"negative value is never among the best", {"$GPGSV,1,1,01,01,1,1,-50"}, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        receiver_reset_for_test();
        feed_lines(c.lines);
        EXPECT_EQ(sqi(), c.q);
    }
}

}  // namespace
