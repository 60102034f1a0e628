// NMEA sentences and TAIP reports built from a FixRecord and stored in a private database.
#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <string>

#include "platform/sysdb.h"
#include "sentences/sentences.h"
#include "tests/support/support.h"

namespace {

// The worked example, 09:30:15 on 1 January 1970 at 52.5 N 1.25 W, 10 m/s heading 45.7, twelve
// satellites in use of thirteen used in "sats", with the members of `overrides` replaced.
Json::Value record(const std::string& overrides = "{}") {
    Json::Value fix, o;
    Json::Reader().parse(
        R"({"headingNMEA": 45.7, "speedNMEA": 10.0, "altitude": 123.9, "hdop": 0.94,
        "calcHHMMSS": 93015, "calcDDMMYY": 10170, "lat_dd": 52.5, "lon_dd": -1.25, "nSatsInUse": 12,
        "pdop": 1.5, "vdop": 99.0, "gpsdMode": 3, "eastVelocity": 6, "northVelocity": 8})",
        fix);
    for (int prn = 1; prn <= 13; ++prn) fix["sats"][prn - 1]["PRN"] = prn;
    for (auto& sat : fix["sats"]) sat["used"] = true;
    EXPECT_TRUE(Json::Reader().parse(overrides, o)) << overrides;
    for (const auto& name : o.getMemberNames()) fix[name] = o[name];
    return fix;
}

// The text stored under "GPS_" + key, "" when there is none.
std::string stored(const std::string& key) {
    sysdb_value v;
    return sysdb_namedb_read_value(nullptr, "GPS", ("GPS_" + key).c_str(), &v) == 0 ? v.text : "";
}

class SentencesTest : public ::testing::Test {
protected:
    // One generation inside its own "GPS" batch, as the writer runs it.
    void generate(Json::Value fix, const char* imei = "123456789012345") {
        sysdb::Batch batch("GPS");
        gen_.generate_gps_nmea_msgs(batch, imei, fix);
        EXPECT_EQ(batch.end(), 0);
    }
    navtest::TempDir dir_;
    navtest::ScopedEnv env_{"SYSDB_PATH", dir_ / "sysdb.db"};
    SentenceGenerator gen_;
};

