// navmon under faults, end to end: a real gpsd replaying the long drive, a real mosquitto,
// navmon as a process. Each test checks what a reader of the system database and a subscriber
// on the broker see. A BatchWatch polls the fix batch throughout, so every test also checks
// that no reader ever sees a torn batch.
#include <gtest/gtest.h>
#include <json/json.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <set>
#include <sstream>
#include <string>
#include <thread>

#include "tests/support/batch_watch.h"
#include "tests/support/gpsd_fixture.h"
#include "tests/support/navmon_fixture.h"
#include "tests/support/support.h"

using navtest::BatchWatch;
using navtest::NavmonRun;

namespace {

const char kTpvTopic[] = "v1/device/gps/location/tpv/update";

void sleep_ms(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

std::string db_value(const NavmonRun& run, const char* db, const char* key) {
    std::string v;
    return run.db_get(db, key, &v) ? v : "<missing>";
}

bool wait_db(const NavmonRun& run, const char* db, const char* key, const std::string& want,
             int timeout_ms) {
    return navtest::wait_for([&] { return db_value(run, db, key) == want; }, timeout_ms);
}

bool parses_as_object(const std::string& text, Json::Value* out) {
    Json::CharReaderBuilder builder;
    std::string errors;
    std::istringstream in(text);
    return Json::parseFromStream(builder, in, out, &errors) && out->isObject();
}

bool valid_nmea_line(const std::string& s) {
    size_t star = s.find('*');
    if (s.size() < 4 || s[0] != '$' || star == std::string::npos || star + 3 > s.size())
        return false;
    unsigned sum = 0;
    for (size_t i = 1; i < star; ++i) sum ^= static_cast<unsigned char>(s[i]);
    char hex[3];
    snprintf(hex, sizeof hex, "%02X", sum);
    return s.compare(star + 1, 2, hex) == 0;
}

// A stored satellites-in-view group: every line a checksummed $GPGSV, numbered 1..N of N.
::testing::AssertionResult complete_gsv_group(const std::string& text) {
    std::istringstream in(text);
    std::string line;
    int n = 0, total = -1;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty()) continue;
        ++n;
        int count = 0, index = 0;
        if (!valid_nmea_line(line) || sscanf(line.c_str(), "$GPGSV,%d,%d,", &count, &index) != 2)
            return ::testing::AssertionFailure() << "bad line " << n << ": " << line;
        if (total < 0) total = count;
        if (count != total || index != n)
            return ::testing::AssertionFailure() << "line " << n << " out of group: " << line;
    }
    if (n == 0 || n != total)
        return ::testing::AssertionFailure() << n << " lines for a group of " << total;
    return ::testing::AssertionSuccess();
}

double file_mtime(const std::string& path) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) return -1.0;
    return static_cast<double>(st.st_mtim.tv_sec) + static_cast<double>(st.st_mtim.tv_nsec) / 1e9;
}

struct Rig {
    explicit Rig(long start_epoch = 60)
        : gpsd(run.root(), "drive_long.nmea", options(start_epoch)) {
        EXPECT_TRUE(broker.start());
        run.env["MQTT_PORT"] = std::to_string(broker.port());
        for (const auto& kv : gpsd.env()) run.env[kv.first] = kv.second;
    }
    ~Rig() {
        if (::testing::Test::HasFailure()) {
            // The daemon's state messages, without the per-line traffic.
            std::istringstream in(run.log());
            std::string line, out;
            while (std::getline(in, line))
                if (line.find(" logger:") == std::string::npos &&
                    line.find(" gpsd:") == std::string::npos &&
                    line.find(" GPS:") == std::string::npos &&
                    line.find(" DR ") == std::string::npos)
                    out += line.substr(0, 200) + "\n";
            if (out.size() > 12000) out = out.substr(out.size() - 12000);
            printf("---- navmon log (tail) ----\n%s\n", out.c_str());
        }
    }
    static navtest::GpsdFixtureOptions options(long start_epoch) {
        navtest::GpsdFixtureOptions o;
        o.loop = true;
        o.start_epoch = start_epoch;
        o.start_gpsd = true;  // running already, so the session attaches at its first pass
        return o;
    }

    // navmon started and switched on by signal; true once the session has attached.
    bool start_session() {
        if (!gpsd.ok() || !run.start()) return false;
        // SIGUSR1 is only heard once the client exists: wait for the first idle pass.
        if (!run.wait_log("Enabled:0", 5000)) return false;
        run.process().signal(SIGUSR1);
        return wait_db(run, "GPS", "GPS_STATUS", "ACTIVE", 10000);
    }
    bool start_valid_session() {
        return start_session() && wait_db(run, "GPS", "GPS_VALID", "1", 40000);
    }

