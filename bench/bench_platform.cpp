// Costs of the platform calls made on every pass or every received line.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>

#include "platform/base/base.h"
#include "platform/clock/clock.h"
#include "platform/cmd/cmd.h"
#include "platform/gpsd/nmea.h"

static void BM_Checksum(benchmark::State& state) {
    const char* s = "$GPRMC,123519.00,A,4807.038,N,01131.000,E,022.4,084.4,230394,003.1,W*6A";
    for (auto _ : state) benchmark::DoNotOptimize(calculate_nmea_checksum(s));
}
BENCHMARK(BM_Checksum);

static void BM_LogDebugFiltered(benchmark::State& state) {
    log_set_verbose(false);
    for (auto _ : state) nm_log(LOG_DEBUG, "GPS:%s %d", "payload", 42);
}
BENCHMARK(BM_LogDebugFiltered);

static void BM_LogToFile(benchmark::State& state) {
    char dir[] = "/tmp/navmon-bench-XXXXXX";
    if (!mkdtemp(dir)) return;
    std::string file = std::string(dir) + "/log";
    log_open("navmon-bench", LOG_USER, file.c_str(), true);
    setlogmask(LOG_MASK(LOG_EMERG));  // keep the system log out of the measurement
    for (auto _ : state) nm_log(LOG_INFO, "line %d of %s", 42, "text");
    log_close();
    unlink(file.c_str());
    rmdir(dir);
}
BENCHMARK(BM_LogToFile);

static void BM_ConfigCachedRead(benchmark::State& state) {
    char dir[] = "/tmp/navmon-bench-XXXXXX";
    if (!mkdtemp(dir)) return;
    std::string file = std::string(dir) + "/config.json";
    FILE* f = fopen(file.c_str(), "w");
    fputs(R"({"gps":{"deadreckon":{"enable":true},"gps":{"xtra_enable":true}}})", f);
    fclose(f);
    ConfigStore config(file);
    bool b = false;
    for (auto _ : state)
        benchmark::DoNotOptimize(config.cmd_get_value_bool("gps.deadreckon.enable", &b));
    unlink(file.c_str());
    rmdir(dir);
}
BENCHMARK(BM_ConfigCachedRead);

static void BM_BootSeconds(benchmark::State& state) {
    for (auto _ : state) benchmark::DoNotOptimize(fwtime_bt_s(0));
}
BENCHMARK(BM_BootSeconds);
