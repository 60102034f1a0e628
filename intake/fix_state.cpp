// FixState (the latest gpsd reports and verdict, shared between the json_parser thread and the
// main thread) and the per-pass validity and time processing.
#include <string.h>
#include <time.h>

#include <cmath>
#include <cstdio>
#include <limits>
#include <mutex>

#include "intake/intake.h"
#include "mqtt/gps_mqtt.h"
#include "platform/platform.h"

std::atomic<bool> gps_valid{false};
std::atomic<int32_t> fix_lat_e6{0};
std::atomic<int32_t> fix_lon_e6{0};

namespace {

std::mutex fixstate_mutex;
Json::Value fixstate;  // null until the first store; never cleared

// Main thread only; all kept across sessions.
uint8_t stale_passes = 0;
double last_tpv_ts = 0.0;
struct tm fix_time {};
bool clock_from_system = true;
bool force_valid_log = true;

// A report older than this at the pass is not fresh.
constexpr double kFreshSeconds = 2.0;
// Passes without a fresh report that validity survives.
constexpr uint8_t kGracePasses = 2;

// Degrees to millionths, truncated toward zero; out-of-range values saturate, NaN gives 0.
int32_t degrees_to_e6(double degrees) {
    double v = degrees * 1e6;
    if (std::isnan(v)) return 0;
    if (v >= static_cast<double>(std::numeric_limits<int32_t>::max()))
        return std::numeric_limits<int32_t>::max();
    if (v <= static_cast<double>(std::numeric_limits<int32_t>::min()))
        return std::numeric_limits<int32_t>::min();
    return static_cast<int32_t>(v);
}

// Calendar arithmetic on 64-bit seconds of the proleptic Gregorian calendar, UTC. The device's
// time_t is 32 bits wide and ends in 2038: a date from the receiver never goes through it.
int64_t floor_div(int64_t a, int64_t b) {
    return a / b - ((a % b != 0) && ((a < 0) != (b < 0)));
}

// Days since 1970-01-01; month 1-12, a day outside the month counts on from its first day.
int64_t days_from_civil(int64_t y, int64_t m, int64_t d) {
    y -= m <= 2;
    const int64_t era = floor_div(y, 400);
    const int64_t yoe = y - era * 400;                                    // [0, 399]
    const int64_t doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;  // from 1 March
    const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

int64_t seconds_from_tm(const struct tm& t) {
    const int64_t months = 12LL * t.tm_year + t.tm_mon;  // since January 1900
    const int64_t days = days_from_civil(1900 + floor_div(months, 12),
                                         months - 12 * floor_div(months, 12) + 1, t.tm_mday);
    return days * 86400 + t.tm_hour * 3600LL + t.tm_min * 60LL + t.tm_sec;
}

// False (and `out` untouched) when the year does not fit a struct tm.
bool tm_from_seconds(int64_t s, struct tm& out) {
    const int64_t days = floor_div(s, 86400);
    const int64_t sod = s - days * 86400;
    const int64_t z = days + 719468;  // days since 0000-03-01
    const int64_t era = floor_div(z, 146097);
    const int64_t doe = z - era * 146097;
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int64_t mp = (5 * doy + 2) / 153;
    const int64_t month = mp < 10 ? mp + 3 : mp - 9;
    const int64_t year = yoe + era * 400 + (month <= 2);
    if (year - 1900 > std::numeric_limits<int>::max() ||
        year - 1900 < std::numeric_limits<int>::min())
        return false;
    out = {};
    out.tm_year = static_cast<int>(year - 1900);
    out.tm_mon = static_cast<int>(month - 1);
    out.tm_mday = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    out.tm_hour = static_cast<int>(sod / 3600);
    out.tm_min = static_cast<int>(sod / 60 % 60);
    out.tm_sec = static_cast<int>(sod % 60);
    return true;
}

// The next second after fix_time, or the system clock before the first fix.
void advance_fix_time() {
    const int64_t t =
        clock_from_system ? static_cast<int64_t>(time(nullptr)) : seconds_from_tm(fix_time) + 1;
    tm_from_seconds(t, fix_time);
}

void set_time_fields(Json::Value& snapshot) {
    // The year unpadded, as strftime's %Y writes it.
    char iso[48];
    snprintf(iso, sizeof iso, "%lld-%02d-%02dT%02d:%02d:%02dZ", 1900LL + fix_time.tm_year,
             fix_time.tm_mon + 1, fix_time.tm_mday, fix_time.tm_hour, fix_time.tm_min,
             fix_time.tm_sec);
    snapshot["iso8601"] = iso;
    snapshot["ts"] = fwtime_dbl(-1.0);

    long long hhmmss = fix_time.tm_hour * 10000LL + fix_time.tm_min * 100LL + fix_time.tm_sec;
    long long year = 1900LL + fix_time.tm_year;
    long long yy = ((year % 100) + 100) % 100;
    long long ddmmyy = fix_time.tm_mday * 10000LL + (fix_time.tm_mon + 1LL) * 100LL + yy;
    snapshot["calc_hhmmss"] = static_cast<double>(hhmmss);
    snapshot["calc_ddmmyy"] = static_cast<double>(ddmmyy);
}

}  // namespace

void fixstate_store(const char* member, const Json::Value& value) {
    Json::Value copy(value);  // copied before locking: the main thread waits on this mutex
    std::lock_guard<std::mutex> lock(fixstate_mutex);
    fixstate[member].swap(copy);
}

Json::Value fixstate_snapshot() {
    std::lock_guard<std::mutex> lock(fixstate_mutex);
    return fixstate;
}

void process_gps_data(Json::Value& snapshot, gpsMqtt* client) {
    const bool prev_valid = gps_valid.load();
    const double now = fwtime_dbl(-1.0);

    if (!snapshot.isObject()) {
        nm_log(LOG_WARNING, "process_gps_data: gps_data is not an object, resetting");
        snapshot = Json::Value(Json::objectValue);
    }

    if (stale_passes < std::numeric_limits<uint8_t>::max()) ++stale_passes;

    const Json::Value& tpv = static_cast<const Json::Value&>(snapshot)["TPV"];
    bool fresh = false;
    if (tpv.isMember("ts") && tpv.isMember("mode")) {
        double ts = tpv["ts"].asDouble();
        if (ts != last_tpv_ts) {
            last_tpv_ts = ts;
            if (now - ts < kFreshSeconds && tpv["mode"].asUInt() > 1) {
                fresh = true;
                stale_passes = 0;
                clock_from_system = false;
            }
        }
    }

    bool valid;
    if (fresh) {
        valid = true;
    } else if (stale_passes > kGracePasses) {
        stale_passes = kGracePasses;
        valid = false;
    } else {
        valid = prev_valid;
    }

    if (valid) {
        memset(&fix_time, 0, sizeof fix_time);
        std::string when = tpv["time"].asString();
        // A partial match (a fraction of a second before the "Z") keeps the fields it read.
        strptime(when.c_str(), "%FT%TZ", &fix_time);
        fix_lat_e6.store(degrees_to_e6(tpv["lat"].asDouble()));
        fix_lon_e6.store(degrees_to_e6(tpv["lon"].asDouble()));
    } else {
        advance_fix_time();
    }

    snapshot["validity"] = valid;
    fixstate_store("validity", Json::Value(valid));
    set_time_fields(snapshot);

    set_gps_valid(valid);
    if (client != nullptr) client->update_gps_led(valid);
    gps_valid.store(valid);
}

void set_gps_valid(bool valid) {
    nm_log(LOG_DEBUG, "Setting gps valid:%u", valid ? 1u : 0u);
    if (!force_valid_log && gps_valid.load() == valid) return;
    double lat = fix_lat_e6.load() / 1e6;
    double lon = fix_lon_e6.load() / 1e6;
    if (valid) {
        nm_log(LOG_ALERT, "GPS valid (%.6lf, %.6lf)", lat, lon);
    } else {
        nm_log(LOG_ALERT, "GPS invalid (%.6lf, %.6lf)", lat, lon);
    }
    gps_valid.store(valid);
    force_valid_log = false;
}

void intake_reset_for_test() {
    {
        std::lock_guard<std::mutex> lock(fixstate_mutex);
        fixstate = Json::Value();
    }
    stale_passes = 0;
    last_tpv_ts = 0.0;
    memset(&fix_time, 0, sizeof fix_time);
    clock_from_system = true;
    force_valid_log = true;
    gps_valid.store(false);
    fix_lat_e6.store(0);
    fix_lon_e6.store(0);
    partial_json_clear();
}
