// NMEA sentences and TAIP reports built from a FixRecord and stored in a private system
// database.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "platform/sysdb.h"
#include "sentences/sentences.h"
#include "tests/support/support.h"

namespace {

const char* const kKeys[] = {"GPS_NMEA_PGPS",     "GPS_NMEA_GPGGA", "GPS_NMEA_GPRMC_V2",
                             "GPS_NMEA_GPRMC_V3", "GPS_NMEA_GPGSA", "GPS_TAIP_PV",
                             "GPS_TAIP_LN",       "GPS_NMEA_BTVEG"};  // in generation order
const char* const kPos = "5230.0000,N,00115.0000,W";

using navtest::nmea_sentence;

// The worked example, 09:30:15 on 1 January 1970 at 52.5 N 1.25 W, 10 m/s heading 45.7, twelve
// satellites in use of thirteen used in "sats", with the members of `overrides` replaced.
Json::Value record(const std::string& overrides = "{}") {
    Json::Value fix, o;
    Json::Reader().parse(R"({
        "statusCode": 0, "headingNMEA": 45.7, "speedNMEA": 10.0, "altitude": 123.9,
        "calcHHMMSS": 93015, "calcDDMMYY": 10170, "lat_dd": 52.5, "lon_dd": -1.25,
        "nSatsInUse": 12, "hdop": 0.94, "pdop": 1.5, "vdop": 99.0, "gpsdMode": 3,
        "eastVelocity": 7.07106781186549, "northVelocity": 7.07106781186546, "upVelocity": 0.0})",
                         fix);
    for (int prn = 1; prn <= 13; ++prn) {
        fix["sats"][prn - 1]["PRN"] = prn;
        fix["sats"][prn - 1]["used"] = true;
    }
    EXPECT_TRUE(Json::Reader().parse(overrides, o)) << overrides;
    for (const auto& name : o.getMemberNames()) fix[name] = o[name];
    return fix;
}

class SentencesTest : public ::testing::Test {
protected:
    void SetUp() override {
        sysdb_reset_thread_connection();
        taip_fix_seen = 0;
    }
    void TearDown() override { sysdb_reset_thread_connection(); }

    // One generation inside its own "GPS" transaction, as the writer runs it.
    static void generate(Json::Value fix, const char* imei = "123456789012345") {
        sysdb_context ctx;
        ASSERT_EQ(sysdb_init(&ctx, 0), 0);
        ASSERT_EQ(sysdb_txn_start(&ctx, "GPS", 0), 0);
        generate_gps_nmea_msgs(&ctx, imei, fix);
        EXPECT_EQ(sysdb_txn_end(&ctx), 0);
        sysdb_exit(&ctx);
    }
    // The stored text, "" when the key does not exist.
    static std::string stored(const std::string& key) {
        sysdb_value v;
        return sysdb_namedb_read_value(nullptr, "GPS", key.c_str(), &v) == 0 ? v.text : "";
    }

    navtest::TempDir dir_;
    navtest::ScopedEnv env_{"SYSDB_PATH", dir_ / "sysdb.db"};
};

TEST(CommonFields, FormatsEachField) {
    enum { kStatus, kSpeedCourse, kAltitude, kPosition, kTime, kDate };
    const struct {
        const char* overrides;  // of the worked example, whose own fields the sentences show
        int field;
        const char* expected;  // nullptr: the computation fails
    } cases[] = {
        {R"({"statusCode": 1})", kStatus, "V"},
        {R"({"statusCode": 2})", kStatus, "A"},
        {R"({"speedNMEA": 0, "headingNMEA": 0})", kSpeedCourse, "000.0,000.0"},
        // knots are rounded to one decimal, the course is truncated
        {R"({"speedNMEA": 5.12, "headingNMEA": 359.99})", kSpeedCourse, "010.0,359.0"},
        // negative speed and course give 0, the 16-bit fields saturate
        {R"({"speedNMEA": -10.0, "headingNMEA": -5.5})", kSpeedCourse, "000.0,000.0"},
        {R"({"speedNMEA": 1e30, "headingNMEA": 1e12})", kSpeedCourse, "65535.0,65535.0"},
        {R"({"altitude": -12.7})", kAltitude, "-00012"},
        {R"({"altitude": 0})", kAltitude, "+00000"},
        {R"({"altitude": 999999.9})", kAltitude, "+999999"},
        {R"({"altitude": 1000000.0})", kAltitude, nullptr},  // does not fit its buffer
        {R"({"altitude": -1e300})", kAltitude, nullptr},
        // minutes are truncated to four decimals, never rounded (0.2 degrees is 11.99999...)
        {R"({"lat_dd": -33.5, "lon_dd": 151.2})", kPosition, "3330.0000,S,15111.9999,E"},
        {R"({"lat_dd": 0.99999999, "lon_dd": 0})", kPosition, "0059.9999,N,00000.0000,E"},
        {R"({"lat_dd": 1e300})", kPosition, nullptr},
        {R"({"calcHHMMSS": 5})", kTime, "000005.00"},
        {R"({"calcDDMMYY": 311299})", kDate, "311299"},
        {R"({"calcDDMMYY": 10000000})", kDate, nullptr},
    };
    const auto fields = [](const NmeaCommonFields& c) {
        return std::vector<std::string>{
            std::string(1, c.status), c.speed_course, c.altitude, c.position, c.time, c.date};
    };
    for (const auto& tc : cases) {
        Json::Value fix = record(tc.overrides);
        NmeaCommonFields c;
        ASSERT_EQ(get_nmea_common_fields(fix, &c), tc.expected ? 0 : -1) << tc.overrides;
        if (!tc.expected) continue;
        EXPECT_EQ(fields(c)[tc.field], tc.expected) << tc.overrides;
    }
    // NaN reads as 0 wherever it lands.
    Json::Value fix = record();
    for (const char* m : {"speedNMEA", "headingNMEA", "altitude", "lat_dd", "lon_dd"})
        fix[m] = std::numeric_limits<double>::quiet_NaN();
    NmeaCommonFields c;
    ASSERT_EQ(get_nmea_common_fields(fix, &c), 0);
    EXPECT_EQ(fields(c),
              (std::vector<std::string>{"A", "000.0,000.0", "+00000", "0000.0000,N,00000.0000,E",
                                        "093015.00", "010170"}));
}