    // An orderly stop: status 255, pid file gone, and the batch a reader saw never torn.
    void expect_orderly_stop(BatchWatch& watch) {
        run.process().signal(SIGTERM);
        EXPECT_EQ(run.process().wait(20000), 255);
        EXPECT_FALSE(navtest::file_exists(run.path("/var/run/navmon.pid")));
        EXPECT_EQ(db_value(run, "GPS", "GPS_STATUS"), "INACTIVE");
        sleep_ms(50);
        watch.stop();
        EXPECT_GT(watch.samples(), 0);
        EXPECT_EQ(watch.torn_count(), 0);
        for (const auto& t : watch.torn()) ADD_FAILURE() << t;
    }

    navtest::Broker broker;
    NavmonRun run;
    navtest::GpsdFixture gpsd;
};

// Waits until the watcher has seen a commit newer than `ts`.
bool wait_commit_after(const BatchWatch& watch, double ts, int timeout_ms) {
    return navtest::wait_for([&] { return watch.last_ts() > ts; }, timeout_ms);
}

}  // namespace

TEST(Faults, GpsdKilledMidDriveNeverTearsTheBatch) {
    Rig rig;
    BatchWatch watch(rig.run.db_path());
    ASSERT_TRUE(rig.start_valid_session());

    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        pid_t old_pid = rig.gpsd.gpsd_pid();
        ASSERT_GT(old_pid, 0);
        int starts = rig.gpsd.start_count();
        const std::string fix_time = db_value(rig.run, "GPS", "GPS_ISO8601");
        ASSERT_TRUE(rig.gpsd.kill_gpsd(SIGKILL));
        EXPECT_TRUE(rig.run.wait_log(
            "gpsd (" + std::to_string(old_pid) + ") exited! Restarting gpsd!", 10000));
        EXPECT_TRUE(navtest::wait_for([&] { return rig.gpsd.start_count() > starts; }, 10000));
        // Passes resume with a valid fix, newer than the last one before the kill.
        EXPECT_TRUE(navtest::wait_for(
            [&] {
                return db_value(rig.run, "GPS", "GPS_ISO8601") > fix_time &&
                       db_value(rig.run, "GPS", "GPS_VALID") == "1";
            },
            30000))
            << "last fix before the kill: " << fix_time;
    }
    rig.expect_orderly_stop(watch);
    EXPECT_GE(watch.commits().size(), 3u);
}

TEST(Faults, BrokerOutageThenReconnectAndEnableCommand) {
    Rig rig;
    BatchWatch watch(rig.run.db_path());
    ASSERT_TRUE(rig.start_valid_session());
    {
        navtest::Subscriber sub(rig.broker.port(), {kTpvTopic});
        ASSERT_TRUE(sub.wait_message(kTpvTopic, 10000));
    }

    rig.broker.stop();
    double before = watch.last_ts();
    sleep_ms(30000);
    // The passes went on without the broker.
    EXPECT_GT(watch.last_ts(), before + 20.0);
    EXPECT_TRUE(rig.run.process().running());

    ASSERT_TRUE(rig.broker.start());  // same port
    navtest::Subscriber sub(rig.broker.port(),
                            {kTpvTopic, "v1/device/gps/enable/ack", "v1/device/gps/enable/update"});
    ASSERT_TRUE(sub.connected());
    EXPECT_TRUE(sub.wait_message(kTpvTopic, 20000)) << "broadcasts did not resume";

    // The request topic was subscribed again: the enable command answers both ways.
    struct Step {
        bool value;
        int session;
        const char* status;
    };
    for (const Step& step : {Step{false, 31, "INACTIVE"}, Step{true, 32, "ACTIVE"}}) {
        SCOPED_TRACE(step.session);
        sub.clear();
        navtest::Message ack;
        bool answered = false;
        // The daemon's reconnect can lag the broker's restart by a retry interval.
        for (int attempt = 0; attempt < 10 && !answered; ++attempt) {
            ASSERT_TRUE(navtest::publish(rig.broker.port(), "v1/device/gps/enable/apply",
                                         std::string("{\"value\":") +
                                             (step.value ? "true" : "false") +
                                             ",\"session\":" + std::to_string(step.session) + "}"));
            answered = sub.wait_message("v1/device/gps/enable/ack", 8000, &ack);
        }
        ASSERT_TRUE(answered);
        Json::Value reply;
        ASSERT_TRUE(parses_as_object(ack.payload, &reply));
        EXPECT_EQ(reply["rc"].asInt(), 200) << ack.payload;
        EXPECT_EQ(reply["session"].asInt(), step.session);
        EXPECT_TRUE(wait_db(rig.run, "GPS", "GPS_STATUS", step.status, 10000));
    }
    // Back on: gpsd started again by the session, broadcasts flow.
    sub.clear();
    EXPECT_TRUE(sub.wait_message(kTpvTopic, 20000));
    rig.expect_orderly_stop(watch);
}

