// NMEA sentences and TAIP reports built from a FixRecord and stored in a private system
// database.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/sysdb.h"
#include "sentences/sentences.h"
#include "tests/support/support.h"

namespace {

const char* const kNmeaKeys[] = {"GPS_NMEA_PGPS",     "GPS_NMEA_GPGGA", "GPS_NMEA_GPRMC_V2",
                                 "GPS_NMEA_GPRMC_V3", "GPS_NMEA_GPGSA", "GPS_NMEA_BTVEG"};
const char* const kAllKeys[] = {"GPS_NMEA_PGPS",     "GPS_NMEA_GPGGA", "GPS_NMEA_GPRMC_V2",
                                "GPS_NMEA_GPRMC_V3", "GPS_NMEA_GPGSA", "GPS_TAIP_PV",
                                "GPS_TAIP_LN",       "GPS_NMEA_BTVEG"};

// Body followed by "*XX\r\n", the checksum worked out here independently.
std::string nmea(const std::string& body) {
    unsigned sum = 0;
    for (size_t i = 1; i < body.size(); ++i) sum ^= static_cast<unsigned char>(body[i]);
    char suffix[8];
    snprintf(suffix, sizeof suffix, "*%02X\r\n", sum);
    return body + suffix;
}

Json::Value parse(const std::string& text) {
    Json::Value v;
    Json::Reader reader;
    EXPECT_TRUE(reader.parse(text, v)) << text;
    return v;
}

// The worked example: 09:30:15 on 1 January 1970, 52.5 N 1.25 W, 10 m/s heading 45.7,
// twelve satellites in use out of thirteen used in "sats".
Json::Value example_record() {
    Json::Value fix = parse(R"({
        "statusCode": 0, "headingNMEA": 45.7, "speedNMEA": 10.0, "altitude": 123.9,
        "calcHHMMSS": 93015, "calcDDMMYY": 10170, "lat_dd": 52.5, "lon_dd": -1.25,
        "nSatsInUse": 12, "hdop": 0.94, "pdop": 1.5, "vdop": 99.0, "gpsdMode": 3,
        "eastVelocity": 7.07106781186549, "northVelocity": 7.07106781186546, "upVelocity": 0.0})");
    fix["sats"] = Json::arrayValue;
    for (int prn = 1; prn <= 13; ++prn) {
        Json::Value sat;
        sat["PRN"] = prn;
        sat["used"] = true;
        fix["sats"].append(sat);
    }
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
    void generate(Json::Value& fix, const char* imei = "123456789012345") {
        sysdb_context ctx;
        ASSERT_EQ(sysdb_init(&ctx, 0), 0);
        ASSERT_EQ(sysdb_txn_start(&ctx, "GPS", 0), 0);
        generate_gps_nmea_msgs(&ctx, imei, fix);
        EXPECT_EQ(sysdb_txn_end(&ctx), 0);
        sysdb_exit(&ctx);
    }
    Json::Value generate_with(const std::string& overrides, const char* imei = "123456789012345") {
        Json::Value fix = example_record();
        const Json::Value o = parse(overrides);
        for (const auto& name : o.getMemberNames()) fix[name] = o[name];
        generate(fix, imei);
        return fix;
    }

    // The stored text, "" when the key does not exist.
    static std::string stored(const char* key) {
        sysdb_value v;
        if (sysdb_namedb_read_value(nullptr, "GPS", key, &v) != 0) return "";
        EXPECT_EQ(v.type, SYSDB_TEXT) << key;
        return v.text;
    }

    navtest::TempDir dir_;
    navtest::ScopedEnv env_{"SYSDB_PATH", dir_ / "sysdb.db"};
};

// ---- Common fields -------------------------------------------------------------------------

struct CommonCase {
    const char* overrides;
    const char* field;     // status, time, date, speed_course, altitude, position
    const char* expected;  // nullptr: the computation fails
};

std::string field_of(const NmeaCommonFields& c, const std::string& field) {
    if (field == "status") return std::string(1, c.status);
    if (field == "time") return c.time;
    if (field == "date") return c.date;
    if (field == "speed_course") return c.speed_course;
    if (field == "altitude") return c.altitude;
    return c.position;
}

