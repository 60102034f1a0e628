// The fix record writer: FixRecord's derivations and the "GPS" batch of each pass, read back
// from a private system database.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <limits>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "core/core.h"
#include "platform/platform.h"
#include "platform/sysdb.h"
#include "publish/publish.h"
#include "sentences/sentences.h"
#include "tests/support/support.h"

namespace {

const char* const kSentenceKeys[] = {"GPS_NMEA_PGPS",     "GPS_NMEA_GPGGA", "GPS_NMEA_GPRMC_V2",
                                     "GPS_NMEA_GPRMC_V3", "GPS_NMEA_GPGSA", "GPS_TAIP_PV",
                                     "GPS_TAIP_LN",       "GPS_NMEA_BTVEG"};

Json::Value parse(const std::string& text) {
    Json::Value v;
    Json::Reader reader;
    EXPECT_TRUE(reader.parse(text, v)) << text;
    return v;
}

// A pass with a 3D fix: what process_gps_data hands over.
Json::Value fix_snapshot(double ts) {
    Json::Value s = parse(R"({
        "validity": true, "iso8601": "2024-03-01T09:30:15.000Z",
        "calc_hhmmss": 93015.0, "calc_ddmmyy": 10324.0,
        "TPV": {"class": "TPV", "mode": 3, "time": "2024-03-01T09:30:15.000Z", "lat": 52.5,
                "lon": -1.25, "alt": 123.4, "speed": 10.0, "track": 45.7},
        "SKY": {"class": "SKY", "hdop": 0.94, "vdop": 1.25, "pdop": 1.5, "satellites": [
            {"PRN": 1, "used": true, "gnssid": 0, "az": 10.5, "el": 20.2, "ss": 38.7},
            {"PRN": 2, "used": true, "gnssid": 0},
            {"PRN": 3, "used": false},
            {"PRN": 4, "used": true},
            {"PRN": 65, "used": true, "gnssid": 6},
            {"PRN": 66, "used": true, "gnssid": 6},
            {"PRN": 7, "used": true, "gnssid": 2},
            {"PRN": 8, "used": false, "gnssid": 3},
            {"PRN": 9, "used": true},
            {"PRN": 10, "used": false, "gnssid": 0},
            {"PRN": 11, "used": true},
            {"PRN": 12, "used": true}]}})");
    s["ts"] = ts;
    return s;
}

class FixRecordTest : public ::testing::Test {
protected:
    void SetUp() override {
        sysdb_reset_thread_connection();
        publish_reset_for_test();
        taip_fix_seen = 0;
        set_ttff_pending();
    }
    void TearDown() override {
        publish_reset_for_test();
        sysdb_reset_thread_connection();
    }

    static bool has(const char* key) {
        sysdb_value v;
        return sysdb_namedb_read_value(nullptr, "GPS", key, &v) == 0;
    }
    static sysdb_value value(const char* key) {
        sysdb_value v;
        EXPECT_EQ(sysdb_namedb_read_value(nullptr, "GPS", key, &v), 0) << key;
        return v;
    }
    static double dbl(const char* key) {
        const sysdb_value v = value(key);
        EXPECT_EQ(v.type, SYSDB_DBL) << key;
        return v.d;
    }
    static long long integer(const char* key) {
        const sysdb_value v = value(key);
        EXPECT_EQ(v.type, SYSDB_INT) << key;
        return v.i;
    }
    static std::string text(const char* key) {
        const sysdb_value v = value(key);
        EXPECT_EQ(v.type, SYSDB_TEXT) << key;
        return v.text;
    }
    static Json::Value json(const char* key) {
        const sysdb_value v = value(key);
        EXPECT_EQ(v.type, SYSDB_JSON) << key;
        return parse(v.text);
    }
    static void set_ttff_pending() {
        std::lock_guard<std::mutex> lock(sysdb_mutex);
        ttffPending = true;
    }
    int pass(const std::string& snapshot_text, double ts) {
        Json::Value s = parse(snapshot_text);
        s["ts"] = ts;
        return saveGpsDataSysdb(s);
    }

