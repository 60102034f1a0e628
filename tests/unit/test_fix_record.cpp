// The fix record writer: FixRecord's derivations and the "GPS" batch of each pass, read back
// from a private system database.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "core/core.h"
#include "platform/sysdb.h"
#include "publish/publish.h"
#include "sentences/sentences.h"
#include "tests/support/support.h"

namespace {

const char* const kLogicError = "saveGpsDataSysdb Json::LogicError: ";

Json::Value parse(const std::string& text) {
    Json::Value v;
    EXPECT_TRUE(Json::Reader().parse(text, v)) << text;
    return v;
}

// Every key of "GPS" on this thread's connection: integers as JSON integers, doubles as JSON
// reals, JSON values parsed, texts as strings.
Json::Value batch() {
    std::vector<std::pair<std::string, sysdb_value>> rows;
    Json::Value b(Json::objectValue);
    if (sysdb_namedb_list(nullptr, "GPS", &rows) != 0) return b;
    for (const auto& r : rows) {
        const sysdb_value& v = r.second;
        b[r.first] = v.type == SYSDB_INT    ? Json::Value(static_cast<Json::Int64>(v.i))
                     : v.type == SYSDB_DBL  ? Json::Value(v.d)
                     : v.type == SYSDB_JSON ? parse(v.text)
                                            : Json::Value(v.text);
    }
    return b;
}

// Each member of want is in got: null means absent, objects are compared member by member,
// numbers within tol (tol 0: equal and of the same JSON type).
void expect_fields(const Json::Value& got, const Json::Value& want, double tol = 0) {
    for (const auto& name : want.getMemberNames()) {
        const Json::Value g = got.get(name, Json::Value());
        const Json::Value& w = want[name];
        if (w.isObject() && g.isObject()) {
            expect_fields(g, w, tol);
        } else if (tol > 0 && w.isNumeric() && g.isNumeric()) {
            EXPECT_NEAR(g.asDouble(), w.asDouble(), tol) << name;
        } else {
            EXPECT_EQ(g, w) << name;
        }
    }
}

class FixRecordTest : public ::testing::Test {
protected:
    void SetUp() override {
        sysdb_reset_thread_connection();
        publish_reset_for_test();
        taip_fix_seen = 0;
        new_session();
    }
    void TearDown() override {
        publish_reset_for_test();
        sysdb_reset_thread_connection();
    }
    static void new_session() {
        std::lock_guard<std::mutex> lock(sysdb_mutex);
        ttffPending = true;
    }
    static int pass(const std::string& snapshot, double ts) {
        Json::Value s = parse(snapshot);
        s["ts"] = ts;
        return saveGpsDataSysdb(s);
    }

