// Sentence generation: NMEA sentences and TAIP reports built from FixRecord and stored in the
// caller's open "GPS" transaction.
#pragma once

#include <json/json.h>

#include <cstddef>

struct sysdb_context;

#define NMEA_SENTENCE_BUFFER_SIZE 512

struct NmeaCommonFields {
    char status;               // 'A' or 'V'
    char time[16];             // "%06d.00"
    char date[8];              // "%06d"
    char speed_course[16];     // "%03d.%01d,%03u.0"
    char altitude[8];          // "%c%05u"
    char position[32];         // "%02u%02u.%04u,%c,%03u%02u.%04u,%c"
};

// Never lets an exception out.
void generate_gps_nmea_msgs(sysdb_context* ctx, const char* imei, Json::Value& fix);
int get_nmea_common_fields(Json::Value& fix, NmeaCommonFields* out);
void store_nmea_sentence(sysdb_context* ctx, const char* key, char* text, size_t size);

void generate_pgps(sysdb_context* ctx, char* buf, size_t size, Json::Value& fix,
                   const NmeaCommonFields& c, const char* imei);
void generate_gpgga(sysdb_context* ctx, char* buf, size_t size, Json::Value& fix,
                    const NmeaCommonFields& c);
void generate_gprmc_v2(sysdb_context* ctx, char* buf, size_t size, const NmeaCommonFields& c);
void generate_gprmc_v3(sysdb_context* ctx, char* buf, size_t size, const NmeaCommonFields& c);
void generate_gpgsa(sysdb_context* ctx, char* buf, size_t size, Json::Value& fix);
void generate_btveg(sysdb_context* ctx, char* buf, size_t size, Json::Value& fix,
                    const NmeaCommonFields& c, const char* imei);
void generate_taip(sysdb_context* ctx, Json::Value& fix, char status, char* buf, size_t size);

// TAIP age: set the first time a report is built with status 'A'.
extern unsigned char taip_fix_seen;