    navtest::TempDir dir_;
    navtest::ScopedEnv env_{"SYSDB_PATH", dir_ / "sysdb.db"};
};

TEST_F(FixRecordTest, FirstPassWithOnlyTimeStoresFirstCallValues) {
    sysdb_namedb_write_str(nullptr, "CELL", "CELL_IMEI", "351234567890123", 0);
    ASSERT_EQ(pass("{}", 12.5), 0);

    EXPECT_EQ(dbl("GPS_DATA_TS"), 12.5);
    EXPECT_EQ(json("GPS_DATA_RAW"), parse(R"({"ts": 12.5})"));
    EXPECT_FALSE(has("GPS_VALID"));
    EXPECT_FALSE(has("GPS_LAT"));
    for (const char* key : kSentenceKeys) EXPECT_TRUE(has(key)) << key;
    const std::string rmc = text("GPS_NMEA_GPRMC_V2");
    EXPECT_EQ(rmc.substr(0, rmc.size() - 5),
              "$GPRMC,000000.00,V,0000.0000,N,00000.0000,E,000.0,000.0,010170,,");
    EXPECT_NE(text("GPS_NMEA_PGPS").find(",0,351234567890123*"), std::string::npos);

    const Json::Value expected = parse(R"({
        "time": "0", "speedStrNMEA": "0", "headingStrNMEA": "0", "speedNMEA": 0.0,
        "headingNMEA": 0.0, "eastVelocity": 0.0, "northVelocity": 0.0, "upVelocity": 0.0,
        "nSatellites": 0, "nSatsInUse": 0, "statusCode": 1, "dataInvalid": 3, "gpsMode": 78,
        "gpsdMode": 0, "lat_dd": 0.0, "lon_dd": 0.0, "latitude": 0.0, "longitude": 0.0,
        "altitude": 0.0, "xPosition": 0.0, "yPosition": 0.0, "zPosition": 0.0, "hdop": 99.0,
        "pdop": 99.0, "vdop": 99.0, "sats": [], "calcHHMMSS": 0, "calcDDMMYY": 10170,
        "ts": 12.5})");
    EXPECT_EQ(json("GPS_DATA"), expected);
    EXPECT_EQ(Json::FastWriter().write(fix_record()), Json::FastWriter().write(expected));
}

