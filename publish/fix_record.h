// FixRecord updates used by the fix record writer.
#pragma once

#include <json/json.h>

namespace sysdb {
class Database;
}

// (degrees * pi) / 180 with the pi the published values have always used.
double deg_to_rad(double degrees);
// First-call values; seeds "lat_dd"/"lon_dd" from the last valid position in "GPS".
void fix_record_init(Json::Value& fix, sysdb::Database& db);
void fix_record_set_date_time(Json::Value& fix, const Json::Value& snapshot);
void fix_record_set_validity(Json::Value& fix, bool valid);
// s and t are already single precision.
void fix_record_set_speed(Json::Value& fix, double s);
void fix_record_set_track(Json::Value& fix, double t);
// The "sats" entry of one SKY satellite.
Json::Value fix_record_satellite(const Json::Value& sat);