// Each record into a new database, through one generator, whose TAIP age remembers whether it
// ever built a report with a fix. A text that starts a sentence is the whole stored text (NMEA:
// without its checksum suffix), "" none, any other a part of it; spaces are only for reading.
TEST_F(SentencesTest, StoredTexts) {
    const std::string p = "5230.0000,N,00115.0000,W", rmc = "$GPRMC,093015.00,A," + p,
                      sc = ",019.4,045.0,010170,";  // speed, course, date
    const struct {
        const char *overrides, *key;
        std::string text;
        const char* imei = "123456789012345";
    } cases[] = {
        // status V: fix quality 0, the V3 sentence still ends in A; TAIP age 0 before a fix
        {R"({"statusCode": 1, "nSatsInUse": 3, "hdop": 12.25, "altitude": -12.7})", "NMEA_GPGGA",
         p + ",0,3,12.2,-00012,M,"},
        {R"({"statusCode": 1})", "NMEA_GPRMC_V3", "$GPRMC,093015.00,V," + p + sc + ",,A"},
        {R"({"statusCode": 1})", "TAIP_PV", "04510<"},
        // the worked example; of thirteen used satellites the first twelve
        {"{}", "NMEA_PGPS", "$PGPS,093015.00,A," + p + sc + "+00123,12,123456789012345"},
        {"{}", "NMEA_GPGGA", "$GPGGA,093015.00," + p + ",1,12,0.9,+00123,M,,M,,0000"},
        {"{}", "NMEA_GPRMC_V2", rmc + sc + ","},
        {"{}", "NMEA_GPRMC_V3", rmc + sc + ",,A"},
        {"{}", "NMEA_GPGSA", "$GPGSA,A,3,01,02,03,04,05,06,07,08,09,10,11,12,01.5,00.9,99.0"},
        {"{}", "NMEA_BTVEG", "$BTVEG,89012345,34215," + p + ",022,045,A,T,T"},
        {"{}", "NMEA_BTVEG", "BTVEG,00000123,", "123"},  // a short device identifier
        {"{}", "TAIP_PV", ">RPV34215 +5250000 -00125000 022 045 1 2<"},
        {"{}", "TAIP_LN",
         ">RLN34215000 +525000000 -0012500000 +00040649 0223 +0000 0457 12 0100 0200 0300 0400"
         " 0500 0600 0700 0800 0900 1000 1100 1200 0000000000 12<"},
        {R"({"statusCode": 1})", "TAIP_PV", "04511<"},  // age 1 after a fix
        // knots rounded to one decimal, course truncated, minutes truncated to four decimals
        // (0.2 degrees is 11.99999...); below 0 gives 0, the 16-bit fields saturate
        {R"({"statusCode": 2, "calcHHMMSS": 5, "lat_dd": -33.5, "lon_dd": 151.2, "speedNMEA": 5.12,
             "headingNMEA": 359.99})",
         "NMEA_GPRMC_V2", "RMC,000005.00,A,3330.0000,S,15111.9999,E,010.0,359.0,"},
        {R"({"lat_dd": 0.99999999, "lon_dd": 0, "speedNMEA": -10.0, "headingNMEA": -5.5})",
         "NMEA_GPRMC_V2", ",0059.9999,N,00000.0000,E,000.0,000.0,"},
        {R"({"speedNMEA": 1e30, "headingNMEA": 1e12, "altitude": 999999.9})", "NMEA_PGPS",
         ",65535.0,65535.0,010170,+999999,"},
        {R"({"speedNMEA": 0, "headingNMEA": 0, "altitude": 0})", "NMEA_PGPS",
         ",000.0,000.0,010170,+00000,"},
        {R"({"gpsdMode": 0})", "NMEA_GPGSA", "GSA,A,1,01,"},
        {R"({"gpsdMode": 2, "sats": [], "pdop": 99.0, "hdop": 1.0, "vdop": 0.25})", "NMEA_GPGSA",
         "$GPGSA,A,2,00,00,00,00,00,00,00,00,00,00,00,00,99.0,01.0,00.2"},
        {R"({"sats": [{"PRN": 5, "used": false}, {"PRN": 120, "used": true}, {"PRN": 7}]})",
         "NMEA_GPGSA", "GSA,A,3,120,00,"},
        // TAIP: source 9 and 0; signs and truncated fractions; 328.084 ft; vertical speed as a
        // magnitude; one entry per used satellite
        {R"({"gpsdMode": 0})", "TAIP_PV", "04592<"},
        {R"({"gpsdMode": 2})", "TAIP_PV", "04502<"},
        {R"({"lat_dd": -0.000001, "lon_dd": 179.123456789, "speedNMEA": -3})", "TAIP_PV",
         ">RPV34215 -0000000 +17912345 000 045 1 2<"},
        {R"({"altitude": 100.0, "sats": [], "nSatsInUse": 0})", "TAIP_LN",
         "+00032808 0223 +0000 0457 00 0000000000 12<"},
        {R"({"altitude": -10.0, "nSatsInUse": 2, "upVelocity": -1.0, "northVelocity": -8.0,
             "sats": [{"PRN": 7, "used": true}, {}, {"PRN": 120, "used": true}]})",
         "TAIP_LN", "-00003280 0223 +0022 0457 02 0700 0x7800 0000000000 12<"},
        // a text that cannot be built is not stored; a member of the wrong type ends the
        // generation where it is read
        {R"({"altitude": 1e6})", "NMEA_PGPS", ""},
        {R"({"lat_dd": "52.5"})", "NMEA_PGPS", ""},
        {R"({"sats": [{"PRN": "x", "used": true}]})", "NMEA_GPGSA", ""},
        {R"({"eastVelocity": [1]})", "TAIP_PV", "RPV"},
        {R"({"eastVelocity": [1]})", "TAIP_LN", ""},
    };
    navtest::LogCapture log;
    for (const auto& tc : cases) {
        navtest::ScopedEnv env("SYSDB_PATH", dir_ / std::to_string(&tc - cases));
        generate(record(tc.overrides), tc.imei);
        std::string text = tc.text;
        text.erase(std::remove(text.begin(), text.end(), ' '), text.end());
        const std::string got = stored(tc.key);
        const std::string want = text[0] == '$' ? navtest::nmea_sentence(text) : text;
        const bool whole = text.empty() || text[0] == '$' || text[0] == '>';
        EXPECT_EQ(whole || got.find(want) == std::string::npos ? got : want, want)
            << tc.overrides << " " << tc.key;
    }
    EXPECT_EQ(log.count("Error obtaining common GPS parameters to generate NMEA messages"), 1);
    EXPECT_EQ(log.count("generate_gps_nmea_msgs Json::LogicError: "), 4);
    // NaN reads as 0 wherever it lands; a report too long for the buffer is not stored
    Json::Value fix = record(R"({"nSatsInUse": 200})");
    for (int i = 13; i < 200; ++i) fix["sats"][i] = fix["sats"][0];
    for (const char* m : {"speedNMEA", "headingNMEA", "altitude", "lat_dd", "lon_dd"})
        fix[m] = std::numeric_limits<double>::quiet_NaN();
    generate(fix);
    EXPECT_EQ(stored("TAIP_LN"), "");
    EXPECT_NE(stored("NMEA_PGPS").find(",0000.0000,N,00000.0000,E,000.0,000.0,010170,+00000,200,"),
              std::string::npos);
}

}  // namespace