TEST(CommonFields, FormatsEachField) {
    const CommonCase cases[] = {
        {R"({"statusCode": 0})", "status", "A"},
        {R"({"statusCode": 1})", "status", "V"},
        {R"({"statusCode": 2})", "status", "A"},
        {R"({"speedNMEA": 10.0, "headingNMEA": 45.7})", "speed_course", "019.4,045.0"},
        {R"({"speedNMEA": 0, "headingNMEA": 0})", "speed_course", "000.0,000.0"},
        // knots are rounded to one decimal, the course is truncated
        {R"({"speedNMEA": 5.12, "headingNMEA": 359.99})", "speed_course", "010.0,359.0"},
        {R"({"altitude": -12.7})", "altitude", "-00012"},
        {R"({"altitude": 123.9})", "altitude", "+00123"},
        {R"({"altitude": 0})", "altitude", "+00000"},
        {R"({"altitude": 999999.9})", "altitude", "+999999"},
        {R"({"lat_dd": 52.5, "lon_dd": -1.25})", "position", "5230.0000,N,00115.0000,W"},
        // 0.2 degrees is 11.99999... minutes in binary, truncated
        {R"({"lat_dd": -33.5, "lon_dd": 151.2})", "position", "3330.0000,S,15111.9999,E"},
        // minutes are truncated to four decimals, never rounded
        {R"({"lat_dd": 0.99999999, "lon_dd": 0})", "position", "0059.9999,N,00000.0000,E"},
        {R"({"calcHHMMSS": 93015})", "time", "093015.00"},
        {R"({"calcDDMMYY": 10170})", "date", "010170"},
        {R"({"calcDDMMYY": 311299})", "date", "311299"},
        // Values no receiver should give still convert defined: negatives and NaN to 0, the
        // 16-bit fields saturate.
        {R"({"speedNMEA": -10.0, "headingNMEA": -5.5})", "speed_course", "000.0,000.0"},
        {R"({"speedNMEA": 1e30, "headingNMEA": 1e12})", "speed_course", "65535.0,65535.0"},
        // texts that do not fit their buffers fail the whole computation
        {R"({"altitude": 1000000.0})", "altitude", nullptr},
        {R"({"altitude": -1e300})", "altitude", nullptr},
        {R"({"calcDDMMYY": 10000000})", "date", nullptr},
        {R"({"lat_dd": 1e300})", "position", nullptr},
    };
    for (const auto& tc : cases) {
        Json::Value fix = example_record();
        const Json::Value o = parse(tc.overrides);
        for (const auto& name : o.getMemberNames()) fix[name] = o[name];
        NmeaCommonFields c;
        const int rc = get_nmea_common_fields(fix, &c);
        EXPECT_EQ(rc, tc.expected ? 0 : -1) << tc.overrides;
        if (rc == 0 && tc.expected) {
            EXPECT_EQ(field_of(c, tc.field), tc.expected) << tc.overrides;
        }
    }
}

// ---- Stored sentences ----------------------------------------------------------------------

TEST_F(SentencesTest, WorkedExampleIsStoredUnderEveryKey) {
    Json::Value fix = example_record();
    generate(fix);
    const std::string pos = "5230.0000,N,00115.0000,W";
    EXPECT_EQ(stored("GPS_NMEA_PGPS"),
              nmea("$PGPS,093015.00,A," + pos + ",019.4,045.0,010170,+00123,12,123456789012345"));
    EXPECT_EQ(stored("GPS_NMEA_GPGGA"),
              nmea("$GPGGA,093015.00," + pos + ",1,12,0.9,+00123,M,,M,,0000"));
    EXPECT_EQ(stored("GPS_NMEA_GPRMC_V2"),
              nmea("$GPRMC,093015.00,A," + pos + ",019.4,045.0,010170,,"));
    EXPECT_EQ(stored("GPS_NMEA_GPRMC_V3"),
              nmea("$GPRMC,093015.00,A," + pos + ",019.4,045.0,010170,,,A"));
    EXPECT_EQ(stored("GPS_NMEA_GPGSA"),
              nmea("$GPGSA,A,3,01,02,03,04,05,06,07,08,09,10,11,12,01.5,00.9,99.0"));
    EXPECT_EQ(stored("GPS_NMEA_BTVEG"), nmea("$BTVEG,89012345,34215," + pos + ",022,045,A,T,T"));
    EXPECT_EQ(stored("GPS_TAIP_PV"), ">RPV34215+5250000-0012500002204512<");
    std::string entries;
    for (const char* prn : {"01", "02", "03", "04", "05", "06", "07", "08", "09", "10", "11", "12"})
        entries += std::string(prn) + "00";
    EXPECT_EQ(stored("GPS_TAIP_LN"), std::string(">RLN34215000+525000000-0012500000") +
                                         "+00040649" + "0223" + "+0000" + "0457" + "12" + entries +
                                         "0000000000" + "12<");
}

