// The fix record writer: one "GPS" transaction per processing pass with the raw snapshot, the
// scalar fix keys, the first-fix keys, the sentences and FixRecord itself.
#include <cstring>
#include <mutex>

#include "core/core.h"
#include "platform/platform.h"
#include "platform/sysdb.h"
#include "publish/fix_record.h"
#include "publish/publish.h"
#include "sentences/numeric.h"
#include "sentences/sentences.h"

using navnum::single;
using navnum::trunc_to;

namespace {

// FixRecord: null until the first call, then kept for the life of the process.
Json::Value g_fix_record;

constexpr size_t kImeiSize = 16;

void read_imei(char (&imei)[kImeiSize]) {
    memset(imei, 0, sizeof imei);
    const int rc = sysdb_namedb_read_str(nullptr, "CELL", "CELL_IMEI", imei, sizeof imei);
    imei[kImeiSize - 1] = '\0';
    if (rc != 0) {
        if (imei[0] == '\0') memcpy(imei, "000000000000000", kImeiSize);
        nm_log(LOG_NOTICE, "could not read CELL_IMEI from sysdb, using %s", imei);
    }
}

// Seconds from the device's wake to ts, or -1 when the wake time cannot be read.
int32_t wake_delta(double ts) {
    int wake = 0;
    if (sysdb_namedb_read_int(nullptr, "SYS", "SYS_WAKE_TIME_UPTIME", &wake) != 0) return -1;
    return trunc_to<int32_t>(ts - static_cast<double>(wake));
}

void write_tpv(sysdb_context* ctx, Json::Value& fix, const Json::Value& tpv, bool valid) {
    if (tpv.isMember("time")) {
        const char* time = tpv["time"].asCString();  // throws unless the member is text
        fix["time"] = time;
        sysdb_write_str(ctx, "GPS_ISO8601", time, 0);
    }
    if (tpv.isMember("lon")) {
        const double lon = tpv["lon"].asDouble();
        fix["lon_dd"] = lon;
        fix["longitude"] = deg_to_rad(lon);
        sysdb_write_dbl(ctx, "GPS_LON", 0, lon);
        if (valid) sysdb_write_dbl(ctx, "GPS_LAST_VALID_LON", 0, lon);
    }
    if (tpv.isMember("lat")) {
        const double lat = tpv["lat"].asDouble();
        fix["lat_dd"] = lat;
        fix["latitude"] = deg_to_rad(lat);
        sysdb_write_dbl(ctx, "GPS_LAT", 0, lat);
        if (valid) sysdb_write_dbl(ctx, "GPS_LAST_VALID_LAT", 0, lat);
    }
    if (tpv.isMember("alt")) {
        const double alt = single(tpv["alt"].asDouble());
        fix["altitude"] = alt;
        sysdb_write_dbl(ctx, "GPS_ALT", 0, alt);
    }
    toGeocentric(fix);
    if (tpv.isMember("speed")) {
        const double s = single(tpv["speed"].asDouble());
        fix_record_set_speed(fix, s);
        sysdb_write_dbl(ctx, "GPS_VEL", 0, s);
        sysdb_write_dbl(ctx, "GPS_VEL_KPH", 0, s * 3.6);
        sysdb_write_dbl(ctx, "GPS_VEL_MPH", 0, s * 2.25);
    }
    if (tpv.isMember("track")) {
        const double t = single(tpv["track"].asDouble());
        fix_record_set_track(fix, t);
        sysdb_write_dbl(ctx, "GPS_HDG", 0, t);
    }
    if (tpv.isMember("mode")) fix["gpsdMode"] = tpv["mode"].asInt();
}

void write_sky(sysdb_context* ctx, Json::Value& fix, const Json::Value& sky) {
    static const char* const kDops[][2] = {
        {"hdop", "GPS_HDOP"}, {"vdop", "GPS_VDOP"}, {"pdop", "GPS_PDOP"}};
    for (const auto& dop : kDops) {
        if (!sky.isMember(dop[0])) continue;
        const double v = sky[dop[0]].asDouble();
        sysdb_write_dbl(ctx, dop[1], 0, v);
        fix[dop[0]] = v;
    }
    if (!sky.isMember("satellites")) return;
    const Json::Value& sats = sky["satellites"];
    fix["nSatellites"] = Json::Value(static_cast<Json::UInt>(sats.size()));
    fix["gpsMode"] = 65;  // 'A'
    fix["sats"] = Json::Value(Json::arrayValue);
    sysdb_write_int(ctx, "GPS_SATS", trunc_to<int>(sats.size()), 0);
    int in_use = 0;
    for (Json::ArrayIndex i = 0; i < sats.size(); ++i) {
        const Json::Value& sat = sats[i];
        if (sat.isMember("gnssid") && sat["gnssid"].asInt() != 0) continue;  // GPS only
        Json::Value entry = fix_record_satellite(sat);
        if (entry["used"].asBool()) ++in_use;
        fix["sats"].append(std::move(entry));
    }
    fix["nSatsInUse"] = in_use;
    sysdb_write_int(ctx, "GPS_SATS_INUSE", in_use, 0);
}

}  // namespace

