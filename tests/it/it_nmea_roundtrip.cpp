// The stored $GPRMC, $GPGGA and $GPGSA fed back into a real gpsd as if a receiver sent them:
// gpsd must decode the position (to the truncated fourth decimal of minutes), speed, course
// and date the writer started from.
#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <string>

#include "core/core.h"
#include "platform/platform.h"
#include "platform/sysdb.h"
#include "publish/publish.h"
#include "tests/support/gpsd_fixture.h"
#include "tests/support/support.h"

namespace {

struct Fix {
    double lat, lon, speed, track, alt;
    int hhmmss;
};

const Fix kFixes[] = {
    {52.123456, -1.234567, 12.3, 271.5, 123.4, 163001},
    {-33.8688, 151.2093, 0.0, 0.0, 58.0, 163002},
    {0.5, -0.25, 33.3, 359.9, -12.7, 163003},
    {64.1466, -21.9426, 1.0, 90.0, 0.0, 163004},
    {-12.0464, -77.04281, 55.55, 180.25, 3400.9, 163005},
};
constexpr int kDate = 210925;  // 21 September 2025

std::string stored(const char* key) {
    sysdb_value v;
    EXPECT_EQ(sysdb_namedb_read_value(nullptr, "GPS", key, &v), 0) << key;
    return v.text;
}

Json::Value parse(const std::string& text) {
    Json::Value v;
    Json::Reader().parse(text, v);
    return v;
}

// What a ddmm.mmmm field can carry of a coordinate: minutes truncated to four decimals.
double truncated_degrees(double v) {
    const double a = std::fabs(v);
    const double d = std::trunc(a);
    const double minutes = std::trunc((a - d) * 60.0 * 10000.0) / 10000.0;
    return std::copysign(d + minutes / 60.0, v);
}

TEST(NmeaRoundTrip, GpsdDecodesTheStoredSentences) {
    navtest::TempDir root;
    navtest::ScopedEnv sysdb_env("SYSDB_PATH", root / "sysdb.sqlite");
    sysdb_reset_thread_connection();
    publish_reset_for_test();

    // One epoch per fix, alternating the two $GPRMC variants.
    std::string recording = "# sentences stored by the fix record writer\n";
    int n = 0;
    for (const Fix& f : kFixes) {
        Json::Value s = parse(R"({"validity": true, "iso8601": "x", "TPV": {"mode": 3},
            "SKY": {"hdop": 0.9, "vdop": 1.2, "pdop": 1.5, "satellites": [
                {"PRN": 3, "used": true}, {"PRN": 7, "used": true}, {"PRN": 11, "used": true},
                {"PRN": 19, "used": true}, {"PRN": 22, "used": false}]}})");
        s["ts"] = 100.0 + n;
        s["calc_hhmmss"] = f.hhmmss;
        s["calc_ddmmyy"] = kDate;
        s["TPV"]["lat"] = f.lat;
        s["TPV"]["lon"] = f.lon;
        s["TPV"]["speed"] = f.speed;
        s["TPV"]["track"] = f.track;
        s["TPV"]["alt"] = f.alt;
        ASSERT_EQ(saveGpsDataSysdb(s), 0);
        recording += stored(n % 2 ? "GPS_NMEA_GPRMC_V3" : "GPS_NMEA_GPRMC_V2");
        recording += stored("GPS_NMEA_GPGGA");
        recording += stored("GPS_NMEA_GPGSA");
        ++n;
    }
    navtest::write_file(root / "stored.nmea", recording);

    navtest::GpsdFixtureOptions options;
    options.rate = 5;
    options.loop = true;  // epochs sent before the watch connected come round again
    navtest::GpsdFixture fx(root.path(), root / "stored.nmea", options);
    ASSERT_TRUE(fx.ok());
    navtest::GpsdWatch watch(fx.gpsd_port(), false);
    ASSERT_TRUE(watch.connected());

    // Per fix time, the TPV with the most complete fix (gpsd may report an epoch before its
    // $GPGSA has arrived).
    std::map<std::string, Json::Value> tpv_by_time;
    const bool all = navtest::wait_for(
        [&] {
            for (const std::string& line : watch.collect(100)) {
                const Json::Value r = parse(line);
                if (r["class"].asString() != "TPV" || !r.isMember("lat") || !r.isMember("time"))
                    continue;
                Json::Value& slot = tpv_by_time[r["time"].asString()];
                if (slot.isNull() || r["mode"].asInt() >= slot["mode"].asInt()) slot = r;
            }
            size_t seen = 0;
            for (const Fix& f : kFixes) {
                char t[32];
                snprintf(t, sizeof t, "2025-09-21T%02d:%02d:%02d", f.hhmmss / 10000,
                         f.hhmmss / 100 % 100, f.hhmmss % 100);
                for (const auto& kv : tpv_by_time)
                    if (kv.first.rfind(t, 0) == 0 && kv.second["mode"].asInt() == 3) ++seen;
            }
            return seen >= sizeof kFixes / sizeof kFixes[0];
        },
        30000);
    EXPECT_TRUE(all) << recording;

    for (const Fix& f : kFixes) {
        char t[32];
        snprintf(t, sizeof t, "2025-09-21T%02d:%02d:%02d", f.hhmmss / 10000, f.hhmmss / 100 % 100,
                 f.hhmmss % 100);
        const Json::Value* r = nullptr;
        for (const auto& kv : tpv_by_time)
            if (kv.first.rfind(t, 0) == 0) r = &kv.second;
        if (r == nullptr) {
            ADD_FAILURE() << "no TPV for " << t;
            continue;
        }
        SCOPED_TRACE(t);
        // The decoded coordinate is the truncated one, within the rounding of gpsd's own
        // arithmetic (well under a millimetre).
        EXPECT_NEAR((*r)["lat"].asDouble(), truncated_degrees(f.lat), 1e-9);
        EXPECT_NEAR((*r)["lon"].asDouble(), truncated_degrees(f.lon), 1e-9);
        EXPECT_LE(std::fabs(f.lat - (*r)["lat"].asDouble()), 0.0001 / 60 + 1e-9);
        EXPECT_LE(std::fabs(f.lon - (*r)["lon"].asDouble()), 0.0001 / 60 + 1e-9);
        // Knots carry one decimal, rounded: within 0.05 kn (0.026 m/s).
        EXPECT_NEAR((*r)["speed"].asDouble(), f.speed, 0.026);
        // The course is whole degrees, truncated.
        EXPECT_DOUBLE_EQ((*r)["track"].asDouble(), std::trunc(static_cast<float>(f.track)));
        // $GPGGA's altitude: whole metres, truncated toward zero; $GPGSA gives the 3D mode.
        EXPECT_DOUBLE_EQ((*r)["altMSL"].asDouble(), std::trunc(static_cast<float>(f.alt)));
        EXPECT_EQ((*r)["mode"].asInt(), 3);
    }
    fx.stop();
    publish_reset_for_test();
}

}  // namespace