struct SentenceCase {
    const char* overrides;
    const char* key;
    const char* expected_body;  // NMEA: without the checksum suffix
};

TEST_F(SentencesTest, FieldsFollowTheRecord) {
    const SentenceCase cases[] = {
        // status V: fix quality 0; the V3 sentence still ends in A
        {R"({"statusCode": 1})", "GPS_NMEA_GPGGA",
         "$GPGGA,093015.00,5230.0000,N,00115.0000,W,0,12,0.9,+00123,M,,M,,0000"},
        {R"({"statusCode": 1})", "GPS_NMEA_GPRMC_V3",
         "$GPRMC,093015.00,V,5230.0000,N,00115.0000,W,019.4,045.0,010170,,,A"},
        {R"({"nSatsInUse": 3, "hdop": 12.25, "altitude": -12.7})", "GPS_NMEA_GPGGA",
         "$GPGGA,093015.00,5230.0000,N,00115.0000,W,1,3,12.2,-00012,M,,M,,0000"},
        {R"({"gpsdMode": 0})", "GPS_NMEA_GPGSA",
         "$GPGSA,A,1,01,02,03,04,05,06,07,08,09,10,11,12,01.5,00.9,99.0"},
        {R"({"gpsdMode": 1})", "GPS_NMEA_GPGSA",
         "$GPGSA,A,1,01,02,03,04,05,06,07,08,09,10,11,12,01.5,00.9,99.0"},
        {R"({"gpsdMode": 2, "sats": [], "pdop": 99.0, "hdop": 1.0, "vdop": 0.25})",
         "GPS_NMEA_GPGSA", "$GPGSA,A,2,00,00,00,00,00,00,00,00,00,00,00,00,99.0,01.0,00.2"},
        {R"({"sats": [{"PRN": 5, "used": false}, {"PRN": 120, "used": true}, {"PRN": 7}]})",
         "GPS_NMEA_GPGSA", "$GPGSA,A,3,120,00,00,00,00,00,00,00,00,00,00,00,01.5,00.9,99.0"},
        {R"({"calcHHMMSS": 235959, "speedNMEA": 0.0, "headingNMEA": 359.9})", "GPS_NMEA_BTVEG",
         "$BTVEG,89012345,86399,5230.0000,N,00115.0000,W,000,359,A,T,T"},
        {R"({"nSatsInUse": 0, "altitude": 0.0})", "GPS_NMEA_PGPS",
         "$PGPS,093015.00,A,5230.0000,N,00115.0000,W,019.4,045.0,010170,+00000,0,"
         "123456789012345"},
    };
    for (const auto& tc : cases) {
        generate_with(tc.overrides);
        EXPECT_EQ(stored(tc.key), nmea(tc.expected_body)) << tc.overrides;
    }
}

TEST_F(SentencesTest, UnitIdentifierIsEightCharactersOfTheDeviceIdentifier) {
    const struct {
        const char* imei;
        const char* unit;
    } cases[] = {
        {"123456789012345", "89012345"}, {"123", "00000123"}, {"000000000000000", "00000000"},
        {"12345678", "12345678"},        {"", "00000000"},
    };
    for (const auto& tc : cases) {
        generate_with("{}", tc.imei);
        const std::string btveg = stored("GPS_NMEA_BTVEG");
        EXPECT_EQ(btveg.substr(0, 16), std::string("$BTVEG,") + tc.unit + ",") << tc.imei;
        EXPECT_NE(stored("GPS_NMEA_PGPS").find(std::string(",") + tc.imei + "*"), std::string::npos)
            << tc.imei;
    }
}

// ---- TAIP ----------------------------------------------------------------------------------

TEST_F(SentencesTest, TaipAgeRemembersTheFirstFixForTheProcess) {
    const struct {
        int status_code;
        char age;
    } passes[] = {{1, '0'}, {1, '0'}, {0, '2'}, {1, '1'}, {0, '2'}, {1, '1'}};
    for (const auto& p : passes) {
        generate_with("{\"statusCode\": " + std::to_string(p.status_code) + "}");
        const std::string pv = stored("GPS_TAIP_PV");
        const std::string ln = stored("GPS_TAIP_LN");
        ASSERT_GE(pv.size(), 2u);
        ASSERT_GE(ln.size(), 2u);
        EXPECT_EQ(pv[pv.size() - 2], p.age);
        EXPECT_EQ(ln[ln.size() - 2], p.age);
    }
}