TEST_F(FixRecordTest, ValidPassWritesEveryKeyWithItsType) {
    sysdb_namedb_write_int(nullptr, "SYS", "SYS_WAKE_TIME_UPTIME", 1000, 0);
    Json::Value s = fix_snapshot(1234.9);
    ASSERT_EQ(saveGpsDataSysdb(s), 0);

    EXPECT_EQ(json("GPS_DATA_RAW"), s);
    const struct {
        const char* key;
        double value;  // integers compared as doubles
        bool is_int;
    } keys[] = {
        {"GPS_DATA_TS", 1234.9, false},
        {"GPS_TTFF_UPTIME", 1234, true},
        {"GPS_TTFF_WAKE", 234, true},
        {"GPS_VALID", 1, true},
        {"GPS_LON", -1.25, false},
        {"GPS_LAST_VALID_LON", -1.25, false},
        {"GPS_LAT", 52.5, false},
        {"GPS_LAST_VALID_LAT", 52.5, false},
        {"GPS_ALT", 123.4000015258789, false},  // single precision
        {"GPS_VEL", 10.0, false},
        {"GPS_VEL_KPH", 36.0, false},
        {"GPS_VEL_MPH", 22.5, false},
        {"GPS_HDG", static_cast<double>(45.7f), false},
        {"GPS_HDOP", 0.94, false},
        {"GPS_VDOP", 1.25, false},
        {"GPS_PDOP", 1.5, false},
        {"GPS_SATS", 12, true},
        {"GPS_SATS_INUSE", 6, true},  // used ones among the 8 GPS satellites
    };
    for (const auto& k : keys) {
        EXPECT_EQ(k.is_int ? static_cast<double>(integer(k.key)) : dbl(k.key), k.value) << k.key;
    }
    EXPECT_EQ(text("GPS_TTFF_ISO8601"), "2024-03-01T09:30:15.000Z");
    EXPECT_EQ(text("GPS_ISO8601"), "2024-03-01T09:30:15.000Z");

    const Json::Value fix = json("GPS_DATA");
    EXPECT_EQ(fix["statusCode"].asInt(), 0);
    EXPECT_EQ(fix["dataInvalid"].asInt(), 0);
    EXPECT_EQ(fix["nSatellites"].asUInt(), 12u);
    EXPECT_EQ(fix["nSatsInUse"].asInt(), 6);
    EXPECT_EQ(fix["gpsMode"].asInt(), 65);
    EXPECT_EQ(fix["gpsdMode"].asInt(), 3);
    EXPECT_EQ(fix["calcHHMMSS"].asInt(), 93015);
    EXPECT_EQ(fix["calcDDMMYY"].asInt(), 10324);
    EXPECT_EQ(fix["sats"].size(), 8u);
    EXPECT_EQ(fix["sats"][0], parse(R"({"PRN": 1, "used": true, "az": 10, "el": 20, "ss": 38})"));
    EXPECT_EQ(fix["sats"][2], parse(R"({"PRN": 3, "used": false, "az": 0, "el": 0, "ss": 0})"));
    EXPECT_EQ(fix["ts"].asDouble(), 1234.9);

    EXPECT_EQ(text("GPS_NMEA_GPRMC_V3").substr(0, 66),
              "$GPRMC,093015.00,A,5230.0000,N,00115.0000,W,019.4,045.0,010324,,,A");
    EXPECT_EQ(text("GPS_NMEA_GPGSA").substr(0, 49),
              "$GPGSA,A,3,01,02,04,09,11,12,00,00,00,00,00,00,01");
    EXPECT_EQ(text("GPS_TAIP_PV"), ">RPV34215+5250000-0012500002204512<");
}

struct DerivationCase {
    const char* snapshot;
    const char* field;
    double expected;
    double tolerance;  // 0: exact
};

