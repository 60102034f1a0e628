// NMEA sentences and TAIP reports built from a FixRecord and stored in a private database.
#include <limits>

#include "sentences/sentences.h"
#include "tests/support/support.h"

// The worked example (09:30:15 on 1 January 1970 at 52.5 N 1.25 W, 10 m/s heading 45.7, 12 in use,
// "_sats" (13) used) with `overrides` merged in; "_nan": NaN position, speed and altitude.
static Json::Value record(const std::string& overrides) {
    Json::Value o = navtest::json(overrides), fix = navtest::json(R"({"headingNMEA": 45.7,
        "speedNMEA": 10.0, "altitude": 123.9, "hdop": 0.94, "calcHHMMSS": 93015, "calcDDMMYY":
        10170, "lat_dd": 52.5, "lon_dd": -1.25, "nSatsInUse": 12, "pdop": 1.5, "vdop": 99.0,
        "gpsdMode": 3, "eastVelocity": 6, "northVelocity": 8})");
    for (int prn = 1; prn <= o.get("_sats", 13).asInt(); ++prn) fix["sats"][prn - 1]["PRN"] = prn;
    for (auto& sat : fix["sats"]) sat["used"] = true;
    for (const auto& name : o.getMemberNames()) fix[name] = o[name];
    for (const char* m : {"speedNMEA", "headingNMEA", "altitude", "lat_dd", "lon_dd"})
        if (o.isMember("_nan")) fix[m] = std::numeric_limits<double>::quiet_NaN();
    return fix;
}

