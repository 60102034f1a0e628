// FixState (the latest gpsd reports and verdict, shared between the json_parser thread and the
// main thread) and the per-pass validity and time processing.
#include <string.h>
#include <time.h>

#include <cstdio>
#include <limits>

#include "intake/intake.h"
#include "platform/base/base.h"
#include "platform/base/numeric.h"
#include "platform/clock/clock.h"
#include "platform/led/led.h"

namespace {

// A report older than this at the pass is not fresh.
constexpr double kFreshSeconds = 2.0;
// Passes without a fresh report that validity survives.
constexpr uint8_t kGracePasses = 2;

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

void set_time_fields(const struct tm& t, Json::Value& snapshot) {
    // The year unpadded, as strftime's %Y writes it.
    char iso[48];
    snprintf(iso, sizeof iso, "%lld-%02d-%02dT%02d:%02d:%02dZ", 1900LL + t.tm_year, t.tm_mon + 1,
             t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec);
    snapshot["iso8601"] = iso;
    snapshot["ts"] = fwtime_dbl(-1.0);

    const long long hhmmss = t.tm_hour * 10000LL + t.tm_min * 100LL + t.tm_sec;
    const long long year = 1900LL + t.tm_year;
    const long long yy = ((year % 100) + 100) % 100;
    const long long ddmmyy = t.tm_mday * 10000LL + (t.tm_mon + 1LL) * 100LL + yy;
    snapshot["calc_hhmmss"] = static_cast<double>(hhmmss);
    snapshot["calc_ddmmyy"] = static_cast<double>(ddmmyy);
}

}  // namespace

void FixState::fixstate_store(const char* member, const Json::Value& value) {
    Json::Value copy(value);  // copied before locking: the main thread waits on this mutex
    {
        std::lock_guard<std::mutex> lock(mutex_);
        fixstate_[member].swap(copy);
    }
    if (listener_) listener_(member, value);
}

Json::Value FixState::fixstate_snapshot() {
    std::lock_guard<std::mutex> lock(mutex_);
    return fixstate_;
}

void FixState::process_gps_data(Json::Value& snapshot, GpsLed* led) {
    const bool prev_valid = gps_valid_.load();
    const double now = fwtime_dbl(-1.0);

    if (!snapshot.isObject()) {
        nm_log(LOG_WARNING, "process_gps_data: gps_data is not an object, resetting");
        snapshot = Json::Value(Json::objectValue);
    }

    if (stale_passes_ < std::numeric_limits<uint8_t>::max()) ++stale_passes_;

    const Json::Value& tpv = static_cast<const Json::Value&>(snapshot)["TPV"];
    bool fresh = false;
    if (tpv.isMember("ts") && tpv.isMember("mode")) {
        const double ts = tpv["ts"].asDouble();
        if (ts != last_tpv_ts_) {
            last_tpv_ts_ = ts;
            if (now - ts < kFreshSeconds && tpv["mode"].asUInt() > 1) {
                fresh = true;
                stale_passes_ = 0;
                clock_from_system_ = false;
            }
        }
    }

    bool valid;
    if (fresh) {
        valid = true;
    } else if (stale_passes_ > kGracePasses) {
        stale_passes_ = kGracePasses;
        valid = false;
    } else {
        valid = prev_valid;
    }

    if (valid) {
        memset(&fix_time_, 0, sizeof fix_time_);
        const std::string when = tpv["time"].asString();
        // A partial match (a fraction of a second before the "Z") keeps the fields it read.
        strptime(when.c_str(), "%FT%TZ", &fix_time_);
        fix_lat_e6_.store(navnum::trunc_to<int32_t>(tpv["lat"].asDouble() * 1e6));
        fix_lon_e6_.store(navnum::trunc_to<int32_t>(tpv["lon"].asDouble() * 1e6));
    } else {
        // The next second after the fix time, or the system clock before the first fix.
        const int64_t t = clock_from_system_ ? static_cast<int64_t>(time(nullptr))
                                             : seconds_from_tm(fix_time_) + 1;
        tm_from_seconds(t, fix_time_);
    }

    snapshot["validity"] = valid;
    fixstate_store("validity", Json::Value(valid));
    set_time_fields(fix_time_, snapshot);

    set_gps_valid(valid);
    if (led != nullptr) led->update(valid);
}

void FixState::set_gps_valid(bool valid) {
    nm_log(LOG_DEBUG, "Setting gps valid:%u", valid ? 1u : 0u);
    if (!force_valid_log_ && gps_valid_.load() == valid) return;
    const double lat = fix_lat_e6_.load() / 1e6;
    const double lon = fix_lon_e6_.load() / 1e6;
    if (valid) {
        nm_log(LOG_ALERT, "GPS valid (%.6lf, %.6lf)", lat, lon);
    } else {
        nm_log(LOG_ALERT, "GPS invalid (%.6lf, %.6lf)", lat, lon);
    }
    gps_valid_.store(valid);
    force_valid_log_ = false;
}