TEST_F(FixRecordTest, Derivations) {
    const DerivationCase cases[] = {
        // a TPV with only "mode" still recomputes the position (first-call lat/lon/alt)
        {R"({"TPV": {"mode": 1}})", "xPosition", 6378137.0, 0},
        {R"({"TPV": {"mode": 1}})", "yPosition", 0.0, 0},
        {R"({"TPV": {"mode": 1}})", "zPosition", 0.0, 0},
        {R"({"TPV": {"lat": 45.0, "lon": 90.0, "alt": 100.0}})", "xPosition", -0.197, 0.0005},
        {R"({"TPV": {"lat": 45.0, "lon": 90.0, "alt": 100.0}})", "yPosition", 4517661.491, 0.0005},
        {R"({"TPV": {"lat": 45.0, "lon": 90.0, "alt": 100.0}})", "zPosition", 4487419.218, 0.0005},
        {R"({"TPV": {"lat": 45.0}})", "latitude", (45.0 * 3.1415926535898) / 180.0, 0},
        {R"({"TPV": {"alt": 123.4}})", "altitude", 123.4000015258789, 0},
        {R"({"TPV": {"speed": 10.0}})", "speedNMEA", 10.0, 0},
        {R"({"TPV": {"track": 123.4}})", "headingNMEA", 123.4000015258789, 0},
        {R"({"TPV": {"track": 90, "speed": 5}})", "eastVelocity", 5.0, 0},
        {R"({"TPV": {"track": 90, "speed": 5}})", "northVelocity", 0.0, 0},
        {R"({"TPV": {"track": 180, "speed": 5}})", "northVelocity", -5.0, 0},
        {R"({"TPV": {"track": 270, "speed": 5}})", "eastVelocity", -5.0, 0},
        {R"({"TPV": {"track": 0, "speed": 5}})", "northVelocity", 5.0, 0},
        {R"({"TPV": {"track": 45, "speed": 10}})", "eastVelocity", 7.07106781186549, 1e-14},
        {R"({"TPV": {"track": 45, "speed": 10}})", "northVelocity", 7.07106781186546, 1e-14},
        // no speed seen yet: the components split 0
        {R"({"TPV": {"track": 45}})", "eastVelocity", 0.0, 0},
        {R"({"calc_hhmmss": 93015.9, "calc_ddmmyy": 10324.7})", "calcHHMMSS", 93015, 0},
        {R"({"calc_hhmmss": 93015.9, "calc_ddmmyy": 10324.7})", "calcDDMMYY", 10324, 0},
        {R"({"calc_hhmmss": 93015.9})", "calcDDMMYY", 0, 0},
        {R"({"validity": false})", "statusCode", 1, 0},
        {R"({"validity": false})", "dataInvalid", 3, 0},
        {R"({"SKY": {"satellites": [{"gnssid": 2}, {"gnssid": 2, "used": true}]}})", "nSatellites",
         2, 0},
        {R"({"SKY": {"satellites": [{"gnssid": 2}, {"gnssid": 2, "used": true}]}})", "nSatsInUse",
         0, 0},
        {R"({"SKY": {"satellites": [{"gnssid": 2}, {"gnssid": 2, "used": true}]}})", "gpsMode", 65,
         0},
        {R"({"SKY": {"satellites": [{"gnssid": 2}, {"gnssid": 2, "used": true}]}})", "sats", 0, 0},
    };
    for (const auto& tc : cases) {
        publish_reset_for_test();
        ASSERT_EQ(pass(tc.snapshot, 1.0), 0) << tc.snapshot;
        const Json::Value& v = fix_record()[tc.field];
        const double got = v.isArray() ? v.size() : v.asDouble();
        if (tc.tolerance == 0) {
            EXPECT_EQ(got, tc.expected) << tc.snapshot << " " << tc.field;
        } else {
            EXPECT_NEAR(got, tc.expected, tc.tolerance) << tc.snapshot << " " << tc.field;
        }
    }
}

TEST_F(FixRecordTest, SpeedAndHeadingTexts) {
    ASSERT_EQ(pass(R"({"TPV": {"speed": 10.0, "track": 123.4}})", 1.0), 0);
    EXPECT_EQ(fix_record()["speedStrNMEA"].asString(), "19.438462");
    EXPECT_EQ(fix_record()["headingStrNMEA"].asString(), "123.400002");
}

TEST_F(FixRecordTest, FieldsNotRefreshedKeepTheirValues) {
    Json::Value first = fix_snapshot(10.0);
    ASSERT_EQ(saveGpsDataSysdb(first), 0);
    // speed without track keeps the last split; no TPV keeps everything and skips the keys
    ASSERT_EQ(pass(R"({"TPV": {"speed": 20.0}, "SKY": {"hdop": 2.0}})", 11.0), 0);
    EXPECT_EQ(fix_record()["speedNMEA"].asDouble(), 20.0);
    EXPECT_NEAR(fix_record()["eastVelocity"].asDouble(), 7.15693, 1e-5);  // 10 m/s at 45.7
    EXPECT_EQ(fix_record()["nSatsInUse"].asInt(), 6);
    EXPECT_EQ(fix_record()["hdop"].asDouble(), 2.0);
    EXPECT_EQ(fix_record()["pdop"].asDouble(), 1.5);

    sysdb_namedb_del(nullptr, "GPS", "GPS_LAT");
    const Json::Value x = fix_record()["xPosition"];
    ASSERT_EQ(pass(R"({"validity": true})", 12.0), 0);
    EXPECT_FALSE(has("GPS_LAT"));
    EXPECT_EQ(fix_record()["xPosition"], x);
    EXPECT_EQ(fix_record()["lat_dd"].asDouble(), 52.5);
    EXPECT_EQ(json("GPS_DATA")["lat_dd"].asDouble(), 52.5);
}

