// The receiver's proprietary "$PSTM" sentences: antenna status, STAGPS status and the
// dead-reckoning family, published in the "GPS" and "DR" databases for other services.
#include <cstring>

#include "platform/base/base.h"
#include "platform/sysdb/sysdb.h"
#include "receiver/receiver.h"

namespace {

struct DoubleKey {
    const char* key;
    double value;
};

// One transaction on "DR": the doubles in order, then the sentence under `sentence_key`. A
// batch that cannot be opened is dropped; the next sentence tries again.
template <size_t N>
void write_dr_batch(sysdb::Database& db, const DoubleKey (&values)[N], const char* sentence_key,
                    const char* line) {
    sysdb::Batch batch(db, "DR");
    if (!batch.open()) return;
    for (const DoubleKey& v : values) batch.write_dbl(v.key, v.value);
    batch.write_str(sentence_key, line);
}

struct Route {
    const char* prefix;
    size_t length;
    void (*handler)(sysdb::Database& db, const char* line);
};

#define ROUTE(prefix, fn) \
    { prefix, sizeof(prefix) - 1, fn }

void store_stype(sysdb::Database& db, const char* line) {
    store_pstm_raw(db, line, "DR_NMEA_PSTMDRSTYPE");
}
void store_step(sysdb::Database& db, const char* line) {
    store_pstm_raw(db, line, "DR_NMEA_PSTMDRSTEP");
}
void store_upd(sysdb::Database& db, const char* line) {
    store_pstm_raw(db, line, "DR_NMEA_PSTMDRUPD");
}
void store_epe(sysdb::Database& db, const char* line) {
    store_pstm_raw(db, line, "DR_NMEA_PSTMDREPE");
}

// Order matters: the first prefix that matches wins.
const Route kRoutes[] = {
    ROUTE("$PSTMANTENNASTATUS", handle_pstm_antenna_status),
    ROUTE("$PSTMAGPSSTATUS", handle_pstm_agps_status),
    ROUTE("$PSTMDRCAL", handle_pstm_dr_cal),
    ROUTE("$PSTMDRPVA", handle_pstm_dr_pva),
    ROUTE("$PSTMDRSENMSG,14", handle_pstm_dr_senmsg_14),
    ROUTE("$PSTMDRCONFID", handle_pstm_dr_confid),
    ROUTE("$PSTMDRGPS", handle_pstm_dr_gps),
    ROUTE("$PSTMDRSTYPE", store_stype),
    ROUTE("$PSTMDRSTEP", store_step),
    ROUTE("$PSTMDRUPD", store_upd),
    ROUTE("$PSTMDREPE", store_epe),
    ROUTE("$PSTMDRAHRS", handle_pstm_dr_ahrs),
    ROUTE("$PSTMDRDEBUG", handle_pstm_dr_debug),
};

#undef ROUTE

}  // namespace

void handle_pstm_sentence(sysdb::Database& db, const char* line) {
    // Every route starts "$PSTM": one test turns away the standard sentences of other talkers.
    if (std::strncmp(line, "$PSTM", 5) != 0) return;
    for (const Route& route : kRoutes) {
        if (std::strncmp(line, route.prefix, route.length) == 0) {
            route.handler(db, line);
            return;
        }
    }
}

void handle_pstm_antenna_status(sysdb::Database& /*db*/, const char* line) {
    int status, mode, rf_path, power;
    if (scan_fields(line, "$PSTMANTENNASTATUS,%d,%d,%d,%d*%*s", &status, &mode, &rf_path, &power) !=
        4) {
        return;
    }
    nm_log(LOG_DEBUG, "Parsed antenna status:%d, operating mode:%d, rf path:%d, antenna power:%d",
           status, mode, rf_path, power);
}

void handle_pstm_agps_status(sysdb::Database& db, const char* line) {
    int status;
    if (scan_fields(line, "$PSTMAGPSSTATUS,%d*%*s", &status) != 1) return;
    nm_log(LOG_DEBUG, "Parsed stagps status:%d", status);
    db.write_int("GPS", "GPS_STAGPS_RAW", status);
}