TEST(Faults, DatabaseHeldByAnotherWriterDropsOnlyThatBatch) {
    Rig rig;
    BatchWatch watch(rig.run.db_path());
    ASSERT_TRUE(rig.start_valid_session());
    ASSERT_TRUE(wait_commit_after(watch, -1.0, 5000));
    const std::string failure = "failed: database is locked";
    const int failures = rig.run.log_count(failure);

    double held_from, held_to, before;
    {
        navtest::WriteLock lock(rig.run.db_path());
        ASSERT_TRUE(lock.held());
        held_from = navtest::monotonic_seconds();
        before = lock.gps_data_ts();
        sleep_ms(2500);
        held_to = navtest::monotonic_seconds();
    }
    // Writers gave up after the busy timeout and said so; batches land again afterwards.
    EXPECT_GT(rig.run.log_count(failure), failures);
    EXPECT_TRUE(wait_commit_after(watch, before, 4000));
    double resumed = watch.last_ts();
    EXPECT_TRUE(wait_commit_after(watch, resumed, 3000));
    // No commit became visible while the lock was held, and nothing queued up behind it: the
    // passes that could not write are gone, not replayed.
    const auto commits = watch.commits();
    for (const auto& c : commits)
        EXPECT_FALSE(c.seen_at > held_from + 0.05 && c.seen_at < held_to - 0.05)
            << "commit " << c.ts << " seen during the hold";
    for (size_t i = 1; i < commits.size(); ++i)
        EXPECT_GT(commits[i].ts - commits[i - 1].ts, 0.5) << "batches bunched at " << commits[i].ts;
    EXPECT_EQ(db_value(rig.run, "GPS", "GPS_VALID"), "1");
    rig.expect_orderly_stop(watch);
}

TEST(Faults, SigtermWhileAPassWaitsForTheDatabase) {
    Rig rig;
    BatchWatch watch(rig.run.db_path());
    ASSERT_TRUE(rig.start_valid_session());
    ASSERT_TRUE(wait_commit_after(watch, -1.0, 5000));
    const std::string failure = "failed: database is locked";
    const int failures = rig.run.log_count(failure);

    navtest::WriteLock lock(rig.run.db_path());
    ASSERT_TRUE(lock.held());
    const double committed = lock.gps_data_ts();
    // Once a writer has given up, every pass is stuck behind the lock (in the busy wait or on
    // the database mutex): the signal lands in the middle of one.
    ASSERT_TRUE(navtest::wait_for([&] { return rig.run.log_count(failure) > failures; }, 4000));
    rig.run.process().signal(SIGTERM);
    sleep_ms(300);
    lock.release();

    EXPECT_EQ(rig.run.process().wait(20000), 255);
    EXPECT_FALSE(navtest::file_exists(rig.run.path("/var/run/navmon.pid")));
    sleep_ms(50);
    watch.stop();
    // The interrupted pass either landed whole or not at all; the last batch is intact.
    EXPECT_GE(watch.last_ts(), committed);
    EXPECT_EQ(watch.torn_count(), 0);
    for (const auto& t : watch.torn()) ADD_FAILURE() << t;
    Json::Value fix;
    ASSERT_TRUE(parses_as_object(db_value(rig.run, "GPS", "GPS_DATA"), &fix));
    EXPECT_EQ(fix["ts"].asDouble(), watch.last_ts());
    EXPECT_EQ(db_value(rig.run, "GPS", "GPS_STATUS"), "INACTIVE");
}