TEST_F(FixRecordTest, InvalidPassWritesPositionButNotLastValid) {
    ASSERT_EQ(pass(R"({"validity": false, "TPV": {"lat": 10.0, "lon": 20.0}})", 5.0), 0);
    EXPECT_EQ(integer("GPS_VALID"), 0);
    EXPECT_EQ(dbl("GPS_LAT"), 10.0);
    EXPECT_EQ(dbl("GPS_LON"), 20.0);
    EXPECT_FALSE(has("GPS_LAST_VALID_LAT"));
    EXPECT_FALSE(has("GPS_LAST_VALID_LON"));
    EXPECT_FALSE(has("GPS_TTFF_UPTIME"));
    EXPECT_EQ(fix_record()["statusCode"].asInt(), 1);
    EXPECT_EQ(fix_record()["dataInvalid"].asInt(), 3);
}

TEST_F(FixRecordTest, LastValidPositionSeedsTheNextProcess) {
    ASSERT_EQ(pass(R"({"validity": true, "TPV": {"lat": -33.5, "lon": 151.25}})", 5.0), 0);
    publish_reset_for_test();  // as after a restart
    ASSERT_EQ(pass("{}", 6.0), 0);
    EXPECT_EQ(fix_record()["lat_dd"].asDouble(), -33.5);
    EXPECT_EQ(fix_record()["lon_dd"].asDouble(), 151.25);
    EXPECT_EQ(fix_record()["latitude"].asDouble(), 0.0);
    EXPECT_NE(text("GPS_NMEA_GPRMC_V2").find(",3330.0000,S,15115.0000,E,"), std::string::npos);
}

TEST_F(FixRecordTest, FirstFixKeysOncePerSessionCount) {
    const struct {
        const char* snapshot;
        double ts;
        bool new_session;  // what the session-start logic does on a new count
        int wake;          // SYS_WAKE_TIME_UPTIME, -1: absent
        long long uptime;  // expected GPS_TTFF_UPTIME, -1: absent
        long long ttff_wake;
    } passes[] = {
        {R"({"validity": false})", 100.0, false, 50, -1, 0},
        {R"({"TPV": {"mode": 1}})", 101.0, false, 50, -1, 0},  // no validity: no verdict
        {R"({"validity": true, "iso8601": "A"})", 1234.9, false, 1000, 1234, 234},
        {R"({"validity": true, "iso8601": "B"})", 1300.0, false, 1000, 1234, 234},
        {R"({"validity": false})", 1400.0, true, 1350, 1234, 234},
        {R"({"validity": true, "iso8601": "C"})", 1500.5, false, -1, 1500, -1},
        {R"({"validity": true, "iso8601": "D"})", 1600.0, false, 1350, 1500, -1},
    };
    for (const auto& p : passes) {
        if (p.wake >= 0) {
            sysdb_namedb_write_int(nullptr, "SYS", "SYS_WAKE_TIME_UPTIME", p.wake, 0);
        } else {
            sysdb_namedb_del(nullptr, "SYS", "SYS_WAKE_TIME_UPTIME");
        }
        if (p.new_session) set_ttff_pending();
        ASSERT_EQ(pass(p.snapshot, p.ts), 0) << p.snapshot;
        if (p.uptime < 0) {
            EXPECT_FALSE(has("GPS_TTFF_UPTIME")) << p.snapshot;
            continue;
        }
        EXPECT_EQ(integer("GPS_TTFF_UPTIME"), p.uptime) << p.snapshot;
        EXPECT_EQ(integer("GPS_TTFF_WAKE"), p.ttff_wake) << p.snapshot;
    }
    EXPECT_EQ(text("GPS_TTFF_ISO8601"), "C");
}

