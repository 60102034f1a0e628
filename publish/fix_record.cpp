// FixRecord: the publication view of the fix that the writer keeps from pass to pass and stores
// as "GPS_DATA", and the derivations it carries.
#include "publish/fix_record.h"

#include <cmath>
#include <cstdio>

#include "platform/base/numeric.h"
#include "platform/sysdb/sysdb.h"
#include "publish/publish.h"

using navnum::single;
using navnum::trunc_to;

namespace {

// The value of pi the published coordinates have always been computed with.
constexpr double kPi = 3.1415926535898;

Json::Value last_valid(sysdb::Database& db, const char* key) {
    double v = 0.0;
    if (db.read_dbl("GPS", key, &v) != 0) v = 0.0;
    return Json::Value(v);
}

std::string format_f(double v) {
    char text[64];  // a float's largest magnitude prints in 46 characters with "%f"
    const int n = snprintf(text, sizeof text, "%f", v);
    return n >= 0 && static_cast<size_t>(n) < sizeof text ? std::string(text, n) : std::string();
}

}  // namespace

double deg_to_rad(double degrees) {
    return (degrees * kPi) / 180.0;
}

void fix_record_init(Json::Value& fix, sysdb::Database& db) {
    fix = Json::Value(Json::objectValue);
    fix["time"] = "0";
    fix["speedStrNMEA"] = "0";
    fix["headingStrNMEA"] = "0";
    fix["speedNMEA"] = 0.0;
    fix["headingNMEA"] = 0.0;
    fix["eastVelocity"] = 0.0;
    fix["northVelocity"] = 0.0;
    fix["upVelocity"] = 0.0;
    fix["nSatellites"] = Json::Value(0u);
    fix["nSatsInUse"] = 0;
    fix["statusCode"] = 1;
    fix["dataInvalid"] = 3;
    fix["gpsMode"] = 78;  // 'N'
    fix["gpsdMode"] = 0;
    Json::Value lat = last_valid(db, "GPS_LAST_VALID_LAT");
    Json::Value lon = last_valid(db, "GPS_LAST_VALID_LON");
    fix["lat_dd"] = lat;
    fix["lon_dd"] = lon;
    fix["latitude"] = 0.0;
    fix["longitude"] = 0.0;
    fix["altitude"] = 0.0;
    fix["xPosition"] = 0.0;
    fix["yPosition"] = 0.0;
    fix["zPosition"] = 0.0;
    fix["hdop"] = 99.0;
    fix["pdop"] = 99.0;
    fix["vdop"] = 99.0;
    fix["sats"] = Json::Value(Json::arrayValue);
    fix["calcHHMMSS"] = 0;
    fix["calcDDMMYY"] = 10170;  // 01-01-1970
}

void fix_record_set_date_time(Json::Value& fix, const Json::Value& snapshot) {
    fix["calcHHMMSS"] = trunc_to<int32_t>(snapshot["calc_hhmmss"].asDouble());
    fix["calcDDMMYY"] = trunc_to<int32_t>(snapshot["calc_ddmmyy"].asDouble());
}

void fix_record_set_validity(Json::Value& fix, bool valid) {
    fix["statusCode"] = valid ? 0 : 1;
    fix["dataInvalid"] = valid ? 0 : 3;
}

void fix_record_set_speed(Json::Value& fix, double s) {
    fix["speedStrNMEA"] = format_f(s * 1.9438461718);
    fix["speedNMEA"] = s;
}

void fix_record_set_track(Json::Value& fix, double t) {
    const double v = single(fix["speedNMEA"].asDouble());
    fix["headingStrNMEA"] = format_f(t);
    fix["headingNMEA"] = t;
    // The four cardinal headings give exact components, without sine and cosine rounding.
    double east, north;
    if (t == 0.0) {
        east = 0.0;
        north = v;
    } else if (t == 90.0) {
        east = v;
        north = 0.0;
    } else if (t == 180.0) {
        east = 0.0;
        north = -v;
    } else if (t == 270.0) {
        east = -v;
        north = 0.0;
    } else {
        const double r = deg_to_rad(t);
        east = v * std::sin(r);  // track is clockwise from north
        north = v * std::cos(r);
    }
    fix["eastVelocity"] = east;
    fix["northVelocity"] = north;
}

Json::Value fix_record_satellite(const Json::Value& sat) {
    Json::Value entry(Json::objectValue);
    entry["PRN"] = sat.isMember("PRN") ? sat["PRN"].asInt() : 0;
    entry["used"] = sat.isMember("used") && sat["used"].asBool();
    entry["az"] = sat.isMember("az") ? trunc_to<int>(sat["az"].asDouble()) : 0;
    entry["el"] = sat.isMember("el") ? trunc_to<int>(sat["el"].asDouble()) : 0;
    entry["ss"] = sat.isMember("ss") ? trunc_to<int>(sat["ss"].asDouble()) : 0;
    return entry;
}

void toGeocentric(Json::Value& fix) {
    constexpr double a = 6378137.0;
    constexpr double e2 = 0.006694380004260835;  // (a^2 - b^2) / a^2 for b = 6356752.3142
    const double phi = single(fix["latitude"].asDouble());
    const double lambda = single(fix["longitude"].asDouble());
    const double h = single(fix["altitude"].asDouble());
    const double w = 1.0 - (std::sin(phi) * e2) * std::sin(phi);
    const double n = a / std::sqrt(w);
    fix["xPosition"] = std::cos(lambda) * ((h + n) * std::cos(phi));
    fix["yPosition"] = std::sin(lambda) * ((h + n) * std::cos(phi));
    fix["zPosition"] = ((1.0 - e2) * n + h) * std::sin(phi);
}