const Json::Value& fix_record() {
    return g_fix_record;
}

void publish_reset_for_test() {
    std::lock_guard<std::mutex> lock(sysdb_mutex);
    g_fix_record = Json::Value();
}

int saveGpsDataSysdb(Json::Value& snapshot) {
    std::lock_guard<std::mutex> lock(sysdb_mutex);
    Json::Value& fix = g_fix_record;
    const Json::Value& snap = snapshot;  // reads must not add members to the raw snapshot
    const double ts = snap["ts"].asDouble();

    sysdb_context ctx;
    bool opened = false;
    bool in_txn = false;
    bool ttff_written = false;  // cleared from ttffPending only once their batch commits
    int result = -1;
    const bool completed = run_guarded("saveGpsDataSysdb", [&] {
        char imei[kImeiSize];
        read_imei(imei);
        if (fix.isNull()) fix_record_init(fix);
        if (snap.isMember("calc_hhmmss")) fix_record_set_date_time(fix, snap);
        int32_t wake = -1;
        if (ttffPending) wake = wake_delta(ts);

        if (sysdb_init(&ctx, 0) != 0) return;
        opened = true;
        if (sysdb_txn_start(&ctx, "GPS", 0) != 0) {
            opened = false;
            sysdb_exit(&ctx);
            return;
        }
        in_txn = true;

        sysdb_write_json(&ctx, "GPS_DATA_RAW", snapshot, 0);
        sysdb_write_dbl(&ctx, "GPS_DATA_TS", 0, ts);

        bool valid = false;
        if (snap.isMember("validity")) {
            valid = snap["validity"].asBool();
            fix_record_set_validity(fix, valid);
            if (valid && ttffPending) {
                sysdb_write_int(&ctx, "GPS_TTFF_UPTIME", trunc_to<int32_t>(ts), 0);
                sysdb_write_str(&ctx, "GPS_TTFF_ISO8601", snap["iso8601"].asString().c_str(), 0);
                sysdb_write_int(&ctx, "GPS_TTFF_WAKE", wake, 0);
                ttff_written = true;
            }
            sysdb_write_int(&ctx, "GPS_VALID", valid ? 1 : 0, 0);
        }
        if (snap.isMember("TPV")) {
            const Json::Value tpv = snap["TPV"];
            write_tpv(&ctx, fix, tpv, valid);
        }
        if (snap.isMember("SKY")) {
            const Json::Value sky = snap["SKY"];
            write_sky(&ctx, fix, sky);
        }

        generate_gps_nmea_msgs(&ctx, imei, fix);
        fix["ts"] = ts;
        sysdb_write_json(&ctx, "GPS_DATA", fix, 0);

        in_txn = false;
        const int committed = sysdb_txn_end(&ctx);
        opened = false;
        sysdb_exit(&ctx);
        // A batch whose commit failed was not written; do not report it as written.
        result = committed == 0 ? 0 : -1;
        if (committed == 0 && ttff_written) ttffPending = false;
    });
    if (!completed) {
        if (in_txn && sysdb_txn_end(&ctx) == 0 && ttff_written) ttffPending = false;
        if (opened) sysdb_exit(&ctx);
    }
    return result;
}