TEST_F(FixRecordTest, ImeiFallbackWhenUnreadable) {
    navtest::LogCapture log;
    ASSERT_EQ(pass("{}", 1.0), 0);
    EXPECT_TRUE(log.contains("could not read CELL_IMEI from sysdb, using 000000000000000"));
    EXPECT_NE(text("GPS_NMEA_PGPS").find(",000000000000000*"), std::string::npos);
    EXPECT_EQ(text("GPS_NMEA_BTVEG").substr(0, 16), "$BTVEG,00000000,");
}

TEST_F(FixRecordTest, WrongTypeEndsThePassAndTheNextOneRuns) {
    ASSERT_EQ(pass(R"({"TPV": {"lat": 1.0}})", 1.0), 0);
    const Json::Value data_before = json("GPS_DATA");
    {
        navtest::LogCapture log;
        // "mode" comes after the position: the position keys of this pass are committed
        EXPECT_EQ(pass(R"({"validity": true, "iso8601": "X",
                          "TPV": {"lat": 2.0, "time": "T", "mode": "3D"}})",
                       2.0),
                  -1);
        EXPECT_TRUE(log.contains("saveGpsDataSysdb Json::LogicError: "));
        EXPECT_TRUE(sysdb_mutex.try_lock());
        sysdb_mutex.unlock();
    }
    EXPECT_EQ(dbl("GPS_DATA_TS"), 2.0);
    EXPECT_EQ(dbl("GPS_LAT"), 2.0);
    EXPECT_EQ(text("GPS_TTFF_ISO8601"), "X");
    EXPECT_EQ(json("GPS_DATA"), data_before);  // not written by the failed pass
    EXPECT_EQ(fix_record()["lat_dd"].asDouble(), 2.0);

    {
        navtest::LogCapture log;
        // the worked case: a TPV "time" that is a number
        EXPECT_EQ(pass(R"({"TPV": {"time": 1709285415, "lat": 3.0}})", 3.0), -1);
        EXPECT_TRUE(log.contains("saveGpsDataSysdb Json::LogicError: "));
    }
    EXPECT_EQ(dbl("GPS_LAT"), 2.0);
    EXPECT_EQ(pass(R"({"TPV": {"time": "U", "lat": 4.0}})", 4.0), 0);
    EXPECT_EQ(dbl("GPS_LAT"), 4.0);
    EXPECT_EQ(json("GPS_DATA")["time"].asString(), "U");
    EXPECT_EQ(json("GPS_DATA")["ts"].asDouble(), 4.0);
}

TEST_F(FixRecordTest, OtherTypeFailures) {
    const char* const cases[] = {
        R"({"validity": "yes"})",
        R"({"TPV": {"speed": "fast"}})",
        R"({"TPV": [1, 2]})",
        R"({"SKY": {"satellites": [{"PRN": "G01"}]}})",
        R"({"SKY": {"satellites": [{"gnssid": "GPS"}]}})",
        R"({"calc_hhmmss": "093015"})",
    };
    for (const char* c : cases) {
        navtest::LogCapture log;
        EXPECT_EQ(pass(c, 1.0), -1) << c;
        EXPECT_TRUE(log.contains("saveGpsDataSysdb Json::LogicError: ")) << c;
        EXPECT_EQ(pass("{}", 2.0), 0) << c;
    }
}

