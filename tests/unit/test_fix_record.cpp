// The fix record writer: FixRecord and the "GPS" batch of each pass, in a private database.
#include <optional>

#include "publish/publish.h"
#include "tests/support/support.h"

// Every key of "GPS" on this thread's connection, each as its JSON type.
static Json::Value batch() {
    std::vector<std::pair<std::string, sysdb_value>> rows;
    Json::Value b(Json::objectValue);
    sysdb_namedb_list(nullptr, "GPS", &rows);
    for (const auto& [key, v] : rows)
        b[key] = v.type == SYSDB_INT    ? Json::Value(static_cast<Json::Int64>(v.i))
                 : v.type == SYSDB_DBL  ? Json::Value(v.d)
                 : v.type == SYSDB_JSON ? navtest::json(v.text)
                                        : Json::Value(v.text);
    return b;
}

// Each member of want is in got (null: absent): doubles to 4 ulps, the rest equal and typed.
static void expect_fields(const Json::Value& got, const Json::Value& want) {
    for (const auto& name : want.getMemberNames()) {
        const Json::Value g = got.get(name, Json::Value()), &w = want[name];
        if (w.isObject())
            expect_fields(g, w);
        else if (w.type() == Json::realValue && g.type() == Json::realValue)
            EXPECT_DOUBLE_EQ(g.asDouble(), w.asDouble()) << name;
        else  // "GPS_NMEA_*": the checksum suffix worked out here
            EXPECT_EQ(g, name[4] == 'N' ? navtest::nmea_sentence(w.asString()) : w) << name;
    }
}

