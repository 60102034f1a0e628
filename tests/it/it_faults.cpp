// navmon under faults, end to end: a real gpsd replaying the long drive, a real mosquitto, navmon
// as a process. Each test checks what a reader of the system database and a subscriber on the
// broker see; a BatchWatch polls the fix batch throughout, and no reader may ever see it torn.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <set>
#include <sstream>
#include <thread>

#include "tests/support/batch_watch.h"
#include "tests/support/gpsd_fixture.h"
#include "tests/support/navmon_fixture.h"

using navtest::BatchWatch;
using navtest::wait_for;

namespace {

const char kTpv[] = "v1/device/gps/location/tpv/update";
const char kLocked[] = "failed: database is locked";

void sleep_ms(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

double mtime(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? st.st_mtim.tv_sec + st.st_mtim.tv_nsec / 1e9 : -1.0;
}

// Every line a checksummed $GPGSV, numbered 1..N of N.
bool whole_gsv_group(const std::string& text) {
    std::istringstream in(text);
    int n = 0, total = 0;
    for (std::string line; std::getline(in, line);) {
        size_t star = line.find('*');
        unsigned sum = 0, want = 0;
        int count = 0, index = 0;
        for (size_t i = 1; i < star && i < line.size(); ++i)
            sum ^= static_cast<unsigned char>(line[i]);
        if (star == line.npos || sscanf(line.c_str() + star, "*%2X", &want) != 1 || want != sum ||
            sscanf(line.c_str(), "$GPGSV,%d,%d,", &count, &index) != 2 || index != ++n ||
            count != (n == 1 ? (total = count) : total))
            return false;
    }
    return n > 0 && n == total;
}

bool wait_commit_after(const BatchWatch& watch, double ts, int timeout_ms) {
    return wait_for([&] { return watch.last_ts() > ts; }, timeout_ms);
}

struct Rig {
    // gpsd running already, so the session attaches at its first pass.
    explicit Rig(long start_epoch = 60)
        : gpsd(run.root(), "drive_long.nmea", {1.0, true, start_epoch, true}) {
        EXPECT_TRUE(broker.start());
        run.env["MQTT_PORT"] = std::to_string(broker.port());
        for (const auto& kv : gpsd.env()) run.env[kv.first] = kv.second;
    }
    ~Rig() {  // on failure, the daemon's log without the per-line traffic
        std::string tail;
        if (::testing::Test::HasFailure() &&
            navtest::run_command("grep -aEv ' (logger:|gpsd:|GPS:|DR )' " + run.log_path() +
                                     " | cut -c1-200 | tail -n 200",
                                 &tail) == 0)
            printf("---- navmon log ----\n%s", tail.c_str());
    }
    // Switched on by SIGUSR1, which is only heard once the client exists (first idle pass).
    bool start_session() {
        return gpsd.ok() && run.start() && run.wait_log("Enabled:0", 5000) &&
               (run.process().signal(SIGUSR1), run.wait_db("GPS", "GPS_STATUS", "ACTIVE", 10000));
    }
    bool start_valid_session() {
        return start_session() && run.wait_db("GPS", "GPS_VALID", "1", 40000) &&
               wait_commit_after(watch, -1.0, 5000);
    }
    // SIGTERM: status 255, pid file gone, status INACTIVE, no torn batch ever seen.
    void expect_orderly_stop(bool signal = true) {
        if (signal) run.process().signal(SIGTERM);
        EXPECT_EQ(run.process().wait(20000), 255);
        EXPECT_FALSE(navtest::file_exists(run.path("/var/run/navmon.pid")));
        EXPECT_EQ(run.db_value("GPS", "GPS_STATUS"), "INACTIVE");
        sleep_ms(50);
        watch.stop();
        for (const auto& t : watch.torn()) ADD_FAILURE() << t;
    }

    navtest::Broker broker;
    navtest::NavmonRun run;
    navtest::GpsdFixture gpsd;
    BatchWatch watch{run.db_path()};
};

}  // namespace

TEST(Faults, GpsdKilledTwiceThenFirmwareFlashing) {
    Rig rig;
    ASSERT_TRUE(rig.start_valid_session());
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        int starts = rig.gpsd.start_count();
        const std::string fix_time = rig.run.db_value("GPS", "GPS_ISO8601");
        const pid_t pid = rig.gpsd.gpsd_pid();
        ASSERT_TRUE(rig.gpsd.kill_gpsd(SIGKILL));
        EXPECT_TRUE(
            rig.run.wait_log("gpsd (" + std::to_string(pid) + ") exited! Restarting gpsd!", 10000));
        EXPECT_TRUE(wait_for([&] { return rig.gpsd.start_count() > starts; }, 10000));
        // A valid fix again, newer than the last one before the kill.
        EXPECT_TRUE(wait_for(
            [&] {
                return rig.run.db_value("GPS", "GPS_ISO8601") > fix_time &&
                       rig.run.db_value("GPS", "GPS_VALID") == "1";
            },
            30000))
            << "last fix before the kill: " << fix_time;
    }
    EXPECT_GE(rig.watch.commits().size(), 3u);