void handle_pstm_dr_cal(sysdb::Database& db, const char* line) {
    int calibrated, odo, gyro_sen, gyro_bias, gyro_integrity, acc_integrity;
    unsigned imu_flag;
    char calib_status;
    if (scan_fields(line, "$PSTMDRCAL,%d,%d,%d,%d,%x,%d,%d,%c*%*s", &calibrated, &odo, &gyro_sen,
                    &gyro_bias, &imu_flag, &gyro_integrity, &acc_integrity, &calib_status) != 8) {
        return;
    }
    const char status_text[2] = {calib_status, '\0'};
    nm_log(LOG_DEBUG,
           "DR calibrated:%d, odo scale calibrated:%d, IMU flag:%02X, gyro signal:%d, acc "
           "signal:%d, dr calibration:%s",
           calibrated, odo, imu_flag, gyro_integrity, acc_integrity, status_text);
    // A bit set: stored as the int with the same 32 bits, so that the top bit survives.
    static_assert(sizeof(int) == sizeof(unsigned), "the flag's bits fit an int exactly");
    int imu_value;
    std::memcpy(&imu_value, &imu_flag, sizeof imu_value);
    sysdb::Batch batch(db, "DR");
    if (!batch.open()) return;
    batch.write_int("DR_CALIBRATED", calibrated);
    batch.write_int("DR_ODO_CALIBRATED", odo);
    batch.write_int("DR_GYRO_SEN_CALIBRATED", gyro_sen);
    batch.write_int("DR_GYRO_BIAS_CALIBRATED", gyro_bias);
    batch.write_int("DR_IMU_FLAG", imu_value);
    batch.write_int("DR_GYRO_INTEGRITY_FLAG", gyro_integrity);
    batch.write_int("DR_ACC_INTEGRITY", acc_integrity);
    batch.write_str("DR_CALIB_STATUS", status_text);
    batch.write_str("DR_NMEA_PSTMDRCAL", line);
}

void handle_pstm_dr_pva(sysdb::Database& db, const char* line) {
    double timestamp, lat, lon, height, v_north, v_east, v_up, pitch, roll, heading;
    unsigned cputime;
    if (scan_fields(line, "$PSTMDRPVA,%lf,%u,%lf,%lf,%lf,%lf,%lf,%lf,%lf,%lf,%lf*%*s", &timestamp,
                    &cputime, &lat, &lon, &height, &v_north, &v_east, &v_up, &pitch, &roll,
                    &heading) != 11) {
        return;
    }
    nm_log(LOG_DEBUG,
           "DR position timestamp:%lf, cputime:%u, lat:%lf, lon:%lf, height:%lf, v_north:%lf, "
           "v_east:%lf, v_up:%lf, pitch:%lf, roll:%lf, heading:%lf",
           timestamp, cputime, lat, lon, height, v_north, v_east, v_up, pitch, roll, heading);
    const DoubleKey values[] = {
        {"DR_LAT", lat},         {"DR_LON", lon},       {"DR_HEIGHT", height},
        {"DR_V_NORTH", v_north}, {"DR_V_EAST", v_east}, {"DR_V_UP", v_up},
        {"DR_PITCH", pitch},     {"DR_ROLL", roll},     {"DR_HDG", heading},
    };
    write_dr_batch(db, values, "DR_NMEA_PSTMDRPVA", line);
}

void handle_pstm_dr_senmsg_14(sysdb::Database& db, const char* line) {
    unsigned sensor_time;
    double velocity;
    if (scan_fields(line, "$PSTMDRSENMSG,14,%u,%lf*%*s", &sensor_time, &velocity) != 2) return;
    const DoubleKey values[] = {{"DR_VEL", velocity}};
    write_dr_batch(db, values, "DR_NMEA_PSTMDRSENMSG_14", line);
}

