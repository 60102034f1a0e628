// One processing pass's publication (saveGpsDataSysdb with its sentences, committed to SQLite
// on tmpfs) and the sentence generation alone.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "platform/base/base.h"
#include "platform/sysdb/sysdb.h"
#include "publish/publish.h"
#include "sentences/sentences.h"

namespace {

// A private database on tmpfs when there is one, removed at exit.
struct BenchDb {
    std::string dir;
    std::unique_ptr<sysdb::Database> db;
    BenchDb() {
        dir = std::string(access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp") + "/bench.XXXXXX";
        if (mkdtemp(&dir[0]) == nullptr) abort();
        setlogmask(LOG_MASK(LOG_EMERG));
        db = std::make_unique<sysdb::Database>(dir + "/sysdb.db");
        db->write_str("CELL", "CELL_IMEI", "351234567890123");
    }
    ~BenchDb() {
        db.reset();
        for (const char* suffix : {"", "-journal", "-wal", "-shm"})
            unlink((dir + "/sysdb.db" + suffix).c_str());
        rmdir(dir.c_str());
    }
};

sysdb::Database& database() {
    static BenchDb db;
    return *db.db;
}

// A 3D fix with twelve satellites, as a pass hands it over.
Json::Value snapshot() {
    Json::Value v;
    Json::Reader().parse(R"({"ts": 1234.5, "validity": true, "iso8601": "2025-09-21T16:30:00.000Z",
        "calc_hhmmss": 163000, "calc_ddmmyy": 210925,
        "TPV": {"class": "TPV", "mode": 3, "time": "2025-09-21T16:30:00.000Z", "lat": 52.123456,
                "lon": -1.234567, "alt": 123.4, "speed": 12.3, "track": 271.5, "climb": 0.1},
        "SKY": {"class": "SKY", "hdop": 0.9, "vdop": 1.2, "pdop": 1.5, "satellites": [
            {"PRN": 1, "el": 45, "az": 100, "ss": 40, "used": true, "gnssid": 0},
            {"PRN": 3, "el": 30, "az": 200, "ss": 35, "used": true, "gnssid": 0},
            {"PRN": 6, "el": 60, "az": 300, "ss": 42, "used": true, "gnssid": 0},
            {"PRN": 9, "el": 15, "az": 50, "ss": 28, "used": true, "gnssid": 0},
            {"PRN": 12, "el": 70, "az": 150, "ss": 44, "used": true, "gnssid": 0},
            {"PRN": 17, "el": 20, "az": 250, "ss": 30, "used": false, "gnssid": 0},
            {"PRN": 19, "el": 35, "az": 350, "ss": 33, "used": true, "gnssid": 0},
            {"PRN": 22, "el": 10, "az": 20, "ss": 22, "used": false, "gnssid": 0},
            {"PRN": 65, "el": 40, "az": 120, "ss": 38, "used": true, "gnssid": 6},
            {"PRN": 66, "el": 25, "az": 220, "ss": 31, "used": true, "gnssid": 6},
            {"PRN": 301, "el": 50, "az": 320, "ss": 36, "used": true, "gnssid": 2},
            {"PRN": 302, "el": 12, "az": 80, "ss": 25, "used": false, "gnssid": 2}]}})",
                         v);
    return v;
}

void BM_SaveGpsDataSysdb(benchmark::State& state) {
    Json::Value snap = snapshot();
    FixWriter writer(database());
    for (auto _ : state) {
        snap["ts"] = snap["ts"].asDouble() + 1.0;
        benchmark::DoNotOptimize(writer.saveGpsDataSysdb(snap));
    }
}
BENCHMARK(BM_SaveGpsDataSysdb)->Unit(benchmark::kMicrosecond);

// The eight texts composed and written inside one open batch (no commit per iteration).
void BM_GenerateGpsNmeaMsgs(benchmark::State& state) {
    Json::Value snap = snapshot();
    FixWriter writer(database());
    writer.saveGpsDataSysdb(snap);
    Json::Value fix = writer.fix_record();
    SentenceGenerator generator;
    sysdb::Batch batch(database(), "GPS");
    if (!batch.open()) state.SkipWithError("system database not available");
    for (auto _ : state) generator.generate_gps_nmea_msgs(batch, "351234567890123", fix);
}
BENCHMARK(BM_GenerateGpsNmeaMsgs)->Unit(benchmark::kMicrosecond);

}  // namespace
