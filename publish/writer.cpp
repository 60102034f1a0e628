// The fix record writer: one "GPS" transaction per processing pass with the raw snapshot, the
// scalar fix keys, the first-fix keys, the sentences and FixRecord itself.
#include <cstring>
#include <memory>

#include "platform/base/base.h"
#include "platform/base/numeric.h"
#include "platform/sysdb/sysdb.h"
#include "publish/fix_record.h"
#include "publish/publish.h"
#include "sentences/sentences.h"

using navnum::single;
using navnum::trunc_to;

namespace {

constexpr size_t kImeiSize = 16;

void read_imei(sysdb::Database& db, char (&imei)[kImeiSize]) {
    memset(imei, 0, sizeof imei);
    const int rc = db.read_str("CELL", "CELL_IMEI", imei, sizeof imei);
    imei[kImeiSize - 1] = '\0';
    if (rc != 0) {
        if (imei[0] == '\0') memcpy(imei, "000000000000000", kImeiSize);
        nm_log(LOG_NOTICE, "could not read CELL_IMEI from sysdb, using %s", imei);
    }
}

// Seconds from the device's wake to ts, or -1 when the wake time cannot be read.
int32_t wake_delta(sysdb::Database& db, double ts) {
    int wake = 0;
    if (db.read_int("SYS", "SYS_WAKE_TIME_UPTIME", &wake) != 0) return -1;
    return trunc_to<int32_t>(ts - static_cast<double>(wake));
}

void write_tpv(sysdb::Batch& batch, Json::Value& fix, const Json::Value& tpv, bool valid) {
    if (tpv.isMember("time")) {
        const char* time = tpv["time"].asCString();  // throws unless the member is text
        fix["time"] = time;
        batch.write_str("GPS_ISO8601", time);
    }
    if (tpv.isMember("lon")) {
        const double lon = tpv["lon"].asDouble();
        fix["lon_dd"] = lon;
        fix["longitude"] = deg_to_rad(lon);
        batch.write_dbl("GPS_LON", lon);
        if (valid) batch.write_dbl("GPS_LAST_VALID_LON", lon);
    }
    if (tpv.isMember("lat")) {
        const double lat = tpv["lat"].asDouble();
        fix["lat_dd"] = lat;
        fix["latitude"] = deg_to_rad(lat);
        batch.write_dbl("GPS_LAT", lat);
        if (valid) batch.write_dbl("GPS_LAST_VALID_LAT", lat);
    }
    if (tpv.isMember("alt")) {
        const double alt = single(tpv["alt"].asDouble());
        fix["altitude"] = alt;
        batch.write_dbl("GPS_ALT", alt);
    }
    toGeocentric(fix);
    if (tpv.isMember("speed")) {
        const double s = single(tpv["speed"].asDouble());
        fix_record_set_speed(fix, s);
        batch.write_dbl("GPS_VEL", s);
        batch.write_dbl("GPS_VEL_KPH", s * 3.6);
        batch.write_dbl("GPS_VEL_MPH", s * 2.25);
    }
    if (tpv.isMember("track")) {
        const double t = single(tpv["track"].asDouble());
        fix_record_set_track(fix, t);
        batch.write_dbl("GPS_HDG", t);
    }
    if (tpv.isMember("mode")) fix["gpsdMode"] = tpv["mode"].asInt();
}

void write_sky(sysdb::Batch& batch, Json::Value& fix, const Json::Value& sky) {
    static const char* const kDops[][2] = {
        {"hdop", "GPS_HDOP"}, {"vdop", "GPS_VDOP"}, {"pdop", "GPS_PDOP"}};
    for (const auto& dop : kDops) {
        if (!sky.isMember(dop[0])) continue;
        const double v = sky[dop[0]].asDouble();
        batch.write_dbl(dop[1], v);
        fix[dop[0]] = v;
    }
    if (!sky.isMember("satellites")) return;
    const Json::Value& sats = sky["satellites"];
    fix["nSatellites"] = Json::Value(static_cast<Json::UInt>(sats.size()));
    fix["gpsMode"] = 65;  // 'A'
    fix["sats"] = Json::Value(Json::arrayValue);
    batch.write_int("GPS_SATS", trunc_to<int>(sats.size()));
    int in_use = 0;
    for (Json::ArrayIndex i = 0; i < sats.size(); ++i) {
        const Json::Value& sat = sats[i];
        if (sat.isMember("gnssid") && sat["gnssid"].asInt() != 0) continue;  // GPS only
        Json::Value entry = fix_record_satellite(sat);
        if (entry["used"].asBool()) ++in_use;
        fix["sats"].append(std::move(entry));
    }
    fix["nSatsInUse"] = in_use;
    batch.write_int("GPS_SATS_INUSE", in_use);
}

}  // namespace

void FixWriter::note_session_count(int32_t count) {
    if (count == last_session_count_) return;
    last_session_count_ = count;
    ttff_pending_ = true;
}

int FixWriter::saveGpsDataSysdb(Json::Value& snapshot) {
    Json::Value& fix = fix_;
    const Json::Value& snap = snapshot;  // reads must not add members to the raw snapshot
    const double ts = snap["ts"].asDouble();

    std::unique_ptr<sysdb::Batch> batch;
    const bool durable = since_durable_ >= kDurableEvery - 1;
    bool ttff_written = false;  // cleared from ttff_pending_ only once their batch commits
    const bool completed = run_guarded("saveGpsDataSysdb", [&] {
        char imei[kImeiSize];
        read_imei(db_, imei);
        if (fix.isNull()) fix_record_init(fix, db_);
        if (snap.isMember("calc_hhmmss")) fix_record_set_date_time(fix, snap);
        int32_t wake = -1;
        if (ttff_pending_) wake = wake_delta(db_, ts);

        batch = std::make_unique<sysdb::Batch>(db_, "GPS", durable);
        if (!batch->open()) return;
        batch->write_json("GPS_DATA_RAW", snapshot);
        batch->write_dbl("GPS_DATA_TS", ts);

        bool valid = false;
        if (snap.isMember("validity")) {
            valid = snap["validity"].asBool();
            fix_record_set_validity(fix, valid);
            if (valid && ttff_pending_) {
                batch->write_int("GPS_TTFF_UPTIME", trunc_to<int32_t>(ts));
                batch->write_str("GPS_TTFF_ISO8601", snap["iso8601"].asString().c_str());
                batch->write_int("GPS_TTFF_WAKE", wake);
                ttff_written = true;
            }
            batch->write_int("GPS_VALID", valid ? 1 : 0);
        }
        if (snap.isMember("TPV")) {
            const Json::Value tpv = snap["TPV"];
            write_tpv(*batch, fix, tpv, valid);
        }
        if (snap.isMember("SKY")) {
            const Json::Value sky = snap["SKY"];
            write_sky(*batch, fix, sky);
        }

        sentences_.generate_gps_nmea_msgs(*batch, imei, fix);
        fix["ts"] = ts;
        batch->write_json("GPS_DATA", fix);
    });
    if (batch == nullptr || !batch->open()) return -1;
    // Ended with what was written, also after an exception; a batch whose commit failed was
    // not written, and its first-fix keys are still owed.
    const bool committed = batch->end() == 0;
    if (committed && ttff_written) ttff_pending_ = false;
    // A durable batch that failed is owed still: the next one is durable.
    if (committed) since_durable_ = durable ? 0 : since_durable_ + 1;
    return committed && completed ? 0 : -1;
}