void handle_pstm_dr_confid(sysdb::Database& db, const char* line) {
    double f[13];
    if (scan_fields(line, "$PSTMDRCONFID,%lf,%lf,%lf,%lf,%lf,%lf,%lf,%lf,%lf,%lf,%lf,%lf,%lf*%*s",
                    &f[0], &f[1], &f[2], &f[3], &f[4], &f[5], &f[6], &f[7], &f[8], &f[9], &f[10],
                    &f[11], &f[12]) != 13) {
        return;
    }
    const DoubleKey values[] = {
        {"DR_LAT_STD_DEV", f[0]},       {"DR_LON_STD_DEV", f[1]},
        {"DR_HEADING_STD_DEV", f[2]},   {"DR_GYRO_BIAS_STD_DEV", f[4]},
        {"DR_ODO_SCALE_STD_DEV", f[5]}, {"DR_ACC_OFFSET_STD_DEV", f[7]},
        {"DR_HEIGHT_STD_DEV", f[8]},    {"DR_MAJOR_SEMI_AXIS", f[9]},
        {"DR_MINOR_SEMI_AXIS", f[10]},  {"DR_ELLIPSE_ANGLE", f[11]},
        {"DR_SPEED_STD_DEV", f[12]},
    };
    write_dr_batch(db, values, "DR_NMEA_PSTMDRCONFID", line);
}

void handle_pstm_dr_gps(sysdb::Database& db, const char* line) {
    double f[11];
    if (scan_fields(line, "$PSTMDRGPS,%lf,%lf,%lf,%lf,%lf,%lf,%lf,%lf,%lf,%lf,%lf*%*s", &f[0],
                    &f[1], &f[2], &f[3], &f[4], &f[5], &f[6], &f[7], &f[8], &f[9], &f[10]) != 11) {
        return;
    }
    const DoubleKey values[] = {
        {"DR_GPS_LAT", f[0]},
        {"DR_GPS_LON", f[1]},
        {"DR_GPS_VN", f[2]},
        {"DR_GPS_VE", f[3]},
        {"DR_GPS_VV", f[9]},
        {"DR_GPS_PDOP", f[4]},
        {"DR_GPS_HDOP", f[5]},
        {"DR_GPS_VDOP", f[6]},
        {"DR_GPS_RMS_POS_RESIDUAL", f[7]},
        {"DR_GPS_RMS_VEL_RESIDUAL", f[8]},
        {"DR_GPS_HEIGHT", f[10]},
    };
    write_dr_batch(db, values, "DR_NMEA_PSTMDRGPS", line);
}

void handle_pstm_dr_ahrs(sysdb::Database& db, const char* line) {
    double f[5];
    if (scan_fields(line, "$PSTMDRAHRS,%lf,%lf,%lf,%lf,%lf*%*s", &f[0], &f[1], &f[2], &f[3],
                    &f[4]) != 5) {
        return;
    }
    const DoubleKey values[] = {
        {"DR_INST_PITCH", f[0]}, {"DR_INST_ROLL", f[1]},     {"DR_INST_YAW", f[2]},
        {"DR_VEH_PITCH", f[3]},  {"DR_VEH_PITCH_ACC", f[4]},
    };
    write_dr_batch(db, values, "DR_NMEA_PSTMDRAHRS", line);
}

void handle_pstm_dr_debug(sysdb::Database& db, const char* line) {
    double f[6];
    if (scan_fields(line, "$PSTMDRDEBUG,%lf,%lf,%lf,%lf,%lf,%lf*%*s", &f[0], &f[1], &f[2], &f[3],
                    &f[4], &f[5]) != 6) {
        return;
    }
    const DoubleKey values[] = {
        {"DR_LAT_ERROR", f[0]},   {"DR_LON_ERROR", f[1]},    {"DR_HEADING_ERROR", f[2]},
        {"DR_SPEED_ERROR", f[3]}, {"DR_HEIGHT_ERROR", f[4]}, {"DR_VV_ERROR", f[5]},
    };
    write_dr_batch(db, values, "DR_NMEA_PSTMDRDEBUG", line);
}

void store_pstm_raw(sysdb::Database& db, const char* line, const char* key) {
    db.write_str("DR", key, line);
}
