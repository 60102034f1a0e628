// The stored $GPRMC, $GPGGA and $GPGSA fed back into a real gpsd as if a receiver sent them:
// gpsd must decode the position (to the truncated fourth decimal of minutes), speed, course,
// altitude and date the writer started from.
#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <string>

#include "platform/sysdb.h"
#include "publish/publish.h"
#include "tests/support/gpsd_fixture.h"
#include "tests/support/support.h"

namespace {

const struct {
    double lat, lon, speed, track, alt;
} kFixes[] = {{52.123456, -1.234567, 12.3, 271.5, 123.4},
              {-33.8688, 151.2093, 0.0, 0.0, 58.0},
              {0.5, -0.25, 33.3, 359.9, -12.7},
              {-12.0464, -77.04281, 55.55, 180.25, 3400.9}};

Json::Value parse(const std::string& text) {
    Json::Value v;
    Json::Reader().parse(text, v);
    return v;
}

// What a ddmm.mmmm field can carry of a coordinate: minutes truncated to four decimals.
double truncated(double v) {
    const double d = std::trunc(std::fabs(v));
    return std::copysign(d + std::trunc((std::fabs(v) - d) * 600000.0) / 600000.0, v);
}

TEST(NmeaRoundTrip, GpsdDecodesTheStoredSentences) {
    navtest::TempDir root;
    navtest::ScopedEnv sysdb_env("SYSDB_PATH", root / "sysdb.sqlite");
    sysdb_reset_thread_connection();
    publish_reset_for_test();
    std::string recording;  // one epoch per fix at 16:30:0n on 21 September 2025
    for (int n = 0; n < 4; ++n) {
        Json::Value s = parse(R"({"validity": true, "calc_ddmmyy": 210925, "TPV": {"mode": 3},
            "SKY": {"hdop": 0.9, "pdop": 1.5, "satellites": [{"PRN": 3, "used": true},
                {"PRN": 7, "used": true}, {"PRN": 11, "used": true}, {"PRN": 19, "used": true}]}})");
        s["ts"] = 100.0 + n;
        s["calc_hhmmss"] = 163001 + n;
        s["TPV"]["lat"] = kFixes[n].lat;
        s["TPV"]["lon"] = kFixes[n].lon;
        s["TPV"]["speed"] = kFixes[n].speed;
        s["TPV"]["track"] = kFixes[n].track;
        s["TPV"]["alt"] = kFixes[n].alt;
        ASSERT_EQ(saveGpsDataSysdb(s), 0);
        for (const char* key : {n % 2 ? "GPS_NMEA_GPRMC_V3" : "GPS_NMEA_GPRMC_V2", "GPS_NMEA_GPGGA",
                                "GPS_NMEA_GPGSA"}) {
            sysdb_value v;
            ASSERT_EQ(sysdb_namedb_read_value(nullptr, "GPS", key, &v), 0) << key;
            recording += v.text;
        }
    }
    navtest::write_file(root / "stored.nmea", recording);

    navtest::GpsdFixtureOptions options;
    options.rate = 5;
    options.loop = true;  // epochs sent before the watch connected come round again
    navtest::GpsdFixture fx(root.path(), root / "stored.nmea", options);
    ASSERT_TRUE(fx.ok());
    navtest::GpsdWatch watch(fx.gpsd_port(), false);
    ASSERT_TRUE(watch.connected());
    // Per second of 16:30, the first 3D TPV (gpsd may report an epoch before its $GPGSA).
    std::map<int, Json::Value> tpv;
    const bool all = navtest::wait_for(
        [&] {
            for (const std::string& line : watch.collect(100)) {
                const Json::Value r = parse(line);
                const std::string t = r["time"].asString();
                if (r["class"] == "TPV" && r["mode"] == 3 && t.rfind("2025-09-21T16:30:0", 0) == 0)
                    tpv.emplace(t[18] - '0', r);
            }
            return tpv.size() >= 4;
        },
        30000);
    EXPECT_TRUE(all) << recording;
    for (int n = 0; n < 4 && all; ++n) {
        SCOPED_TRACE(n);
        const Json::Value& r = tpv[n + 1];
        EXPECT_NEAR(r["lat"].asDouble(), truncated(kFixes[n].lat), 1e-9);
        EXPECT_NEAR(r["lon"].asDouble(), truncated(kFixes[n].lon), 1e-9);
        EXPECT_NEAR(r["speed"].asDouble(), kFixes[n].speed, 0.026);  // 0.05 kn
        // course and altitude: whole units, truncated
        EXPECT_DOUBLE_EQ(r["track"].asDouble(), std::trunc(static_cast<float>(kFixes[n].track)));
        EXPECT_DOUBLE_EQ(r["altMSL"].asDouble(), std::trunc(static_cast<float>(kFixes[n].alt)));
    }
    fx.stop();
    publish_reset_for_test();
}

}  // namespace
