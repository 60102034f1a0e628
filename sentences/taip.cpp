// TAIP position/velocity (PV) and long navigation (LN) reports. Stored as they are: no
// checksum, no line end.
#include <cmath>
#include <cstdio>

#include "platform/base/numeric.h"
#include "platform/sysdb/sysdb.h"
#include "sentences/sentences.h"

using navnum::trunc_to;

namespace {

// Sign, whole degrees and seven truncated decimals of a coordinate.
struct TaipAngle {
    char sign;
    unsigned degrees;
    unsigned fraction7;
};

TaipAngle taip_angle(double value) {
    TaipAngle a;
    a.sign = value < 0 ? '-' : '+';
    navnum::split_whole(std::fabs(value), 10000000.0, &a.degrees, &a.fraction7);
    return a;
}

}  // namespace

void generate_taip(sysdb::Batch& batch, Json::Value& fix, char status, char* buf, size_t size,
                   bool* fix_seen) {
    const TaipAngle lat = taip_angle(fix["lat_dd"].asDouble());
    const TaipAngle lon = taip_angle(fix["lon_dd"].asDouble());
    const double speed = fix["speedNMEA"].asDouble();
    const double heading_deg = fix["headingNMEA"].asDouble();
    const int mode = fix["gpsdMode"].asInt();

    const unsigned seconds = static_cast<unsigned>(seconds_of_day(fix["calcHHMMSS"].asInt()));
    unsigned heading, heading_tenths;
    navnum::split_whole(heading_deg, 10.0, &heading, &heading_tenths);
    const int source = mode == 2 ? 0 : mode == 3 ? 1 : 9;
    int age;
    if (status == 'A') {
        *fix_seen = true;
        age = 2;
    } else {
        age = *fix_seen ? 1 : 0;
    }

    int n = snprintf(buf, size, ">RPV%05u%c%02u%05u%c%03u%05u%03u%03u%01d%01d<", seconds, lat.sign,
                     lat.degrees, lat.fraction7 / 100, lon.sign, lon.degrees, lon.fraction7 / 100,
                     trunc_to<unsigned>(speed * 2.236936), heading, source, age);
    if (fits(n, size)) batch.write_str("GPS_TAIP_PV", buf);

    const double feet = fix["altitude"].asDouble() * 3.28084;
    const double east = fix["eastVelocity"].asDouble();
    const double north = fix["northVelocity"].asDouble();
    const double up = navnum::single(fix["upVelocity"].asDouble());
    const int sats_in_use = fix["nSatsInUse"].asInt();

    unsigned alt_whole, alt_hundredths;
    navnum::split_whole(std::fabs(feet), 100.0, &alt_whole, &alt_hundredths);
    const double horizontal =
        static_cast<double>(std::sqrt(navnum::to_float(north * north + east * east))) * 2.236936;
    unsigned h_whole, h_tenths;
    navnum::split_whole(horizontal, 10.0, &h_whole, &h_tenths);
    unsigned v_whole, v_tenths;
    navnum::split_whole(std::fabs(up) * 2.236936, 10.0, &v_whole, &v_tenths);

    n = snprintf(buf, size,
                 ">RLN%05u000%c%02u%07u%c%03u%07u%c%06u%02u%03u%01u%c%03u%01u%03u%01u%02d", seconds,
                 lat.sign, lat.degrees, lat.fraction7, lon.sign, lon.degrees, lon.fraction7,
                 feet < 0 ? '-' : '+', alt_whole, alt_hundredths, h_whole, h_tenths, '+', v_whole,
                 v_tenths, heading, heading_tenths, sats_in_use);
    if (!fits(n, size)) return;
    size_t used = static_cast<size_t>(n);

    // One entry per used satellite, at most "nSatsInUse" of them (but at least one).
    Json::Value& sats = fix["sats"];
    int listed = 0;
    for (Json::ArrayIndex i = 0; i < sats.size(); ++i) {
        Json::Value& sat = sats[i];
        if (!sat["used"].asBool()) continue;
        const int prn = sat["PRN"].asInt();
        const size_t room = size - used;
        n = prn <= 99 ? snprintf(buf + used, room, "%02d00", prn)
                      : snprintf(buf + used, room, "0x%2X00", static_cast<unsigned>(prn));
        if (!fits(n, room)) return;
        used += static_cast<size_t>(n);
        if (++listed >= sats_in_use) break;
    }

    const size_t room = size - used;
    n = snprintf(buf + used, room, "0000000000%01d%01d<", source, age);
    if (fits(n, room)) batch.write_str("GPS_TAIP_LN", buf);
}