    // The firmware-flashing marker: the session ends and gpsd is stopped.
    const std::string marker = rig.run.path("/tmp/gps-flashing");
    const std::string ack = rig.run.path("/tmp/gps-flashing-navmon-ack");
    navtest::write_file(marker, "");
    EXPECT_TRUE(rig.run.wait_db("GPS", "GPS_STATUS", "INACTIVE", 5000));
    EXPECT_EQ(rig.run.db_value("GPS", "GPS_VALID"), "<missing>");
    EXPECT_TRUE(wait_for([&] { return !rig.gpsd.gpsd_running(); }, 10000));
    ASSERT_TRUE(wait_for([&] { return navtest::file_exists(ack); }, 5000));

    // While the module is flashed: no passes, no gpsd, the acknowledgement touched every 10 s.
    const double stood_aside = rig.watch.last_ts();
    const int starts = rig.gpsd.start_count();
    const double first = mtime(ack);
    EXPECT_TRUE(wait_for([&] { return mtime(ack) > first; }, 13000));
    EXPECT_NEAR(mtime(ack) - first, 10.5, 1.5);
    EXPECT_EQ(rig.watch.last_ts(), stood_aside);
    EXPECT_EQ(rig.gpsd.start_count(), starts);

    // Flashing over: the daemon re-enters a session by itself.
    navtest::Subscriber sub(rig.broker.port(), {kTpv});
    ASSERT_EQ(unlink(marker.c_str()), 0);
    EXPECT_TRUE(rig.run.wait_db("GPS", "GPS_STATUS", "ACTIVE", 13000));
    EXPECT_TRUE(wait_for([&] { return rig.gpsd.start_count() > starts; }, 10000));
    EXPECT_TRUE(sub.wait_message(kTpv, 20000));
    EXPECT_TRUE(wait_commit_after(rig.watch, stood_aside, 20000));
    EXPECT_TRUE(rig.run.wait_db("GPS", "GPS_VALID", "1", 30000));
    rig.expect_orderly_stop();
}

TEST(Faults, BrokerOutageThenReconnectAndEnableCommand) {
    Rig rig;
    ASSERT_TRUE(rig.start_valid_session());
    rig.broker.stop();
    double before = rig.watch.last_ts();
    sleep_ms(30000);
    EXPECT_GT(rig.watch.last_ts(), before + 20.0) << "passes stopped without the broker";
    ASSERT_TRUE(rig.broker.start());  // same port
    navtest::Subscriber sub(rig.broker.port(),
                            {kTpv, "v1/device/gps/enable/ack", "v1/device/gps/enable/update"});
    ASSERT_TRUE(sub.connected());
    EXPECT_TRUE(sub.wait_message(kTpv, 20000)) << "broadcasts did not resume";

    // The request topic was subscribed again: the enable command answers both ways.
    for (bool on : {false, true}) {
        SCOPED_TRACE(on);
        const int session = on ? 32 : 31;
        sub.clear();
        navtest::Message ack;
        bool answered = false;
        // The daemon's reconnect can lag the broker's restart by a retry interval.
        for (int attempt = 0; attempt < 10 && !answered; ++attempt) {
            ASSERT_TRUE(navtest::publish(rig.broker.port(), "v1/device/gps/enable/apply",
                                         std::string("{\"value\":") + (on ? "true" : "false") +
                                             ",\"session\":" + std::to_string(session) + "}"));
            answered = sub.wait_message("v1/device/gps/enable/ack", 8000, &ack);
        }
        ASSERT_TRUE(answered);
        Json::Value reply;
        ASSERT_TRUE(navtest::parse_object(ack.payload, &reply));
        EXPECT_EQ(reply["rc"].asInt(), 200) << ack.payload;
        EXPECT_EQ(reply["session"].asInt(), session);
        EXPECT_TRUE(rig.run.wait_db("GPS", "GPS_STATUS", on ? "ACTIVE" : "INACTIVE", 10000));
    }
    sub.clear();  // back on: gpsd started again by the session, broadcasts flow
    EXPECT_TRUE(sub.wait_message(kTpv, 20000));
    rig.expect_orderly_stop();
}

