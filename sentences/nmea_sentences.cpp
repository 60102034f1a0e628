// The NMEA sentences built from the common fields and FixRecord.
#include <cmath>
#include <cstdio>
#include <cstring>

#include "platform/base/numeric.h"
#include "sentences/sentences.h"

using navnum::trunc_to;

void generate_pgps(sysdb::Batch& batch, char* buf, size_t size, Json::Value& fix,
                   const NmeaCommonFields& c, const char* imei) {
    const int sats_in_use = fix["nSatsInUse"].asInt();
    const int n = snprintf(buf, size, "$PGPS,%s,%c,%s,%s,%s,%s,%1d,%s", c.time, c.status,
                           c.position, c.speed_course, c.date, c.altitude, sats_in_use, imei);
    if (fits(n, size)) store_nmea_sentence(batch, "GPS_NMEA_PGPS", buf, size);
}

void generate_gpgga(sysdb::Batch& batch, char* buf, size_t size, Json::Value& fix,
                    const NmeaCommonFields& c) {
    const char quality = c.status == 'V' ? '0' : '1';
    const int sats_in_use = fix["nSatsInUse"].asInt();
    const double hdop = fix["hdop"].asDouble();
    const int n = snprintf(buf, size, "$GPGGA,%s,%s,%c,%1d,%.1f,%s,M,,M,,0000", c.time, c.position,
                           quality, sats_in_use, hdop, c.altitude);
    if (fits(n, size)) store_nmea_sentence(batch, "GPS_NMEA_GPGGA", buf, size);
}

void generate_gprmc_v2(sysdb::Batch& batch, char* buf, size_t size, const NmeaCommonFields& c) {
    const int n = snprintf(buf, size, "$GPRMC,%s,%c,%s,%s,%s,,", c.time, c.status, c.position,
                           c.speed_course, c.date);
    if (fits(n, size)) store_nmea_sentence(batch, "GPS_NMEA_GPRMC_V2", buf, size);
}

void generate_gprmc_v3(sysdb::Batch& batch, char* buf, size_t size, const NmeaCommonFields& c) {
    const int n = snprintf(buf, size, "$GPRMC,%s,%c,%s,%s,%s,,,A", c.time, c.status, c.position,
                           c.speed_course, c.date);
    if (fits(n, size)) store_nmea_sentence(batch, "GPS_NMEA_GPRMC_V3", buf, size);
}

void generate_gpgsa(sysdb::Batch& batch, char* buf, size_t size, Json::Value& fix) {
    const int mode = fix["gpsdMode"].asInt();
    int prn[12] = {0};
    int filled = 0;
    Json::Value& sats = fix["sats"];
    for (Json::ArrayIndex i = 0; i < sats.size() && filled < 12; ++i) {
        Json::Value& sat = sats[i];
        if (sat["used"].asBool()) prn[filled++] = sat["PRN"].asInt();
    }
    const double pdop = fix["pdop"].asDouble();
    const double hdop = fix["hdop"].asDouble();
    const double vdop = fix["vdop"].asDouble();
    const int n = snprintf(buf, size,
                           "$GPGSA,A,%01d,%02d,%02d,%02d,%02d,%02d,%02d,%02d,%02d,%02d,%02d,%02d,"
                           "%02d,%04.1f,%04.1f,%04.1f",
                           mode > 1 ? mode : 1, prn[0], prn[1], prn[2], prn[3], prn[4], prn[5],
                           prn[6], prn[7], prn[8], prn[9], prn[10], prn[11], pdop, hdop, vdop);
    if (fits(n, size)) store_nmea_sentence(batch, "GPS_NMEA_GPGSA", buf, size);
}

void generate_btveg(sysdb::Batch& batch, char* buf, size_t size, Json::Value& fix,
                    const NmeaCommonFields& c, const char* imei) {
    // Unit identifier: the last eight characters of the device identifier, zero-padded on the
    // left when it is shorter.
    char unit[9];
    const size_t len = strlen(imei);
    if (len >= 8) {
        memcpy(unit, imei + len - 8, 8);
    } else {
        memset(unit, '0', 8 - len);
        memcpy(unit + 8 - len, imei, len);
    }
    unit[8] = '\0';

    const int seconds = seconds_of_day(fix["calcHHMMSS"].asInt());
    const int mph = trunc_to<int>(fix["speedNMEA"].asDouble() * 2.236936);
    const int heading = trunc_to<int>(fix["headingNMEA"].asDouble());
    const int n = snprintf(buf, size, "$BTVEG,%s,%u,%s,%03d,%03d,%c,T,T", unit,
                           static_cast<unsigned>(seconds), c.position, mph, heading, c.status);
    if (fits(n, size)) store_nmea_sentence(batch, "GPS_NMEA_BTVEG", buf, size);
}