TEST_F(SentencesTest, TaipFields) {
    const struct {
        const char* overrides;
        const char* key;
        const char* expected;
    } cases[] = {
        {R"({"gpsdMode": 0})", "GPS_TAIP_PV", ">RPV34215+5250000-0012500002204592<"},
        {R"({"gpsdMode": 1})", "GPS_TAIP_PV", ">RPV34215+5250000-0012500002204592<"},
        {R"({"gpsdMode": 2})", "GPS_TAIP_PV", ">RPV34215+5250000-0012500002204502<"},
        {R"({"lat_dd": -0.000001, "lon_dd": 179.123456789, "speedNMEA": -3})", "GPS_TAIP_PV",
         ">RPV34215-0000000+17912345000045"
         "12<"},
        {R"({"altitude": 100.0, "sats": [], "nSatsInUse": 0})", "GPS_TAIP_LN",
         ">RLN34215000+525000000-0012500000"
         "+00032808"
         "0223"
         "+0000"
         "0457"
         "00"
         "0000000000"
         "12<"},
        {R"({"altitude": -10.0, "sats": [{"PRN": 7, "used": true}, {"PRN": 120, "used": true}],
             "nSatsInUse": 2, "upVelocity": -1.0, "eastVelocity": 0.0, "northVelocity": -4.0})",
         "GPS_TAIP_LN",
         ">RLN34215000+525000000-0012500000"
         "-00003280"
         "0089"
         "+0022"
         "0457"
         "02"
         "0700"
         "0x7800"
         "0000000000"
         "12<"},
        // four used satellites, two in use: two entries
        {R"({"nSatsInUse": 2, "sats": [{"PRN": 1, "used": true}, {"PRN": 2, "used": false},
             {"PRN": 3, "used": true}, {"PRN": 4, "used": true}, {"PRN": 5, "used": true}]})",
         "GPS_TAIP_LN",
         ">RLN34215000+525000000-0012500000"
         "+00040649"
         "0223"
         "+0000"
         "0457"
         "02"
         "0100"
         "0300"
         "0000000000"
         "12<"},
        // "nSatsInUse" 0 still lists the first used satellite
        {R"({"nSatsInUse": 0, "sats": [{"PRN": 9, "used": true}, {"PRN": 10, "used": true}]})",
         "GPS_TAIP_LN",
         ">RLN34215000+525000000-0012500000"
         "+00040649"
         "0223"
         "+0000"
         "0457"
         "00"
         "0900"
         "0000000000"
         "12<"},
    };
    for (const auto& tc : cases) {
        generate_with(tc.overrides);
        EXPECT_EQ(stored(tc.key), tc.expected) << tc.overrides;
    }
}

TEST_F(SentencesTest, LongReportThatDoesNotFitKeepsThePreviousOne) {
    generate_with("{}");
    const std::string before = stored("GPS_TAIP_LN");
    Json::Value fix = example_record();
    fix["sats"] = Json::arrayValue;
    for (int i = 0; i < 200; ++i) {
        Json::Value sat;
        sat["PRN"] = 100 + i;
        sat["used"] = true;
        fix["sats"].append(sat);
    }
    fix["nSatsInUse"] = 200;
    fix["speedNMEA"] = 20.0;
    generate(fix);
    EXPECT_EQ(stored("GPS_TAIP_LN"), before);
    EXPECT_EQ(stored("GPS_TAIP_PV"), ">RPV34215+5250000-0012500004404512<");
}

// ---- Failures ------------------------------------------------------------------------------

TEST_F(SentencesTest, CommonFieldFailureStoresNothing) {
    generate_with("{}");
    std::vector<std::string> before;
    for (const char* key : kAllKeys) before.push_back(stored(key));

    navtest::LogCapture log;
    generate_with(R"({"altitude": 1000000.0, "calcHHMMSS": 101010})");
    EXPECT_TRUE(log.contains("Error obtaining common GPS parameters to generate NMEA messages"));
    for (size_t i = 0; i < before.size(); ++i) EXPECT_EQ(stored(kAllKeys[i]), before[i]);
}