    navtest::TempDir dir_;
    navtest::ScopedEnv env_{"SYSDB_PATH", dir_ / "sysdb.db"};
};

TEST_F(FixRecordTest, FirstPassWithOnlyTimeStoresFirstCallValues) {
    navtest::LogCapture log;  // CELL_IMEI unreadable: the fallback identifier, named
    ASSERT_EQ(pass("{}", 12.5), 0);
    EXPECT_TRUE(log.contains("could not read CELL_IMEI from sysdb, using 000000000000000"));
    const Json::Value b = batch();
    EXPECT_EQ(b.size(), 11u);  // raw snapshot, ts, eight sentences, FixRecord: no GPS_VALID
    expect_fields(b, parse(R"({"GPS_DATA_RAW": {"ts": 12.5}, "GPS_DATA_TS": 12.5})"));
    EXPECT_EQ(b["GPS_NMEA_GPRMC_V2"].asString().substr(0, 64),
              "$GPRMC,000000.00,V,0000.0000,N,00000.0000,E,000.0,000.0,010170,,");
    EXPECT_NE(b["GPS_NMEA_PGPS"].asString().find(",0,000000000000000*"), std::string::npos);
    EXPECT_EQ(b["GPS_DATA"], parse(R"({
        "time": "0", "speedStrNMEA": "0", "headingStrNMEA": "0", "speedNMEA": 0.0,
        "headingNMEA": 0.0, "eastVelocity": 0.0, "northVelocity": 0.0, "upVelocity": 0.0,
        "nSatellites": 0, "nSatsInUse": 0, "statusCode": 1, "dataInvalid": 3, "gpsMode": 78,
        "gpsdMode": 0, "lat_dd": 0.0, "lon_dd": 0.0, "latitude": 0.0, "longitude": 0.0,
        "altitude": 0.0, "xPosition": 0.0, "yPosition": 0.0, "zPosition": 0.0, "hdop": 99.0,
        "pdop": 99.0, "vdop": 99.0, "sats": [], "calcHHMMSS": 0, "calcDDMMYY": 10170,
        "ts": 12.5})"));
}

TEST_F(FixRecordTest, ValidPassWritesEveryKeyWithItsType) {
    sysdb_namedb_write_str(nullptr, "CELL", "CELL_IMEI", "351234567890123", 0);
    sysdb_namedb_write_int(nullptr, "SYS", "SYS_WAKE_TIME_UPTIME", 1000, 0);
    // 12 satellites, 4 of them not GPS; 6 of the 8 GPS ones used
    Json::Value s = parse(R"({"validity": true, "iso8601": "2024-03-01T09:30:15.000Z",
        "calc_hhmmss": 93015.0, "calc_ddmmyy": 10324.0, "ts": 1234.9,
        "TPV": {"mode": 3, "time": "2024-03-01T09:30:15.000Z", "lat": 52.5, "lon": -1.25,
                "alt": 123.4, "speed": 10.0, "track": 45.7},
        "SKY": {"hdop": 0.94, "vdop": 1.25, "pdop": 1.5, "satellites": [
            {"PRN": 1, "used": true, "gnssid": 0, "az": 10.5, "el": 20.2, "ss": 38.7},
            {"PRN": 2, "used": true, "gnssid": 0}, {"used": false}, {"PRN": 4, "used": true},
            {"PRN": 65, "used": true, "gnssid": 6}, {"PRN": 66, "used": true, "gnssid": 6},
            {"PRN": 7, "used": true, "gnssid": 2}, {"PRN": 8, "used": false, "gnssid": 3},
            {"PRN": 9, "used": true}, {"PRN": 10, "used": false, "gnssid": 0},
            {"PRN": 11, "used": true}, {"PRN": 12, "used": true}]}})");
    ASSERT_EQ(saveGpsDataSysdb(s), 0);
    const Json::Value b = batch();
    EXPECT_EQ(b["GPS_DATA_RAW"], s);
    expect_fields(b, parse(R"({"GPS_DATA_TS": 1234.9, "GPS_TTFF_UPTIME": 1234,
        "GPS_TTFF_WAKE": 234, "GPS_TTFF_ISO8601": "2024-03-01T09:30:15.000Z", "GPS_VALID": 1,
        "GPS_ISO8601": "2024-03-01T09:30:15.000Z", "GPS_LON": -1.25, "GPS_LAST_VALID_LON": -1.25,
        "GPS_LAT": 52.5, "GPS_LAST_VALID_LAT": 52.5, "GPS_ALT": 123.4000015258789,
        "GPS_VEL": 10.0, "GPS_VEL_KPH": 36.0, "GPS_VEL_MPH": 22.5, "GPS_HDG": 45.70000076293945,
        "GPS_HDOP": 0.94, "GPS_VDOP": 1.25, "GPS_PDOP": 1.5, "GPS_SATS": 12, "GPS_SATS_INUSE": 6,
        "GPS_DATA": {"statusCode": 0, "dataInvalid": 0, "nSatellites": 12, "nSatsInUse": 6,
            "gpsMode": 65, "gpsdMode": 3, "calcHHMMSS": 93015, "calcDDMMYY": 10324,
            "time": "2024-03-01T09:30:15.000Z", "ts": 1234.9}})"));
    const Json::Value& sats = b["GPS_DATA"]["sats"];
    ASSERT_EQ(sats.size(), 8u);
    EXPECT_EQ(sats[0], parse(R"({"PRN": 1, "used": true, "az": 10, "el": 20, "ss": 38})"));
    EXPECT_EQ(sats[2], parse(R"({"PRN": 0, "used": false, "az": 0, "el": 0, "ss": 0})"));
    EXPECT_EQ(b["GPS_NMEA_GPGSA"].asString().substr(0, 49),
              "$GPGSA,A,3,01,02,04,09,11,12,00,00,00,00,00,00,01");
    EXPECT_NE(b["GPS_NMEA_PGPS"].asString().find(",6,351234567890123*"), std::string::npos);
}

