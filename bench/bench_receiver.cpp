// Receiver line intake: one 1 Hz epoch of a dead-reckoning receiver (RMC, GGA, GSA, a
// three-line GSV group, four "$PSTM" lines) through on_nmea_message with a real system
// database file. The per-line syslog call is excluded: setlogmask drops every priority but
// LOG_EMERG, so syslog() returns at its mask test (the message is still formatted by nm_log).
#include <benchmark/benchmark.h>
#include <syslog.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/base/base.h"
#include "platform/sysdb/sysdb.h"
#include "receiver/receiver.h"

namespace {

const char kEpoch[] =
    "$GPRMC,080105.00,A,4808.2292,N,01134.5674,E,24.3,87.5,140326,,,A*6B\r\n"
    "$GPGGA,080105.00,4808.2292,N,01134.5674,E,1,09,0.90,519.4,M,47.0,M,,*5C\r\n"
    "$GPGSA,A,3,02,05,09,13,15,18,20,25,29,,,,1.60,0.90,1.32*0A\r\n"
    "$GPGSV,3,1,10,02,67,112,44,05,43,250,41,07,12,045,,09,55,300,45*77\r\n"
    "$GPGSV,3,2,10,13,30,160,39,15,22,080,36,18,71,020,47,20,08,200,28*78\r\n"
    "$GPGSV,3,3,10,25,35,330,38,29,48,135,42*70\r\n"
    "$PSTMDRPVA,28905.0,1105000,48.137154,11.576124,519.0,6.75,0.21,0.05,-2.0,-0.1,87.5*65\r\n"
    "$PSTMDRSENMSG,14,1105000,24.30*0B\r\n"
    "$PSTMDRCONFID,2.0,2.2,0.50,0.0,0.010,0.002,0.0,0.05,3.0,2.6,1.6,0,0.10*29\r\n"
    "$PSTMDRAHRS,0.18,-0.80,0.0,-0.73,0.00*03\r\n";
constexpr int kLinesPerEpoch = 10;

struct Setup {
    std::string dir;
    Setup() {
        char templ[] = "/tmp/bench_receiver.XXXXXX";
        const char* d = mkdtemp(templ);
        dir = d ? d : "/tmp";
        log_set_verbose(false);
        setlogmask(LOG_MASK(LOG_EMERG));
    }
    ~Setup() {
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }
};

void run_epochs(benchmark::State& state, bool dead_reckoning) {
    Setup setup;
    sysdb::Database db(setup.dir + "/sysdb.sqlite");
    ReceiverIntake intake(db);
    intake.set_deadreckon_enabled(dead_reckoning);
    std::vector<char> buf(sizeof kEpoch);
    for (auto _ : state) {
        std::copy(kEpoch, kEpoch + sizeof kEpoch, buf.begin());  // the split writes into it
        intake.on_nmea_message(buf.data());
    }
    state.SetItemsProcessed(state.iterations() * kLinesPerEpoch);
}

// Everything: a GSV group and SQI per epoch plus four dead-reckoning transactions.
void BM_EpochWithDeadReckoning(benchmark::State& state) {
    run_epochs(state, true);
}
BENCHMARK(BM_EpochWithDeadReckoning);

// Dead reckoning off: the "$PSTM" lines are only logged.
void BM_EpochWithoutDeadReckoning(benchmark::State& state) {
    run_epochs(state, false);
}
BENCHMARK(BM_EpochWithoutDeadReckoning);

// The parsing alone, without the database: the widest handler's field scan.
void BM_ScanPvaFields(benchmark::State& state) {
    const char* line =
        "$PSTMDRPVA,28905.0,1105000,48.137154,11.576124,519.0,6.75,0.21,0.05,-2.0,-0.1,87.5*65";
    double f[10];
    unsigned cputime;
    for (auto _ : state) {
        int n =
            scan_fields(line, "$PSTMDRPVA,%lf,%u,%lf,%lf,%lf,%lf,%lf,%lf,%lf,%lf,%lf*%*s", &f[0],
                        &cputime, &f[1], &f[2], &f[3], &f[4], &f[5], &f[6], &f[7], &f[8], &f[9]);
        benchmark::DoNotOptimize(n);
        benchmark::DoNotOptimize(f);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ScanPvaFields);

// The same scan by the C library, for comparison.
void BM_SscanfPvaFields(benchmark::State& state) {
    const char* line =
        "$PSTMDRPVA,28905.0,1105000,48.137154,11.576124,519.0,6.75,0.21,0.05,-2.0,-0.1,87.5*65";
    double f[10];
    unsigned cputime;
    for (auto _ : state) {
        int n = sscanf(line, "$PSTMDRPVA,%lf,%u,%lf,%lf,%lf,%lf,%lf,%lf,%lf,%lf,%lf*%*s", &f[0],
                       &cputime, &f[1], &f[2], &f[3], &f[4], &f[5], &f[6], &f[7], &f[8], &f[9]);
        benchmark::DoNotOptimize(n);
        benchmark::DoNotOptimize(f);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SscanfPvaFields);

}  // namespace