TEST_F(SentencesTest, WrongTypeEndsTheGenerationWhereItHappens) {
    const struct {
        const char* overrides;
        const char* alert;
        int stored_before_failure;  // keys of kAllKeys, in generation order
    } cases[] = {
        {R"({"lat_dd": "52.5"})", "generate_gps_nmea_msgs Json::LogicError: ", 0},
        {R"({"hdop": "0.9"})", "generate_gps_nmea_msgs Json::LogicError: ", 1},
        {R"({"sats": [{"PRN": "x", "used": true}]})",
         "generate_gps_nmea_msgs Json::LogicError: ", 4},
        {R"({"eastVelocity": [1]})", "generate_gps_nmea_msgs Json::LogicError: ", 6},
    };
    for (const auto& tc : cases) {
        navtest::TempDir fresh;  // nothing stored yet
        navtest::ScopedEnv env("SYSDB_PATH", fresh / "sysdb.db");
        sysdb_reset_thread_connection();
        navtest::LogCapture log;
        generate_with(tc.overrides);
        EXPECT_TRUE(log.contains(tc.alert)) << tc.overrides;
        for (int i = 0; i < 8; ++i) {
            EXPECT_EQ(stored(kAllKeys[i]).empty(), i >= tc.stored_before_failure)
                << tc.overrides << " " << kAllKeys[i];
        }
        sysdb_reset_thread_connection();
    }
}

TEST_F(SentencesTest, MissingMembersReadAsZeroAndAreAddedAsNull) {
    Json::Value fix(Json::objectValue);
    generate(fix, "");
    EXPECT_EQ(stored("GPS_NMEA_GPRMC_V2"),
              nmea("$GPRMC,000000.00,A,0000.0000,N,00000.0000,E,000.0,000.0,000000,,"));
    EXPECT_EQ(stored("GPS_NMEA_GPGSA"),
              nmea("$GPGSA,A,1,00,00,00,00,00,00,00,00,00,00,00,00,00.0,00.0,00.0"));
    EXPECT_EQ(stored("GPS_TAIP_PV"),
              ">RPV00000"
              "+0000000"
              "+00000000"
              "000"
              "000"
              "9"
              "2"
              "<");
    for (const char* member : {"statusCode", "speedNMEA", "lat_dd", "sats", "nSatsInUse"}) {
        EXPECT_TRUE(fix.isMember(member)) << member;
        EXPECT_TRUE(fix[member].isNull()) << member;
    }
}

TEST_F(SentencesTest, StoreNeedsRoomForTheSuffix) {
    const std::string body = "$GPTXT,HELLO";
    const struct {
        size_t size;
        bool stored;
    } cases[] = {{body.size() + 5, false}, {body.size() + 6, true}};
    for (const auto& tc : cases) {
        sysdb_context ctx;
        ASSERT_EQ(sysdb_init(&ctx, 0), 0);
        ASSERT_EQ(sysdb_txn_start(&ctx, "GPS", 0), 0);
        std::vector<char> buf(tc.size, 'x');
        memcpy(buf.data(), body.c_str(), body.size() + 1);
        const std::string key = "TEST_STORE_" + std::to_string(tc.size);
        store_nmea_sentence(&ctx, key.c_str(), buf.data(), buf.size());
        sysdb_txn_end(&ctx);
        sysdb_exit(&ctx);
        EXPECT_EQ(stored(key.c_str()), tc.stored ? nmea(body) : "") << tc.size;
    }
}

// Numbers no receiver gives, in every member the generator reads: every conversion stays
// defined (the sanitizer build checks) and whatever is stored carries a valid checksum.
TEST_F(SentencesTest, ExtremeNumbersStayDefined) {
    const double values[] = {std::numeric_limits<double>::quiet_NaN(),
                             std::numeric_limits<double>::infinity(),
                             -std::numeric_limits<double>::infinity(),
                             1e300,
                             -1e300,
                             4294967296.5,
                             -2147483649.0,
                             -0.0};
    const char* const members[] = {"headingNMEA",  "speedNMEA",     "altitude",  "lat_dd",
                                   "lon_dd",       "hdop",          "pdop",      "vdop",
                                   "eastVelocity", "northVelocity", "upVelocity"};
    for (const char* member : members) {
        for (double v : values) {
            Json::Value fix = example_record();
            fix[member] = v;
            generate(fix);
        }
    }
    for (const char* key : kNmeaKeys) {
        const std::string text = stored(key);
        ASSERT_GE(text.size(), 6u) << key;
        EXPECT_EQ(text, nmea(text.substr(0, text.size() - 5))) << key;
    }
    Json::Value fix = example_record();
    fix["calcHHMMSS"] = std::numeric_limits<int>::min();
    fix["nSatsInUse"] = std::numeric_limits<int>::max();
    fix["gpsdMode"] = std::numeric_limits<int>::min();
    generate(fix);
    const std::string btveg = stored("GPS_NMEA_BTVEG");
    EXPECT_EQ(btveg, nmea(btveg.substr(0, btveg.size() - 5)));
}

}  // namespace