TEST_F(FixRecordTest, Derivations) {
    const struct {
        const char* snapshot;
        const char* fields;  // of the stored FixRecord; nullptr: not read back
        double tol;
    } cases[] = {
        // a TPV with only "mode" still recomputes the position from the first-call values
        {R"({"TPV": {"mode": 1}})", R"({"xPosition": 6378137.0, "yPosition": 0.0})", 0},
        // not 0 for x: the longitude is taken in single precision
        {R"({"TPV": {"lat": 45.0, "lon": 90.0, "alt": 100.0}})",
         R"({"xPosition": -0.197, "yPosition": 4517661.491, "zPosition": 4487419.218})", 5e-4},
        {R"({"TPV": {"speed": 10.0, "track": 123.4}})",
         R"({"speedNMEA": 10.0, "speedStrNMEA": "19.438462", "headingNMEA": 123.4000015258789,
             "headingStrNMEA": "123.400002"})",
         0},
        {R"({"TPV": {"track": 90, "speed": 5}})", R"({"eastVelocity": 5.0, "northVelocity": 0.0})",
         0},
        {R"({"TPV": {"track": 180, "speed": 5}})",
         R"({"eastVelocity": 0.0, "northVelocity": -5.0})", 0},
        // east the larger: pi is 3.1415926535898
        {R"({"TPV": {"track": 45, "speed": 10}})",
         R"({"eastVelocity": 7.07106781186549, "northVelocity": 7.07106781186546})", 1e-14},
        {R"({"TPV": {"track": 45}})", R"({"eastVelocity": 0.0, "northVelocity": 0.0})", 0},
        {R"({"calc_hhmmss": 93015.9, "calc_ddmmyy": 10324.7})",
         R"({"calcHHMMSS": 93015, "calcDDMMYY": 10324})", 0},
        {R"({"validity": false})", R"({"statusCode": 1, "dataInvalid": 3})", 0},
        {R"({"SKY": {"satellites": [{"gnssid": 2}, {"gnssid": 2, "used": true}]}})",
         R"({"nSatellites": 2, "nSatsInUse": 0, "gpsMode": 65, "sats": []})", 0},
        // values no receiver sends: defined results (the sanitizer build checks the rest)
        {R"({"calc_hhmmss": 1e20, "calc_ddmmyy": -1e20})",
         R"({"calcHHMMSS": 2147483647, "calcDDMMYY": -2147483648})", 0},
        {R"({"SKY": {"satellites": [{"az": 1e300, "el": -1e300, "ss": 4294967296.0}]}})",
         R"({"sats": [{"PRN": 0, "used": false, "az": 2147483647, "el": -2147483648,
             "ss": 2147483647}]})",
         0},
        {R"({"TPV": {"speed": 1e39, "track": -1e39, "alt": 1e300, "lat": 1e300, "lon": -1e300}})",
         R"({"speedNMEA": 3.4028234663852886e38, "headingNMEA": -3.4028234663852886e38,
             "altitude": 3.4028234663852886e38})",
         0},  // saturated at the largest float: "GPS_DATA" stays parseable JSON
        // a million metres fails the sentences' common fields, not the batch
        {R"({"TPV": {"alt": 1000000.0}})", R"({"altitude": 1000000.0})", 0},
    };
    for (const auto& tc : cases) {
        SCOPED_TRACE(tc.snapshot);
        publish_reset_for_test();
        ASSERT_EQ(pass(tc.snapshot, 1.0), 0);
        if (tc.fields) expect_fields(batch()["GPS_DATA"], parse(tc.fields), tc.tol);
    }
}

TEST_F(FixRecordTest, FieldsNotRefreshedKeepTheirValues) {
    ASSERT_EQ(pass(R"({"TPV": {"lat": 52.5}})", 1.0), 0);
    // no TPV: no position key is written; the coordinates and sentences keep the last position
    sysdb_namedb_del(nullptr, "GPS", "GPS_LAT");
    const Json::Value x = fix_record()["xPosition"];
    ASSERT_EQ(pass(R"({"validity": true})", 3.0), 0);
    const Json::Value b = batch();
    EXPECT_FALSE(b.isMember("GPS_LAT"));
    EXPECT_EQ(b["GPS_DATA"]["xPosition"], x);
    EXPECT_EQ(b["GPS_DATA"]["lat_dd"], 52.5);
    EXPECT_NE(b["GPS_NMEA_GPRMC_V2"].asString().find(",A,5230.0000,N,"), std::string::npos);
}