// One writer through passes; "_" members set the scene: the device identifier, the wake time
// (default 1000, "": unreadable), a restart, a new session's count, result -1; "full": no commit.
TEST(FixRecord, PassesAndTheirBatches) {
    navtest::TestDb t;
    const char* const passes[][2] = {
        // first-call values; the position is recomputed also from a TPV without one
        {R"({"ts": 12.5, "TPV": {"mode": 1, "speed": 5, "track": 90}})",
         R"({"GPS_VALID": null, "GPS_DATA_RAW": {"TPV": {"mode": 1}}, "GPS_DATA": {"time": "0",
          "statusCode": 1, "dataInvalid": 3, "gpsMode": 78, "hdop": 99.0, "pdop": 99.0, "sats": [],
          "xPosition": 6378137.0, "calcDDMMYY": 10170, "eastVelocity": 5.0, "ts": 12.5}})"},
        // every key with its type; of 3 satellites one is not GPS
        {R"({"_imei": "123456789", "ts": 1234.9, "validity": true, "iso8601": "T0",
          "calc_hhmmss": 93015.9, "calc_ddmmyy": 10324.7, "TPV": {"mode": 3, "time": "T1",
          "lat": 52.5, "lon": -1.25, "alt": 123.4, "speed": 10.0, "track": 45.7}, "SKY": {"hdop":
          0.94, "vdop": 1.25, "pdop": 1.5, "satellites": [{"PRN": 1, "used": true, "gnssid": 0,
          "az": 10.5, "el": 20.2, "ss": 38.7}, {}, {"used": true, "gnssid": 6}]}})",
         R"({"GPS_TTFF_UPTIME": 1234, "GPS_TTFF_WAKE": 234, "GPS_TTFF_ISO8601": "T0", "GPS_VALID":
          1, "GPS_ISO8601": "T1", "GPS_LON": -1.25, "GPS_LAT": 52.5, "GPS_ALT": 123.4000015258789,
          "GPS_VEL": 10.0, "GPS_VEL_KPH": 36.0, "GPS_VEL_MPH": 22.5, "GPS_HDG": 45.70000076293945,
          "GPS_HDOP": 0.94, "GPS_VDOP": 1.25, "GPS_PDOP": 1.5, "GPS_SATS": 3, "GPS_SATS_INUSE": 1,
          "GPS_DATA": {"dataInvalid": 0, "gpsMode": 65, "gpsdMode": 3, "speedStrNMEA": "19.438462",
          "headingStrNMEA": "45.700001", "sats": [{"PRN": 1, "used": true, "az": 10, "el": 20,
          "ss": 38}, {"PRN": 0, "used": false, "az": 0, "el": 0, "ss": 0}]}, "GPS_NMEA_PGPS":
          "$PGPS,093015.00,A,5230.0000,N,00115.0000,W,019.4,045.0,010324,+00123,1,123456789"})"},
        // x is not 0: the longitude in single precision; east the larger: pi is 3.1415926535898
        {R"({"ts": 1300, "TPV": {"lat": 45, "lon": 90, "alt": 100, "speed": 10, "track": 45}})",
         R"({"GPS_TTFF_UPTIME": 1234, "GPS_DATA": {"xPosition": -0.1974732633355288, "yPosition":
          4517661.491138005, "zPosition": 4487419.217901183, "eastVelocity": 7.071067811865488,
          "northVelocity": 7.071067811865462}})"},
        // out of range: saturated, no infinity in "GPS_DATA"; failed sentences fail no batch
        {R"({"ts": 1305, "calc_hhmmss": -1e20, "calc_ddmmyy": 1e20, "TPV": {"speed": 1e39}})",
         R"({"GPS_DATA": {"calcHHMMSS": -2147483648, "calcDDMMYY": 2147483647, "speedNMEA":
          3.4028234663852886e38}})"},
        // only valid positions seed the next process
        {R"({"ts": 1401, "validity": false, "TPV": {"lat": 10.0, "lon": 20.0}})",
         R"({"GPS_VALID": 0, "GPS_LAT": 10.0, "GPS_DATA": {"statusCode": 1, "dataInvalid": 3}})"},
        {R"({"_restart": 1, "ts": 1402})", R"({"GPS_DATA": {"lat_dd": 52.5, "lon_dd": -1.25}})"},
        // a member of the wrong type ends the batch with what was written before it
        {R"({"_fail": 1, "_wake": "", "ts": 1500, "validity": true, "TPV": {"time": 9}})",
         R"({"GPS_TTFF_UPTIME": 1500, "GPS_TTFF_WAKE": -1, "GPS_DATA": {"ts": 1402.0}})"},
        // first-fix keys: once per session count, still owed after a batch that did not land
        {R"({"_fail": 1, "_count": 7, "ts": 1600, "validity": true, "full": 1})",
         R"({"GPS_TTFF_UPTIME": 1500, "GPS_DATA_TS": 1500.0})"},
        {R"({"_wake": "1350", "ts": 1700.9, "validity": true, "iso8601": "B"})",
         R"({"GPS_TTFF_UPTIME": 1700, "GPS_TTFF_WAKE": 350, "GPS_TTFF_ISO8601": "B"})"},
        {R"({"_count": 7, "ts": 1800, "validity": true})", R"({"GPS_TTFF_UPTIME": 1700})"},
        {R"({"_count": 9, "_wake": "-5", "ts": 1e300, "validity": true})", R"({"GPS_TTFF_UPTIME":
          2147483647, "GPS_TTFF_WAKE": 2147483647, "GPS_DATA": {"ts": 1e300}})"},
    };
    t.db.write_str("SYS", "SYS_WAKE_TIME_UPTIME", "1000");  // and the schema of the file
    // The raw snapshot's key exists by then: its write is an update.
    navtest::sql_row(t.path, R"(CREATE TRIGGER f AFTER UPDATE ON kv WHEN NEW.value LIKE '%"full"%'
        BEGIN SELECT RAISE(ROLLBACK, 'full'); END)");
    std::optional<FixWriter> writer(std::in_place, t.db);
    navtest::LogCapture log;
    for (const auto& p : passes) {
        Json::Value s = navtest::json(p[0]), want = navtest::json(p[1]);
        SCOPED_TRACE(s["ts"].asDouble());
        if (s.isMember("_imei")) t.db.write_str("CELL", "CELL_IMEI", s["_imei"].asCString());
        t.db.write_str("SYS", "SYS_WAKE_TIME_UPTIME", s.get("_wake", "1000").asCString());
        if (s.isMember("_restart")) writer.emplace(t.db);
        if (s.isMember("_count")) writer->note_session_count(s["_count"].asInt());
        EXPECT_EQ(writer->saveGpsDataSysdb(s), s.isMember("_fail") ? -1 : 0);
        expect_fields(batch(), want);
    }
    EXPECT_TRUE(log.contains("could not read CELL_IMEI from sysdb, using 000000000000000"));
}
