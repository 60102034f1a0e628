// Any FixRecord through the sentence generator, any snapshot through the fix writer: no crash, no
// undefined behaviour, NMEA texts end in their checksum, TAIP is framed, "GPS_DATA" is JSON.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>

#include "publish/publish.h"
#include "sentences/sentences.h"
#include "tests/support/support.h"

static const char* const kMembers[] = {"statusCode", "headingNMEA",  "speedNMEA",     "altitude",
                                       "calcHHMMSS", "calcDDMMYY",   "lat_dd",        "lon_dd",
                                       "nSatsInUse", "hdop",         "pdop",          "vdop",
                                       "gpsdMode",   "eastVelocity", "northVelocity", "upVelocity"};

// A record whose numbers have any bit pattern (NaN, infinities, huge) or any integer value.
static Json::Value structured_record(const uint8_t* p, size_t n) {
    Json::Value fix(Json::objectValue);
    for (size_t i = 0; i < sizeof kMembers / sizeof *kMembers && n >= 9; ++i, p += 9, n -= 9) {
        double d;
        int64_t k;
        memcpy(&d, p + 1, 8), memcpy(&k, p + 1, 8);
        if (p[0] % 3 < 2) fix[kMembers[i]] = p[0] % 3 ? Json::Value(Json::Int64(k)) : d;
    }
    for (Json::ArrayIndex i = 0; n >= 2; ++i, p += 2, n -= 2) {
        fix["sats"][i]["used"] = (p[0] & 1) != 0;
        fix["sats"][i]["PRN"] = p[1] * 2;  // up to three digits
    }
    return fix;
}

static void check_stored() {
    std::vector<std::pair<std::string, sysdb_value>> rows;
    sysdb_namedb_list(nullptr, "GPS", &rows);
    for (const auto& [key, v] : rows) {
        const std::string& t = v.text;
        Json::Value parsed;
        if (key == "GPS_DATA" && !Json::Reader().parse(t, parsed)) abort();
        if (key.rfind("GPS_TAIP_", 0) == 0 && (t[0] != '>' || t.back() != '<')) abort();
        if (key.rfind("GPS_NMEA_", 0) == 0 &&
            (t[0] != '$' || t != navtest::nmea_sentence(t.substr(0, t.size() - 5))))
            abort();
    }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static navtest::TestDb t;
    static const int quiet = setlogmask(LOG_MASK(LOG_EMERG));
    // Carries FixRecord and the first-fix state from input to input.
    static std::optional<FixWriter> writer(std::in_place, t.db);
    static SentenceGenerator generator;
    if (size == 0 || quiet < 0) return 0;
    const std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);
    Json::Value value = data[0] % 3 == 0 ? structured_record(data + 1, size - 1) : Json::Value();
    if (data[0] % 3 != 0 && !Json::Reader().parse(text, value, false)) return 0;
    if (data[0] % 3 == 2) {  // a snapshot through the whole writer
        if (data[0] & 8) writer->note_session_count(data[0] >> 4);
        if (data[0] & 4) writer.emplace(t.db);
        try {
            writer->saveGpsDataSysdb(value);
        } catch (const std::exception&) {  // only the read of "ts" may throw out of the writer
        }
    } else {  // a FixRecord through the generator, with a device identifier of up to 15 digits
        const std::string imei(data[0] % 16, static_cast<char>('0' + data[0] % 10));
        sysdb::Batch batch(t.db, "GPS");
        generator.generate_gps_nmea_msgs(batch, imei.c_str(), value);
    }
    check_stored();
    return 0;
}