TEST(Faults, DatabaseHeldByAnotherWriterThenSigtermWhileHeld) {
    Rig rig;
    ASSERT_TRUE(rig.start_valid_session());
    const int failures = rig.run.log_count(kLocked);
    double held_from, held_to, before;
    {
        navtest::WriteLock lock(rig.run.db_path());
        ASSERT_TRUE(lock.held());
        held_from = navtest::monotonic_seconds();
        sleep_ms(2500);
        before = rig.watch.last_ts();  // readers still see the last commit
        held_to = navtest::monotonic_seconds();
    }
    // Writers gave up after the busy timeout and said so; batches land again afterwards.
    EXPECT_GT(rig.run.log_count(kLocked), failures);
    EXPECT_TRUE(wait_commit_after(rig.watch, before, 4000));
    EXPECT_TRUE(wait_commit_after(rig.watch, rig.watch.last_ts(), 3000));
    // Nothing committed during the hold, and nothing queued behind it: those passes are gone.
    const auto commits = rig.watch.commits();
    for (const auto& c : commits)
        EXPECT_FALSE(c.seen_at > held_from + 0.05 && c.seen_at < held_to - 0.05)
            << "commit " << c.ts << " seen during the hold";
    for (size_t i = 1; i < commits.size(); ++i)
        EXPECT_GT(commits[i].ts - commits[i - 1].ts, 0.5) << "batches bunched at " << commits[i].ts;
    EXPECT_EQ(rig.run.db_value("GPS", "GPS_VALID"), "1");

    // Held again past the busy timeout (failures are now logged at most every 10 s): a writer
    // gave up, every pass is stuck behind the lock, and SIGTERM lands in one. That pass lands
    // whole or not at all.
    navtest::WriteLock lock(rig.run.db_path());
    ASSERT_TRUE(lock.held());
    sleep_ms(1500);
    const double committed = rig.watch.last_ts();
    rig.run.process().signal(SIGTERM);
    sleep_ms(300);
    lock.release();
    rig.expect_orderly_stop(false);
    EXPECT_GE(rig.watch.last_ts(), committed);
    Json::Value fix;
    ASSERT_TRUE(navtest::parse_object(rig.run.db_value("GPS", "GPS_DATA"), &fix));
    EXPECT_EQ(fix["ts"].asDouble(), rig.watch.last_ts());
}

// Noise in the recording. gpsd drops lines with a wrong checksum or no sentence shape but passes
// lines without a checksum, so truncated sentences reach the intake.
TEST(Faults, NoiseInTheRecordingThenGoodDataIsUsed) {
    struct {
        long start_epoch;
        const char* line;  // the noisy line as gpsd passes it on
        const char* db;    // a key fed by the following good data
        const char* key;
    } cases[] = {
        // Epoch 250: a GSV line with a bad checksum, a truncated GSV line, binary noise.
        {240, "$GPGSV,3,2,1", "GPS", "GPS_NMEA_GPGSV"},
        // Epoch 330, in the tunnel: a truncated dead-reckoning sentence and a line of text.
        {320, "$PSTMDRPVA,28800.0,12345,48.1", "DR", "DR_LAT"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        Rig rig(c.start_epoch);
        navtest::GpsdWatch raw(rig.gpsd.gpsd_port(), true);
        ASSERT_TRUE(raw.connected());
        ASSERT_TRUE(rig.start_session());
        // The noisy line, exactly (a good GSV line can begin like the truncated one).
        bool seen = false;
        for (int i = 0; i < 150 && !seen; ++i)
            for (const auto& line : raw.collect(200)) seen = seen || line == c.line;
        ASSERT_TRUE(seen) << "the recording's noise did not come through";
        // From here on every GSV group a reader sees is whole, and the key moves on.
        const std::string value = rig.run.db_value(c.db, c.key);
        const double ts = rig.watch.last_ts();
        std::set<std::string> groups;
        bool moved = false;
        for (int i = 0; i < 100; ++i, sleep_ms(50)) {
            groups.insert(rig.run.db_value("GPS", "GPS_NMEA_GPGSV"));
            moved = moved || rig.run.db_value(c.db, c.key) != value;
        }
        EXPECT_TRUE(moved) << c.db << "/" << c.key << " stayed " << value;
        for (const auto& g : groups) EXPECT_TRUE(whole_gsv_group(g)) << g;
        EXPECT_TRUE(wait_commit_after(rig.watch, ts, 3000));
        rig.expect_orderly_stop();
    }
}