// Each record through one generator, whose TAIP age remembers a report with a fix. Texts: one that
// starts a sentence is all of it (NMEA: bar the checksum), "-" none, else a part; spaces ignored.
TEST(Sentences, StoredTexts) {
    const std::string p = "5230.0000,N,00115.0000,W", rmc = "$GPRMC,093015.00,A," + p,
                      sc = ",019.4,045.0,010170,";  // speed, course, date
    const std::tuple<const char*, const char*, std::string> cases[] = {
        // status V: fix quality 0, the V3 sentence still ends in A; TAIP age 0 before a fix
        {R"({"statusCode": 1, "nSatsInUse": 3, "hdop": 12.25, "altitude": -12.7})",
         "GPS_NMEA_GPGGA", p + ",0,3,12.2,-00012,M,"},
        {R"({"statusCode": 1})", "GPS_NMEA_GPRMC_V3", "$GPRMC,093015.00,V," + p + sc + ",,A"},
        {R"({"statusCode": 1})", "GPS_TAIP_PV", "04510<"},
        // the worked example; of thirteen used satellites the first twelve
        {"{}", "GPS_NMEA_PGPS", "$PGPS,093015.00,A," + p + sc + "+00123,12,123456789012345"},
        {"{}", "GPS_NMEA_GPGGA", "$GPGGA,093015.00," + p + ",1,12,0.9,+00123,M,,M,,0000"},
        {"{}", "GPS_NMEA_GPRMC_V2", rmc + sc + ","},
        {"{}", "GPS_NMEA_GPRMC_V3", rmc + sc + ",,A"},
        {"{}", "GPS_NMEA_GPGSA", "$GPGSA,A,3,01,02,03,04,05,06,07,08,09,10,11,12,01.5,00.9,99.0"},
        {"{}", "GPS_NMEA_BTVEG", "$BTVEG,89012345,34215," + p + ",022,045,A,T,T"},
        {R"({"_imei": "123"})", "GPS_NMEA_BTVEG", "BTVEG,00000123,"},
        {"{}", "GPS_TAIP_PV", ">RPV34215 +5250000 -00125000 022 045 1 2<"},
        {"{}", "GPS_TAIP_LN",
         ">RLN34215000 +525000000 -0012500000 +00040649 0223 +0000 0457 12 0100 0200 0300 0400"
         " 0500 0600 0700 0800 0900 1000 1100 1200 0000000000 12<"},
        {R"({"statusCode": 1})", "GPS_TAIP_PV", "04511<"},  // age 1 after a fix
        // knots rounded to one decimal, course truncated, minutes truncated to four decimals
        // (0.2 degrees is 11.99999...); below 0 gives 0, the 16-bit fields saturate
        {R"({"statusCode": 2, "calcHHMMSS": 5, "lat_dd": -33.5, "lon_dd": 151.2, "speedNMEA": 5.12,
             "headingNMEA": 359.99})",
         "GPS_NMEA_GPRMC_V2", "RMC,000005.00,A,3330.0000,S,15111.9999,E,010.0,359.0,"},
        {R"({"lat_dd": 0.99999999, "lon_dd": 0, "speedNMEA": -10.0, "headingNMEA": -5.5})",
         "GPS_NMEA_GPRMC_V2", ",0059.9999,N,00000.0000,E,000.0,000.0,"},
        {R"({"speedNMEA": 1e30, "headingNMEA": 1e12, "altitude": 999999.9})", "GPS_NMEA_PGPS",
         ",65535.0,65535.0,010170,+999999,"},
        {R"({"gpsdMode": 0})", "GPS_NMEA_GPGSA", "GSA,A,1,01,"},
        {R"({"gpsdMode": 2, "sats": [], "pdop": 99.0, "hdop": 1.0, "vdop": 0.25})",
         "GPS_NMEA_GPGSA", "$GPGSA,A,2,00,00,00,00,00,00,00,00,00,00,00,00,99.0,01.0,00.2"},
        {R"({"sats": [{"PRN": 5, "used": false}, {"PRN": 120, "used": true}, {"PRN": 7}]})",
         "GPS_NMEA_GPGSA", "GSA,A,3,120,00,"},
        // TAIP: source 9 and 0; signs and truncated fractions; 328.084 ft; vertical speed as a
        // magnitude; one entry per used satellite
        {R"({"gpsdMode": 0})", "GPS_TAIP_PV", "04592<"},
        {R"({"gpsdMode": 2})", "GPS_TAIP_PV", "04502<"},
        {R"({"lat_dd": -0.000001, "lon_dd": 179.123456789, "speedNMEA": -3})", "GPS_TAIP_PV",
         ">RPV34215 -0000000 +17912345 000 045 1 2<"},
        {R"({"altitude": 100.0, "sats": [], "nSatsInUse": 0})", "GPS_TAIP_LN",
         "+00032808 0223 +0000 0457 00 0000000000 12<"},
        {R"({"altitude": -10.0, "nSatsInUse": 2, "upVelocity": -1.0, "northVelocity": -8.0,
             "sats": [{"PRN": 7, "used": true}, {}, {"PRN": 120, "used": true}]})",
         "GPS_TAIP_LN", "-00003280 0223 +0022 0457 02 0700 0x7800 0000000000 12<"},
        // a text that cannot be built is not stored; a member of the wrong type ends the
        // generation where it is read
        {R"({"altitude": 1e6})", "GPS_NMEA_PGPS", "-"},
        {R"({"lat_dd": "52.5"})", "GPS_NMEA_PGPS", "-"},
        {R"({"sats": [{"PRN": "x", "used": true}]})", "GPS_NMEA_GPGSA", "-"},
        {R"({"eastVelocity": [1]})", "GPS_TAIP_PV", "RPV"},
        {R"({"eastVelocity": [1]})", "GPS_TAIP_LN", "-"},
        // NaN reads as 0 wherever it lands; a report too long for the buffer is not stored
        {R"({"_nan": 1, "_sats": 200, "nSatsInUse": 200})", "GPS_NMEA_PGPS",
         ",0000.0000,N,00000.0000,E,000.0,000.0,010170,+00000,200,"},
        {R"({"_nan": 1, "_sats": 200, "nSatsInUse": 200})", "GPS_TAIP_LN", "-"},
    };
    navtest::TestDb t;
    SentenceGenerator gen;
    for (const auto& [overrides, key, text] : cases) {
        t.db.del("GPS", key);
        Json::Value fix = record(overrides);
        sysdb::Batch batch(t.db, "GPS");  // as the writer runs it
        gen.generate_gps_nmea_msgs(batch, fix.get("_imei", "123456789012345").asCString(), fix);
        EXPECT_EQ(batch.end(), 0);
        const std::string got = navtest::stored(key);
        std::string want = text;
        want.erase(std::remove(want.begin(), want.end(), ' '), want.end());
        if (want[0] == '$') want = navtest::nmea_sentence(want);
        const bool whole = want == "-" || want[0] == '$' || want[0] == '>';
        EXPECT_EQ(whole || got.find(want) == std::string::npos ? got : want, want) << key;
    }
}
