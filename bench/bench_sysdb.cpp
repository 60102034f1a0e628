// Cost of one processing pass's database batch (35 mixed writes in one transaction) and of a
// single named read, on a file in tmpfs.
#include <benchmark/benchmark.h>
#include <json/json.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "platform/sysdb/sysdb.h"

namespace {

// A database file in /dev/shm for the whole run, removed at exit.
struct ShmDatabase {
    std::string dir;
    ShmDatabase() {
        char tmpl[] = "/dev/shm/navmon-bench-XXXXXX";
        if (mkdtemp(tmpl) == nullptr) abort();
        dir = tmpl;
        setenv("SYSDB_PATH", (dir + "/sysdb.sqlite").c_str(), 1);
    }
    ~ShmDatabase() {
        sysdb_reset_thread_connection();
        for (const char* f : {"/sysdb.sqlite", "/sysdb.sqlite-wal", "/sysdb.sqlite-shm"})
            unlink((dir + f).c_str());
        rmdir(dir.c_str());
    }
};
ShmDatabase g_db;

Json::Value snapshot() {
    Json::Value tpv;
    tpv["class"] = "TPV";
    tpv["mode"] = 3;
    tpv["time"] = "2024-05-01T12:34:56.000Z";
    tpv["lat"] = 52.520008123;
    tpv["lon"] = 13.404954456;
    tpv["alt"] = 34.5;
    tpv["speed"] = 12.25;
    tpv["track"] = 271.5;
    Json::Value sky;
    sky["class"] = "SKY";
    sky["hdop"] = 0.9;
    sky["vdop"] = 1.2;
    sky["pdop"] = 1.5;
    for (int i = 0; i < 12; ++i) {
        Json::Value sat;
        sat["PRN"] = i + 1;
        sat["el"] = 10 + 5 * i;
        sat["az"] = 30 * i;
        sat["ss"] = 20 + 2 * i;
        sat["used"] = i % 2 == 0;
        sat["gnssid"] = 0;
        sky["satellites"].append(sat);
    }
    Json::Value snap;
    snap["TPV"] = tpv;
    snap["SKY"] = sky;
    snap["validity"] = true;
    snap["ts"] = 12345.678;
    return snap;
}

void BM_ProcessingPassBatch(benchmark::State& state) {
    const Json::Value snap = snapshot();
    const Json::Value record = snap["TPV"];
    const char* const dbl_keys[] = {"GPS_DATA_TS",
                                    "GPS_LON",
                                    "GPS_LAST_VALID_LON",
                                    "GPS_LAT",
                                    "GPS_LAST_VALID_LAT",
                                    "GPS_ALT",
                                    "GPS_VEL",
                                    "GPS_VEL_KPH",
                                    "GPS_VEL_MPH",
                                    "GPS_HDG",
                                    "GPS_HDOP",
                                    "GPS_VDOP",
                                    "GPS_PDOP",
                                    "GPS_D13",
                                    "GPS_D14",
                                    "GPS_D15",
                                    "GPS_D16",
                                    "GPS_D17"};
    const char* const int_keys[] = {"GPS_VALID", "GPS_SATS", "GPS_SATS_INUSE",
                                    "GPS_I3",    "GPS_I4",   "GPS_I5"};
    const char* const str_keys[] = {"GPS_ISO8601",   "GPS_NMEA_PGPS", "GPS_NMEA_GPGGA",
                                    "GPS_NMEA_RMC1", "GPS_NMEA_RMC2", "GPS_NMEA_GPGSA",
                                    "GPS_NMEA_VEG",  "GPS_TAIP_PV",   "GPS_TAIP_LN"};
    const char sentence[] = "$GPGGA,123456.00,5231.2005,N,01324.2973,E,1,06,0.9,34.5,M,0.0,M,,*5B";
    double x = 0.0;
    for (auto _ : state) {
        sysdb_context ctx;
        if (sysdb_init(&ctx, 0) != 0 || sysdb_txn_start(&ctx, "GPS", 0) != 0) {
            state.SkipWithError("batch did not open");
            break;
        }
        sysdb_write_json(&ctx, "GPS_DATA_RAW", snap, 0);
        for (const char* k : dbl_keys) sysdb_write_dbl(&ctx, k, 0, x += 0.125);
        for (const char* k : int_keys) sysdb_write_int(&ctx, k, static_cast<int>(x), 0);
        for (const char* k : str_keys) sysdb_write_str(&ctx, k, sentence, 0);
        sysdb_write_json(&ctx, "GPS_DATA", record, 0);
        if (sysdb_txn_end(&ctx) != 0) state.SkipWithError("commit failed");
        sysdb_exit(&ctx);
    }
    state.SetItemsProcessed(state.iterations() * 35);
}
BENCHMARK(BM_ProcessingPassBatch)->Unit(benchmark::kMicrosecond)->Repetitions(10);

void BM_NamedReadStr(benchmark::State& state) {
    sysdb_namedb_write_str(nullptr, "CELL", "CELL_IMEI", "356938035643809", 0);
    char buf[16];
    for (auto _ : state) {
        if (sysdb_namedb_read_str(nullptr, "CELL", "CELL_IMEI", buf, sizeof buf) != 0) {
            state.SkipWithError("read failed");
            break;
        }
        benchmark::DoNotOptimize(buf);
    }
}
BENCHMARK(BM_NamedReadStr)->Unit(benchmark::kMicrosecond)->Repetitions(5);

}  // namespace