TEST_F(FixRecordTest, OnlyValidPositionsSeedTheNextProcess) {
    ASSERT_EQ(pass(R"({"validity": true, "TPV": {"lat": -33.5, "lon": 151.25}})", 5.0), 0);
    ASSERT_EQ(pass(R"({"validity": false, "TPV": {"lat": 10.0, "lon": 20.0}})", 6.0), 0);
    expect_fields(batch(), parse(R"({"GPS_VALID": 0, "GPS_LAT": 10.0, "GPS_LON": 20.0,
        "GPS_LAST_VALID_LAT": -33.5, "GPS_LAST_VALID_LON": 151.25})"));
    publish_reset_for_test();  // as after a restart
    ASSERT_EQ(pass("{}", 7.0), 0);
    const Json::Value b = batch();
    expect_fields(b["GPS_DATA"], parse(R"({"lat_dd": -33.5, "latitude": 0.0})"));
    EXPECT_NE(b["GPS_NMEA_GPRMC_V2"].asString().find(",3330.0000,S,15115.0000,E,"),
              std::string::npos);
}

TEST_F(FixRecordTest, FirstFixKeysOncePerSessionCount) {
    const struct {
        const char* snapshot;
        double ts;
        bool new_session;  // what the session start does on a new count
        int wake;          // SYS_WAKE_TIME_UPTIME, -1: absent
        const char* ttff;  // expected first-fix keys
    } passes[] = {
        {R"({"validity": false})", 100, false, 50, R"({"GPS_TTFF_UPTIME": null})"},
        {R"({"TPV": {"mode": 1}})", 101, false, 50, R"({"GPS_TTFF_UPTIME": null})"},
        {R"({"validity": true, "iso8601": "A"})", 1234.9, false, 1000,
         R"({"GPS_TTFF_UPTIME": 1234, "GPS_TTFF_WAKE": 234, "GPS_TTFF_ISO8601": "A"})"},
        {R"({"validity": true, "iso8601": "B"})", 1300, false, 1000,
         R"({"GPS_TTFF_UPTIME": 1234, "GPS_TTFF_WAKE": 234, "GPS_TTFF_ISO8601": "A"})"},
        {R"({"validity": false})", 1400, true, 1350, R"({"GPS_TTFF_UPTIME": 1234})"},
        {R"({"validity": true, "iso8601": "C"})", 1500.5, false, -1,
         R"({"GPS_TTFF_UPTIME": 1500, "GPS_TTFF_WAKE": -1, "GPS_TTFF_ISO8601": "C"})"},
        {R"({"validity": true, "iso8601": "D"})", 1600, false, 1350,
         R"({"GPS_TTFF_UPTIME": 1500, "GPS_TTFF_WAKE": -1, "GPS_TTFF_ISO8601": "C"})"},
        {R"({"validity": true})", 1e300, true, -5,
         R"({"GPS_TTFF_UPTIME": 2147483647, "GPS_TTFF_WAKE": 2147483647})"},
    };
    for (const auto& p : passes) {
        SCOPED_TRACE(p.ts);
        if (p.wake == -1) sysdb_namedb_del(nullptr, "SYS", "SYS_WAKE_TIME_UPTIME");
        if (p.wake != -1) sysdb_namedb_write_int(nullptr, "SYS", "SYS_WAKE_TIME_UPTIME", p.wake, 0);
        if (p.new_session) new_session();
        ASSERT_EQ(pass(p.snapshot, p.ts), 0);
        expect_fields(batch(), parse(p.ttff));
    }
}

