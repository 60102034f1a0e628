// Entry point of sentence generation: the fields shared by the sentences, the checksum-and-store
// step, and the order in which the sentences and reports are produced.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "platform/base/base.h"
#include "platform/base/numeric.h"
#include "platform/gpsd/nmea.h"
#include "platform/sysdb/sysdb.h"
#include "sentences/sentences.h"

using navnum::trunc_to;

namespace {

// ddmm.mmmm (or dddmm.mmmm) parts of a coordinate; minutes are truncated, never rounded.
struct MinutesParts {
    unsigned degrees;
    unsigned minutes;
    unsigned fraction;
    char hemisphere;
};

MinutesParts minutes_parts(double value, char positive, char negative) {
    MinutesParts p;
    p.hemisphere = value < 0 ? negative : positive;
    const double a = std::fabs(value);
    const double d = std::trunc(a);
    const double m = (a - d) * 60.0;
    const double mi = std::trunc(m);
    p.degrees = trunc_to<unsigned>(d);
    p.minutes = trunc_to<unsigned>(mi);
    p.fraction = trunc_to<unsigned>((m - mi) * 10000.0);
    return p;
}

}  // namespace

int get_nmea_common_fields(Json::Value& fix, NmeaCommonFields* out) {
    out->status = fix["statusCode"].asInt() == 1 ? 'V' : 'A';

    const double heading = fix["headingNMEA"].asDouble();
    const double speed = fix["speedNMEA"].asDouble();
    const double x = speed * 1.943844 + 0.05;  // knots, pre-rounded to one decimal
    // Kept to 16 bits like the unsigned short fields they were always printed from.
    const auto knots = static_cast<uint16_t>(trunc_to<unsigned>(x));
    const auto tenths = static_cast<uint16_t>(
        trunc_to<unsigned>(static_cast<double>(std::fmod(navnum::to_float(x), 1.0f)) * 10));
    const auto course = static_cast<uint16_t>(trunc_to<unsigned>(heading));
    int n = snprintf(out->speed_course, sizeof out->speed_course, "%03d.%01d,%03u.0", knots, tenths,
                     static_cast<unsigned>(course));
    if (!fits(n, sizeof out->speed_course)) return -1;

    const double altitude = fix["altitude"].asDouble();
    const unsigned magnitude = trunc_to<unsigned>(std::fabs(navnum::to_float(altitude)));
    n = snprintf(out->altitude, sizeof out->altitude, "%c%05u", altitude < 0 ? '-' : '+',
                 magnitude);
    if (!fits(n, sizeof out->altitude)) return -1;

    n = snprintf(out->time, sizeof out->time, "%06d.00", fix["calcHHMMSS"].asInt());
    if (!fits(n, sizeof out->time)) return -1;

    n = snprintf(out->date, sizeof out->date, "%06d", fix["calcDDMMYY"].asInt());
    if (!fits(n, sizeof out->date)) return -1;

    const MinutesParts lat = minutes_parts(fix["lat_dd"].asDouble(), 'N', 'S');
    const MinutesParts lon = minutes_parts(fix["lon_dd"].asDouble(), 'E', 'W');
    n = snprintf(out->position, sizeof out->position, "%02u%02u.%04u,%c,%03u%02u.%04u,%c",
                 lat.degrees, lat.minutes, lat.fraction, lat.hemisphere, lon.degrees, lon.minutes,
                 lon.fraction, lon.hemisphere);
    if (!fits(n, sizeof out->position)) return -1;
    return 0;
}

void store_nmea_sentence(sysdb::Batch& batch, const char* key, char* text, size_t size) {
    const size_t n = strnlen(text, size);
    if (n + 5 >= size) return;  // no room for "*XX\r\n" and the NUL
    const unsigned checksum = static_cast<unsigned>(calculate_nmea_checksum(text)) & 0xFFu;
    snprintf(text + n, size - n, "*%02X\r\n", checksum);
    batch.write_str(key, text);
}

void SentenceGenerator::generate_gps_nmea_msgs(sysdb::Batch& batch, const char* imei,
                                               Json::Value& fix) {
    run_guarded("generate_gps_nmea_msgs", [&] {
        if (imei == nullptr) imei = "";
        NmeaCommonFields common;
        if (get_nmea_common_fields(fix, &common) != 0) {
            nm_log(LOG_NOTICE, "Error obtaining common GPS parameters to generate NMEA messages");
            return;
        }
        char sentence_buffer[NMEA_SENTENCE_BUFFER_SIZE];
        const size_t size = sizeof sentence_buffer;
        generate_pgps(batch, sentence_buffer, size, fix, common, imei);
        generate_gpgga(batch, sentence_buffer, size, fix, common);
        generate_gprmc_v2(batch, sentence_buffer, size, common);
        generate_gprmc_v3(batch, sentence_buffer, size, common);
        generate_gpgsa(batch, sentence_buffer, size, fix);
        generate_taip(batch, fix, common.status, sentence_buffer, size, &taip_fix_seen_);
        generate_btveg(batch, sentence_buffer, size, fix, common, imei);
    });
}