TEST(Faults, FirmwareFlashingStandsAsideAndResumes) {
    Rig rig;
    BatchWatch watch(rig.run.db_path());
    ASSERT_TRUE(rig.start_valid_session());
    const std::string marker = rig.run.path("/tmp/gps-flashing");
    const std::string ack = rig.run.path("/tmp/gps-flashing-navmon-ack");

    navtest::write_file(marker, "");
    EXPECT_TRUE(rig.run.wait_log("Exiting due to GPS module update pending", 5000));
    EXPECT_TRUE(wait_db(rig.run, "GPS", "GPS_STATUS", "INACTIVE", 5000));
    EXPECT_EQ(db_value(rig.run, "GPS", "GPS_VALID"), "<missing>");
    EXPECT_TRUE(navtest::wait_for([&] { return !rig.gpsd.gpsd_running(); }, 10000));
    ASSERT_TRUE(navtest::wait_for([&] { return navtest::file_exists(ack); }, 5000));

    // While the module is flashed: no passes, the acknowledgement refreshed every 10 s.
    const double stood_aside = watch.last_ts();
    const int starts = rig.gpsd.start_count();
    double first = file_mtime(ack);
    EXPECT_TRUE(navtest::wait_for([&] { return file_mtime(ack) > first; }, 13000));
    double second = file_mtime(ack);
    EXPECT_GT(second - first, 9.0);
    EXPECT_LT(second - first, 12.0);
    EXPECT_EQ(watch.last_ts(), stood_aside);
    EXPECT_EQ(rig.gpsd.start_count(), starts);

    // Flashing over: the daemon re-enters a session by itself.
    navtest::Subscriber sub(rig.broker.port(), {kTpvTopic});
    ASSERT_TRUE(unlink(marker.c_str()) == 0);
    EXPECT_TRUE(wait_db(rig.run, "GPS", "GPS_STATUS", "ACTIVE", 13000));
    EXPECT_TRUE(navtest::wait_for([&] { return rig.gpsd.start_count() > starts; }, 10000));
    EXPECT_TRUE(sub.wait_message(kTpvTopic, 20000));
    EXPECT_TRUE(wait_commit_after(watch, stood_aside, 20000));
    EXPECT_TRUE(wait_db(rig.run, "GPS", "GPS_VALID", "1", 30000));
    rig.expect_orderly_stop(watch);
}

// Noise in the receiver's output. gpsd itself drops what has a wrong checksum or no sentence
// shape, but passes lines without a checksum, so truncated sentences reach the intake.
struct Noise {
    const char* name;
    long start_epoch;
    const char* needle;  // a noisy line as gpsd passes it on
    const char* db;      // a key that must keep changing after the noise
    const char* key;
};

void PrintTo(const Noise& n, std::ostream* os) {
    *os << n.name;
}

class FaultsNoise : public ::testing::TestWithParam<Noise> {};

TEST_P(FaultsNoise, FollowingGoodDataIsUsed) {
    const Noise& p = GetParam();
    Rig rig(p.start_epoch);
    BatchWatch watch(rig.run.db_path());
    navtest::GpsdWatch raw(rig.gpsd.gpsd_port(), true);
    ASSERT_TRUE(raw.connected());
    ASSERT_TRUE(rig.start_session());

    // The noisy line, exactly (a good GSV line can begin like the truncated one).
    bool seen = false;
    for (int i = 0; i < 150 && !seen; ++i)
        for (const auto& line : raw.collect(200)) seen = seen || line == p.needle;
    ASSERT_TRUE(seen) << "the recording's noise did not come through";
    // Every satellites-in-view group a reader sees from here on is whole, and the key fed by
    // the following good sentences moves on.
    std::string value = db_value(rig.run, p.db, p.key);
    double ts = watch.last_ts();
    std::set<std::string> groups;
    bool moved = false;
    for (double end = navtest::monotonic_seconds() + 5.0; navtest::monotonic_seconds() < end;) {
        groups.insert(db_value(rig.run, "GPS", "GPS_NMEA_GPGSV"));
        moved = moved || db_value(rig.run, p.db, p.key) != value;
        sleep_ms(50);
    }
    EXPECT_TRUE(moved) << p.db << "/" << p.key << " stayed " << value;
    for (const auto& g : groups) EXPECT_TRUE(complete_gsv_group(g));
    EXPECT_TRUE(wait_commit_after(watch, ts, 3000));
    EXPECT_TRUE(rig.run.process().running());
    rig.expect_orderly_stop(watch);
}

INSTANTIATE_TEST_SUITE_P(
    Recording, FaultsNoise,
    ::testing::Values(
        // Epoch 250: a GSV line with a bad checksum, a truncated GSV line, binary noise.
        Noise{"TruncatedGsv", 240, "$GPGSV,3,2,1", "GPS", "GPS_NMEA_GPGSV"},
        // Epoch 330, in the tunnel: a truncated dead-reckoning sentence and a line of text.
        Noise{"TruncatedDeadReckoning", 320, "$PSTMDRPVA,28800.0,12345,48.1", "DR", "DR_LAT"}),
    [](const ::testing::TestParamInfo<Noise>& info) { return std::string(info.param.name); });