// Values gpsd would never send, but a broken feed might: every conversion stays defined (the
// sanitizer build checks) and the sound results hold.
TEST_F(FixRecordTest, ExtremeNumbersStayDefined) {
    const char* const snapshots[] = {
        R"({"TPV": {"speed": 1e39, "track": -1e39, "alt": 1e300, "lat": 1e300, "lon": -1e300}})",
        R"({"TPV": {"speed": -10.0, "track": -90.5, "lat": -91.0}})",
        R"({"calc_hhmmss": 1e20, "calc_ddmmyy": -1e20})",
        R"({"SKY": {"satellites": [{"az": 1e300, "el": -1e300, "ss": 4294967296.0}]}})",
    };
    for (const char* s : snapshots) EXPECT_EQ(pass(s, 8.0), 0) << s;
    EXPECT_EQ(fix_record()["calcHHMMSS"].asInt(), std::numeric_limits<int32_t>::max());
    EXPECT_EQ(fix_record()["calcDDMMYY"].asInt(), std::numeric_limits<int32_t>::min());
    EXPECT_EQ(fix_record()["sats"][0]["ss"].asInt(), std::numeric_limits<int>::max());

    sysdb_namedb_write_int(nullptr, "SYS", "SYS_WAKE_TIME_UPTIME", -5, 0);
    set_ttff_pending();
    ASSERT_EQ(pass(R"({"validity": true})", 1e300), 0);
    EXPECT_EQ(integer("GPS_TTFF_UPTIME"), std::numeric_limits<int32_t>::max());
    EXPECT_EQ(integer("GPS_TTFF_WAKE"), std::numeric_limits<int32_t>::max());

    // A negative speed gives 0 knots; an altitude of a million metres fails the sentences.
    ASSERT_EQ(pass(R"({"calc_hhmmss": 120000, "calc_ddmmyy": 10324,
                         "TPV": {"speed": -10.0, "track": 0, "alt": 10.0, "lat": 1.0, "lon": 1.0}})",
                   9.0),
              0);
    const std::string rmc = text("GPS_NMEA_GPRMC_V2");
    EXPECT_NE(rmc.find(",000.0,000.0,"), std::string::npos) << rmc;
    navtest::LogCapture log;
    ASSERT_EQ(pass(R"({"TPV": {"alt": 1000000.0, "lat": 2.0}})", 10.0), 0);
    EXPECT_TRUE(log.contains("Error obtaining common GPS parameters to generate NMEA messages"));
    EXPECT_EQ(text("GPS_NMEA_GPRMC_V2"), rmc);
    EXPECT_EQ(dbl("GPS_ALT"), 1000000.0);
    EXPECT_EQ(json("GPS_DATA")["lat_dd"].asDouble(), 2.0);
}

// Another connection sees each pass's batch whole or not at all.
TEST_F(FixRecordTest, AnotherConnectionSeesWholeBatches) {
    std::atomic<bool> stop{false};
    std::atomic<int> checked{0};
    std::atomic<int> torn{0};
    std::thread reader([&] {
        // This thread has its own connection.
        while (!stop) {
            std::vector<std::pair<std::string, sysdb_value>> rows;
            if (sysdb_namedb_list(nullptr, "GPS", &rows) != 0) continue;
            std::map<std::string, sysdb_value> m(rows.begin(), rows.end());
            if (!m.count("GPS_DATA")) continue;
            Json::Value data;
            Json::Reader().parse(m["GPS_DATA"].text, data);
            const double ts = m["GPS_DATA_TS"].d;
            char gga[32];
            snprintf(gga, sizeof gga, "$GPGGA,%06d.00,", static_cast<int>(ts) * 100);
            const bool whole = data["ts"].asDouble() == ts && m["GPS_LAT"].d == ts &&
                               data["lat_dd"].asDouble() == ts &&
                               m["GPS_NMEA_GPGGA"].text.rfind(gga, 0) == 0;
            if (!whole) ++torn;
            ++checked;
        }
        sysdb_reset_thread_connection();
    });
    for (int i = 10; i < 60; ++i) {
        Json::Value s = parse(R"({"validity": true, "TPV": {}})");
        s["ts"] = static_cast<double>(i);
        s["TPV"]["lat"] = static_cast<double>(i);
        s["calc_hhmmss"] = i * 100.0;
        ASSERT_EQ(saveGpsDataSysdb(s), 0);
    }
    navtest::wait_for([&] { return checked.load() > 20; }, 5000);
    stop = true;
    reader.join();
    EXPECT_GT(checked.load(), 0);
    EXPECT_EQ(torn.load(), 0);
}

}  // namespace