TEST_F(SentencesTest, StoredTexts) {
    const std::string p = kPos, ln = ">RLN34215000+525000000-0012500000";  // LN: time, position
    const struct {
        const char* overrides;
        const char* key;
        std::string expected;  // spaces only for reading; NMEA: without the checksum suffix
    } cases[] = {
        // the worked example under every key; of thirteen used satellites the first twelve
        {"{}", "GPS_NMEA_PGPS",
         "$PGPS,093015.00,A," + p + ",019.4,045.0,010170,+00123,12,123456789012345"},
        {"{}", "GPS_NMEA_GPGGA", "$GPGGA,093015.00," + p + ",1,12,0.9,+00123,M,,M,,0000"},
        {"{}", "GPS_NMEA_GPRMC_V2", "$GPRMC,093015.00,A," + p + ",019.4,045.0,010170,,"},
        {"{}", "GPS_NMEA_GPRMC_V3", "$GPRMC,093015.00,A," + p + ",019.4,045.0,010170,,,A"},
        {"{}", "GPS_NMEA_GPGSA", "$GPGSA,A,3,01,02,03,04,05,06,07,08,09,10,11,12,01.5,00.9,99.0"},
        {"{}", "GPS_NMEA_BTVEG", "$BTVEG,89012345,34215," + p + ",022,045,A,T,T"},
        {"{}", "GPS_TAIP_PV", ">RPV34215+5250000-0012500002204512<"},
        {"{}", "GPS_TAIP_LN",
         ln + "+00040649 0223 +0000 0457 12 0100 0200 0300 0400 0500 0600 0700 0800 0900" +
             " 1000 1100 1200 0000000000 12<"},
        // status V: fix quality 0; the V3 sentence still ends in A
        {R"({"statusCode": 1})", "GPS_NMEA_GPGGA",
         "$GPGGA,093015.00," + p + ",0,12,0.9,+00123,M,,M,,0000"},
        {R"({"statusCode": 1})", "GPS_NMEA_GPRMC_V3",
         "$GPRMC,093015.00,V," + p + ",019.4,045.0,010170,,,A"},
        {R"({"nSatsInUse": 3, "hdop": 12.25, "altitude": -12.7})", "GPS_NMEA_GPGGA",
         "$GPGGA,093015.00," + p + ",1,3,12.2,-00012,M,,M,,0000"},
        {R"({"gpsdMode": 0})", "GPS_NMEA_GPGSA",
         "$GPGSA,A,1,01,02,03,04,05,06,07,08,09,10,11,12,01.5,00.9,99.0"},
        {R"({"gpsdMode": 2, "sats": [], "pdop": 99.0, "hdop": 1.0, "vdop": 0.25})",
         "GPS_NMEA_GPGSA", "$GPGSA,A,2,00,00,00,00,00,00,00,00,00,00,00,00,99.0,01.0,00.2"},
        {R"({"sats": [{"PRN": 5, "used": false}, {"PRN": 120, "used": true}, {"PRN": 7}]})",
         "GPS_NMEA_GPGSA", "$GPGSA,A,3,120,00,00,00,00,00,00,00,00,00,00,00,01.5,00.9,99.0"},
        {R"({"calcHHMMSS": 235959, "speedNMEA": 0.0, "headingNMEA": 359.9})", "GPS_NMEA_BTVEG",
         "$BTVEG,89012345,86399," + p + ",000,359,A,T,T"},
        // TAIP: source 9 and 0; signs and truncated fractions; speed below 0 gives 0
        {R"({"gpsdMode": 0})", "GPS_TAIP_PV", ">RPV34215+5250000-0012500002204592<"},
        {R"({"gpsdMode": 2})", "GPS_TAIP_PV", ">RPV34215+5250000-0012500002204502<"},
        {R"({"lat_dd": -0.000001, "lon_dd": 179.123456789, "speedNMEA": -3})", "GPS_TAIP_PV",
         ">RPV34215-0000000+1791234500004512<"},
        // 328.084 ft; no satellites listed
        {R"({"altitude": 100.0, "sats": [], "nSatsInUse": 0})", "GPS_TAIP_LN",
         ln + "+00032808 0223 +0000 0457 00 0000000000 12<"},
        // PRN 7 and 120; vertical speed as a magnitude
        {R"({"altitude": -10.0, "sats": [{"PRN": 7, "used": true}, {"PRN": 120, "used": true}],
             "nSatsInUse": 2, "upVelocity": -1.0, "eastVelocity": 0.0, "northVelocity": -4.0})",
         "GPS_TAIP_LN", ln + "-00003280 0089 +0022 0457 02 0700 0x7800 0000000000 12<"},
        // four used satellites, two in use: two entries
        {R"({"nSatsInUse": 2, "sats": [{"PRN": 1, "used": true}, {"PRN": 2, "used": false},
             {"PRN": 3, "used": true}, {"PRN": 4, "used": true}, {"PRN": 5, "used": true}]})",
         "GPS_TAIP_LN", ln + "+00040649 0223 +0000 0457 02 0100 0300 0000000000 12<"},
    };
    for (const auto& tc : cases) {
        generate(record(tc.overrides));
        std::string want = tc.expected;
        want.erase(std::remove(want.begin(), want.end(), ' '), want.end());
        const bool taip = want[0] == '>';  // no checksum, no line end
        EXPECT_EQ(stored(tc.key), taip ? want : nmea_sentence(want))
            << tc.overrides << " " << tc.key;
    }
    const char* const ids[][2] = {{"123456789012345", "89012345"},
                                  {"123", "00000123"},
                                  {"000000000000000", "00000000"},
                                  {"12345678", "12345678"},
                                  {"", "00000000"}};  // device identifier, unit identifier
    for (const auto& id : ids) {
        generate(record(), id[0]);
        EXPECT_EQ(stored("GPS_NMEA_BTVEG").substr(0, 16), "$BTVEG," + std::string(id[1]) + ",");
        EXPECT_NE(stored("GPS_NMEA_PGPS").find("," + std::string(id[0]) + "*"), std::string::npos);
    }
}

