// Sentence generation: NMEA sentences and TAIP reports built from FixRecord and stored in the
// caller's open "GPS" batch.
#pragma once

#include <json/json.h>

#include <cstddef>

namespace sysdb {
class Batch;
}

#define NMEA_SENTENCE_BUFFER_SIZE 512

struct NmeaCommonFields {
    char status;            // 'A' or 'V'
    char time[16];          // "%06d.00"
    char date[8];           // "%06d"
    char speed_course[16];  // "%03d.%01d,%03u.0"
    char altitude[8];       // "%c%05u"
    char position[32];      // "%02u%02u.%04u,%c,%03u%02u.%04u,%c"
};

// The sentences and reports of every pass. Its one piece of state is the TAIP age: whether a
// report with a valid fix was ever built by this process.
class SentenceGenerator {
public:
    // Never lets an exception out.
    void generate_gps_nmea_msgs(sysdb::Batch& batch, const char* imei, Json::Value& fix);

private:
    bool taip_fix_seen_ = false;
};

// The steps, for the generator and its tests. FixRecord is taken as the writer holds it: a
// member read that is missing is added as null.
int get_nmea_common_fields(Json::Value& fix, NmeaCommonFields* out);
// Appends "*XX\r\n" to the text in buf and stores it; a text with no room for it is not stored.
void store_nmea_sentence(sysdb::Batch& batch, const char* key, char* text, size_t size);
void generate_pgps(sysdb::Batch& batch, char* buf, size_t size, Json::Value& fix,
                   const NmeaCommonFields& c, const char* imei);
void generate_gpgga(sysdb::Batch& batch, char* buf, size_t size, Json::Value& fix,
                    const NmeaCommonFields& c);
void generate_gprmc_v2(sysdb::Batch& batch, char* buf, size_t size, const NmeaCommonFields& c);
void generate_gprmc_v3(sysdb::Batch& batch, char* buf, size_t size, const NmeaCommonFields& c);
void generate_gpgsa(sysdb::Batch& batch, char* buf, size_t size, Json::Value& fix);
void generate_btveg(sysdb::Batch& batch, char* buf, size_t size, Json::Value& fix,
                    const NmeaCommonFields& c, const char* imei);
// fix_seen: the TAIP age's memory, set by a report with status 'A'.
void generate_taip(sysdb::Batch& batch, Json::Value& fix, char status, char* buf, size_t size,
                   bool* fix_seen);

// snprintf's result n fits a buffer of `size` bytes (text and NUL), and is not empty.
inline bool fits(int n, size_t size) {
    return n > 0 && static_cast<size_t>(n) < size;
}
// Seconds since midnight of an hhmmss number.
inline int seconds_of_day(int hhmmss) {
    return (hhmmss / 10000 * 60 + (hhmmss / 100) % 100) * 60 + hhmmss % 100;
}