// A batch that does not land leaves the first-fix keys to the next one that does.
TEST_F(FixRecordTest, FirstFixKeysWaitForABatchThatCommits) {
    sysdb_namedb_write_int(nullptr, "SYS", "SYS_WAKE_TIME_UPTIME", 1000, 0);
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open((dir_ / "sysdb.db").c_str(), &db), SQLITE_OK);
    auto sql = [db](const char* text) {
        EXPECT_EQ(sqlite3_exec(db, text, nullptr, nullptr, nullptr), SQLITE_OK) << text;
    };
    sql("CREATE TRIGGER fail AFTER INSERT ON kv WHEN NEW.key = 'GPS_DATA' "
        "BEGIN SELECT RAISE(ROLLBACK, 'disk full'); END");
    {
        navtest::LogCapture log;
        EXPECT_EQ(pass(R"({"validity": true, "iso8601": "A"})", 1100), -1);
    }
    EXPECT_FALSE(batch().isMember("GPS_TTFF_UPTIME"));
    sql("DROP TRIGGER fail");
    sqlite3_close(db);
    ASSERT_EQ(pass(R"({"validity": true, "iso8601": "B"})", 1200), 0);
    expect_fields(batch(), parse(R"({"GPS_TTFF_UPTIME": 1200, "GPS_TTFF_WAKE": 200,
                                     "GPS_TTFF_ISO8601": "B"})"));
}

TEST_F(FixRecordTest, WrongTypeEndsThePassAndTheNextOneRuns) {
    ASSERT_EQ(pass(R"({"TPV": {"lat": 1.0}})", 1.0), 0);
    const Json::Value before = batch()["GPS_DATA"];
    {
        navtest::LogCapture log;
        EXPECT_EQ(pass(R"({"validity": true, "iso8601": "X", "TPV": {"time": 1709285415,
                           "lat": 2.0}})",
                       2.0),
                  -1);
        EXPECT_TRUE(log.contains(kLogicError));
    }
    EXPECT_TRUE(sysdb_mutex.try_lock());
    sysdb_mutex.unlock();
    // the transaction is ended with what was written before the failure, and no "GPS_DATA"
    expect_fields(batch(), parse(R"({"GPS_DATA_TS": 2.0, "GPS_TTFF_ISO8601": "X",
                                     "GPS_LAT": 1.0})"));
    EXPECT_EQ(batch()["GPS_DATA"], before);
    EXPECT_EQ(pass(R"({"TPV": {"time": "U", "lat": 4.0}})", 4.0), 0);
    expect_fields(batch(), parse(R"({"GPS_LAT": 4.0, "GPS_DATA": {"time": "U", "ts": 4.0}})"));

    for (const char* c :
         {R"({"validity": "yes"})", R"({"TPV": [1, 2]})", R"({"TPV": {"lat": 5.0, "mode": "3D"}})",
          R"({"SKY": {"satellites": [{"PRN": "G01"}]}})"}) {
        navtest::LogCapture log;
        EXPECT_EQ(pass(c, 5.0), -1) << c;
        EXPECT_TRUE(log.contains(kLogicError)) << c;
        EXPECT_EQ(pass("{}", 6.0), 0) << c;
    }
}

// Another connection sees each pass's batch whole or not at all.
TEST_F(FixRecordTest, AnotherConnectionSeesWholeBatches) {
    std::atomic<bool> stop{false};
    std::atomic<int> checked{0}, torn{0};
    std::thread reader([&] {  // a thread has its own connection
        while (!stop) {
            const Json::Value b = batch();
            if (!b.isMember("GPS_DATA")) continue;
            const double ts = b["GPS_DATA_TS"].asDouble();
            const std::string gga = "$GPGGA," + std::to_string(static_cast<int>(ts) * 10000);
            const bool whole = b["GPS_DATA"]["ts"] == ts && b["GPS_LAT"] == ts &&
                               b["GPS_VALID"] == 1 && b["GPS_DATA"]["lat_dd"] == ts &&
                               b["GPS_NMEA_GPGGA"].asString().rfind(gga + ".00,", 0) == 0;
            if (!whole) ++torn;
            ++checked;
        }
        sysdb_reset_thread_connection();
    });
    for (int i = 10; i < 60; ++i) {
        Json::Value s = parse(R"({"validity": true})");
        s["ts"] = s["TPV"]["lat"] = i;
        s["calc_hhmmss"] = i * 10000;
        ASSERT_EQ(saveGpsDataSysdb(s), 0);
    }
    navtest::wait_for([&] { return checked.load() > 20; }, 5000);
    stop = true;
    reader.join();
    EXPECT_GT(checked.load(), 0);
    EXPECT_EQ(torn.load(), 0);
}

}  // namespace