TEST_F(SentencesTest, TaipAgeRemembersTheFirstFixForTheProcess) {
    const std::pair<int, char> passes[] = {{1, '0'}, {1, '0'}, {0, '2'},
                                           {1, '1'}, {0, '2'}, {1, '1'}};
    for (const auto& p : passes) {  // statusCode, age
        generate(record("{\"statusCode\": " + std::to_string(p.first) + "}"));
        for (const char* key : {"GPS_TAIP_PV", "GPS_TAIP_LN"})
            EXPECT_EQ(stored(key).substr(stored(key).size() - 2), std::string(1, p.second) + "<");
    }
}

// A text that cannot be built leaves what an earlier record stored.
TEST_F(SentencesTest, FailureEndsTheGenerationWhereItHappens) {
    generate(record());
    const std::string ln = stored("GPS_TAIP_LN");
    Json::Value many = record(R"({"nSatsInUse": 200, "speedNMEA": 20.0})");
    for (int i = 0; i < 200; ++i) many["sats"][i]["PRN"] = 100 + i;
    for (auto& sat : many["sats"]) sat["used"] = true;
    generate(many);  // a long report with 200 entries does not fit the buffer
    EXPECT_EQ(stored("GPS_TAIP_LN"), ln);
    EXPECT_EQ(stored("GPS_TAIP_PV"), ">RPV34215+5250000-0012500004404512<");

    const char* const kAlert = "generate_gps_nmea_msgs Json::LogicError: ";
    const struct {
        const char* overrides;
        const char* log;
        int stored;  // keys of kKeys stored before the failure
    } cases[] = {
        {R"({"altitude": 1000000.0})",
         "Error obtaining common GPS parameters to generate NMEA messages", 0},
        {R"({"lat_dd": "52.5"})", kAlert, 0},
        {R"({"hdop": "0.9"})", kAlert, 1},
        {R"({"sats": [{"PRN": "x", "used": true}]})", kAlert, 4},
        {R"({"eastVelocity": [1]})", kAlert, 6},
    };
    for (const auto& tc : cases) {
        navtest::TempDir fresh;
        navtest::ScopedEnv env("SYSDB_PATH", fresh / "sysdb.db");
        sysdb_reset_thread_connection();
        navtest::LogCapture log;
        generate(record(tc.overrides));
        EXPECT_TRUE(log.contains(tc.log)) << tc.overrides;
        for (int i = 0; i < 8; ++i)
            EXPECT_EQ(stored(kKeys[i]).empty(), i >= tc.stored) << tc.overrides << " " << kKeys[i];
        sysdb_reset_thread_connection();
    }
}

}  // namespace
