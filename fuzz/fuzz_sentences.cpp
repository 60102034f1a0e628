// Arbitrary FixRecords through the sentence generator (and arbitrary snapshots through the fix
// record writer): no crash, no undefined behaviour, and every stored NMEA text ends with a
// valid checksum suffix.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "core/core.h"
#include "platform/platform.h"
#include "platform/sysdb.h"
#include "publish/publish.h"
#include "sentences/sentences.h"

namespace {

const char* const kNmeaKeys[] = {"GPS_NMEA_PGPS",     "GPS_NMEA_GPGGA", "GPS_NMEA_GPRMC_V2",
                                 "GPS_NMEA_GPRMC_V3", "GPS_NMEA_GPGSA", "GPS_NMEA_BTVEG"};
const char* const kMembers[] = {"statusCode", "headingNMEA",  "speedNMEA",     "altitude",
                                "calcHHMMSS", "calcDDMMYY",   "lat_dd",        "lon_dd",
                                "nSatsInUse", "hdop",         "pdop",          "vdop",
                                "gpsdMode",   "eastVelocity", "northVelocity", "upVelocity"};

std::string g_dir;

void remove_dir() {
    for (const char* suffix : {"", "-journal", "-wal", "-shm"})
        unlink((g_dir + "/sysdb.sqlite" + suffix).c_str());
    rmdir(g_dir.c_str());
}

bool init_once() {
    const char* base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    std::string templ = std::string(base) + "/fuzz_sentences.XXXXXX";
    if (mkdtemp(&templ[0]) == nullptr) abort();
    g_dir = templ;
    atexit(remove_dir);
    setenv("SYSDB_PATH", (g_dir + "/sysdb.sqlite").c_str(), 1);
    setlogmask(LOG_MASK(LOG_EMERG));
    return true;
}

class Bytes {
public:
    Bytes(const uint8_t* data, size_t size) : p_(data), end_(data + size) {}
    uint8_t byte() { return p_ < end_ ? *p_++ : 0; }
    template <typename T>
    T raw() {
        T v{};
        unsigned char b[sizeof(T)] = {0};
        for (auto& c : b) c = byte();
        memcpy(&v, b, sizeof v);
        return v;
    }
    std::string text(size_t max) {
        std::string s;
        for (size_t n = byte() % (max + 1); n > 0 && p_ < end_; --n) s += static_cast<char>(byte());
        return s;
    }
    std::string rest() { return std::string(reinterpret_cast<const char*>(p_), end_ - p_); }

private:
    const uint8_t* p_;
    const uint8_t* end_;
};

// One member of any type the record could hold, or none.
bool value(Bytes& in, Json::Value* out) {
    switch (in.byte() % 9) {
        case 0:
            return false;
        case 1:
            *out = in.raw<double>();
            break;  // any bit pattern: NaN, infinities, huge
        case 2:
            *out = in.raw<int32_t>();
            break;
        case 3:
            *out = in.raw<uint32_t>();
            break;
        case 4:
            *out = in.raw<int16_t>() / 100.0;
            break;
        case 5:
            *out = (in.byte() & 1) != 0;
            break;
        case 6:
            *out = in.text(12);
            break;
        case 7:
            *out = Json::Value();
            break;
        default:
            *out = Json::Value(static_cast<Json::Int64>(in.raw<int64_t>()));
            break;
    }
    return true;
}

Json::Value structured_record(Bytes& in) {
    Json::Value fix(Json::objectValue);
    for (const char* m : kMembers) {
        Json::Value v;
        if (value(in, &v)) fix[m] = v;
    }
    if (in.byte() & 1) {
        Json::Value sats(Json::arrayValue);
        for (int n = in.byte() % 48; n > 0; --n) {
            Json::Value sat(Json::objectValue);
            Json::Value v;
            if (value(in, &v)) sat["used"] = v;
            if (value(in, &v)) sat["PRN"] = v;
            sats.append(sat);
        }
        fix["sats"] = sats;
    }
    return fix;
}

unsigned xor_checksum(const std::string& s, size_t end) {
    unsigned sum = 0;
    for (size_t i = 1; i < end; ++i) sum ^= static_cast<unsigned char>(s[i]);
    return sum;
}

void check_stored() {
    for (const char* key : kNmeaKeys) {
        sysdb_value v;
        if (sysdb_namedb_read_value(nullptr, "GPS", key, &v) != 0) continue;
        const std::string& t = v.text;
        char suffix[8];
        if (t.size() < 6 || t[0] != '$') abort();
        snprintf(suffix, sizeof suffix, "*%02X\r\n", xor_checksum(t, t.size() - 5));
        if (t.compare(t.size() - 5, 5, suffix) != 0) abort();
    }
    for (const char* key : {"GPS_TAIP_PV", "GPS_TAIP_LN"}) {
        sysdb_value v;
        if (sysdb_namedb_read_value(nullptr, "GPS", key, &v) != 0) continue;
        if (v.text.empty() || v.text.back() != '<' || v.text[0] != '>') abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool ready = init_once();
    (void)ready;
    Bytes in(data, size);
    const uint8_t mode = in.byte();

    if (mode % 3 == 2) {
        // A snapshot as JSON text through the whole writer.
        Json::Value snapshot;
        Json::Reader reader;
        if (!reader.parse(in.rest(), snapshot, false)) return 0;
        {
            std::lock_guard<std::mutex> lock(sysdb_mutex);
            ttffPending = (mode & 8) != 0;
        }
        try {
            saveGpsDataSysdb(snapshot);
        } catch (const std::exception&) {
            // only the read of "ts" may throw out of the writer
        }
        if ((mode & 16) != 0) publish_reset_for_test();
        check_stored();
        return 0;
    }

    // The device identifier as the writer hands it: up to 15 digits.
    std::string imei = in.text(15);
    for (char& c : imei) c = static_cast<char>('0' + static_cast<unsigned char>(c) % 10);
    Json::Value fix;
    if (mode % 3 == 0) {
        fix = structured_record(in);
    } else {
        Json::Reader reader;
        if (!reader.parse(in.rest(), fix, false)) return 0;
    }
    if ((mode & 4) != 0) taip_fix_seen = 0;

    sysdb_context ctx;
    if (sysdb_init(&ctx, 0) != 0) return 0;
    if (sysdb_txn_start(&ctx, "GPS", 0) == 0) {
        generate_gps_nmea_msgs(&ctx, imei.c_str(), fix);
        sysdb_txn_end(&ctx);
    }
    sysdb_exit(&ctx);
    check_stored();
    return 0;
}
