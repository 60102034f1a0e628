// navmon as a process: command line, start-up records, signals, flashing wait, LED, service
// manager notifications and survival of bad configuration and storage.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "tests/support/navmon_fixture.h"
#include "tests/support/support.h"

using navtest::NavmonRun;

namespace {

std::string trimmed(std::string s) {
    while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.pop_back();
    return s;
}

std::string led(NavmonRun& run, const char* file) {
    return trimmed(navtest::read_file(run.led_file(file)));
}

bool systemctl_called(NavmonRun& run, const std::string& call, int timeout_ms = 5000) {
    return navtest::wait_for(
        [&] {
            return navtest::read_file(run.root() + "/systemctl.calls").find(call) !=
                   std::string::npos;
        },
        timeout_ms);
}

}  // namespace

TEST(NavmonProcess, CommandLineUsageAndExitStatus) {
    struct Case {
        std::vector<std::string> args;
        int status;
    };
    const Case cases[] = {
        {{"-h"}, 0}, {{"--help"}, 0}, {{"-x"}, 2}, {{"--bogus"}, 2}, {{"-l"}, 2}, {{"-v", "-q"}, 2},
    };
    for (const auto& c : cases) {
        NavmonRun run;
        std::vector<std::string> argv = {NAVMON_BIN};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        ASSERT_TRUE(run.process().start(argv, run.env, run.root() + "/out.txt"));
        EXPECT_EQ(run.process().wait(5000), c.status) << c.args[0];
        std::string out = navtest::read_file(run.root() + "/out.txt");
        EXPECT_NE(out.find("Usage: navmon [Options]\nOptions:\n -l, --logfile=LOGFILE\tLog data to "
                           "LOGFILE\n -v, --verbose\t\tPrint debug information\n -h, "
                           "--help\t\tThis help\n"),
                  std::string::npos)
            << out;
        EXPECT_FALSE(navtest::file_exists(run.path("/var/run/navmon.pid")));
    }
}

TEST(NavmonProcess, StartupRecordsSessionsBySignalAndOrderlyStop) {
    NavmonRun run;
    for (const char* key : {"GPS_VALID", "GPS_ISO8601", "GPS_NMEA_PGPS", "GPS_FW_VER"})
        ASSERT_TRUE(run.db_set("GPS", key, "stale"));
    ASSERT_TRUE(run.db_set("GPS", "GPS_STATUS", "ACTIVE"));
    ASSERT_TRUE(run.start());

    ASSERT_TRUE(run.wait_db("GPS", "GPS_STATUS", "INACTIVE", 5000));
    ASSERT_TRUE(run.wait_log("Enabled:0", 5000));
    for (const char* key : {"GPS_VALID", "GPS_ISO8601", "GPS_NMEA_PGPS", "GPS_FW_VER"})
        EXPECT_EQ(run.db_value("GPS", key), "<missing>") << key;
    EXPECT_EQ(navtest::read_file(run.path("/var/run/navmon.pid")),
              std::to_string(run.process().pid()) + "\n");
    EXPECT_TRUE(run.wait_log("deadreckoning enabled: 1", 1000));

    // SIGUSR1 starts a session; with gpsd down the loop asks systemd to start it.
    run.process().signal(SIGUSR1);
    EXPECT_TRUE(run.wait_db("GPS", "GPS_STATUS", "ACTIVE", 5000));
    EXPECT_TRUE(run.wait_log("Restarting gpsd!", 5000));
    EXPECT_TRUE(systemctl_called(run, "start gpsd"));

    // SIGUSR2 ends it: records back to inactive, gpsd stopped.
    run.process().signal(SIGUSR2);
    EXPECT_TRUE(run.wait_log("Parsing loop exited (need_to_quit=0 svc_req=0)", 15000));
    EXPECT_TRUE(run.wait_db("GPS", "GPS_STATUS", "INACTIVE", 5000));
    EXPECT_TRUE(systemctl_called(run, "stop gpsd"));

    run.process().signal(SIGTERM);
    EXPECT_EQ(run.process().wait(15000), 255);
    EXPECT_FALSE(navtest::file_exists(run.path("/var/run/navmon.pid")));
    EXPECT_NE(run.log().find("navmon exited"), std::string::npos);
}

TEST(NavmonProcess, FlashingMarkerHoldsTheDaemonAndIsAcknowledged) {
    NavmonRun run;
    ASSERT_TRUE(run.start());
    ASSERT_TRUE(run.wait_log("Session ended", 5000));

    // During a session the marker ends it first.
    run.process().signal(SIGUSR1);
    ASSERT_TRUE(run.wait_db("GPS", "GPS_STATUS", "ACTIVE", 5000));
    navtest::write_file(run.path("/tmp/gps-flashing"), "");
    EXPECT_TRUE(run.wait_log("Exiting due to GPS module update pending", 10000));
    EXPECT_TRUE(run.wait_log("Waiting for GPS module update to finish (navmon)", 10000));
    EXPECT_TRUE(navtest::wait_for(
        [&] { return navtest::file_exists(run.path("/tmp/gps-flashing-navmon-ack")); }, 5000));
    EXPECT_EQ(run.db_value("GPS", "GPS_STATUS"), "INACTIVE");
    EXPECT_TRUE(systemctl_called(run, "stop gpsd", 0));

    // A termination signal ends the wait after the current sleep at the latest.
    run.process().signal(SIGTERM);
    EXPECT_EQ(run.process().wait(12000), 255);
    EXPECT_TRUE(navtest::file_exists(run.path("/tmp/gps-flashing-navmon-ack")));
}

TEST(NavmonProcess, FlashingEndsAndProcessingResumes) {
    NavmonRun run;
    navtest::write_file(run.path("/tmp/gps-flashing"), "");
    ASSERT_TRUE(run.start());
    ASSERT_TRUE(run.wait_log("Waiting for GPS module update to finish (navmon)", 5000));
    unlink(run.path("/tmp/gps-flashing").c_str());
    run.process().signal(SIGUSR1);
    // The wait sleeps 10 s between looks at the marker.
    EXPECT_TRUE(run.wait_db("GPS", "GPS_STATUS", "ACTIVE", 15000));
}

TEST(NavmonProcess, LedFollowsModuleConfigurationAndSession) {
    {
        NavmonRun run;
        navtest::write_file(run.led_file("brightness"), "255\n");
        ASSERT_TRUE(run.start());
        ASSERT_TRUE(run.wait_log("Session ended", 5000));
        EXPECT_EQ(led(run, "brightness"), "0");
        // Each idle pass switches it off again, with no cache.
        navtest::write_file(run.led_file("brightness"), "255");
        EXPECT_TRUE(navtest::wait_for([&] { return led(run, "brightness") == "0"; }, 3000));
        // A session without a fix blinks.
        run.process().signal(SIGUSR1);
        EXPECT_TRUE(navtest::wait_for([&] { return led(run, "trigger") == "timer"; }, 5000));
    }
    {
        NavmonRun run;
        run.config["hardware"]["wireless"]["gps"]["module"] = "NONE";
        ASSERT_TRUE(run.start());
        ASSERT_TRUE(run.wait_log("Session ended", 5000));
        navtest::write_file(run.led_file("brightness"), "42");
        ASSERT_TRUE(navtest::wait_for([&] { return run.log_count("Session ended") >= 3; }, 5000));
        EXPECT_EQ(led(run, "brightness"), "42");
    }
}

TEST(NavmonProcess, NotifiesReadyAndKicksTheWatchdogOncePerMinute) {
    NavmonRun run;
    std::string sock_path = run.root() + "/notify.sock";
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK, 0);
    ASSERT_GE(fd, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    snprintf(addr.sun_path, sizeof addr.sun_path, "%s", sock_path.c_str());
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    run.env["NOTIFY_SOCKET"] = sock_path;
    ASSERT_TRUE(run.start());

    std::vector<std::string> messages;
    navtest::wait_for(
        [&] {
            char buf[256];
            ssize_t n;
            while ((n = recv(fd, buf, sizeof buf, 0)) > 0) messages.emplace_back(buf, n);
            return run.log_count("Session ended") >= 4;
        },
        8000);
    close(fd);
    int ready = 0, kicks = 0;
    for (const auto& m : messages) {
        ready += m.find("READY=1") != std::string::npos;
        kicks += m.find("WATCHDOG=1") != std::string::npos;
    }
    EXPECT_EQ(ready, 1);
    EXPECT_EQ(kicks, 1);
    EXPECT_EQ(run.log_count("Kicking watchdog"), 1);
}

TEST(NavmonProcess, SurvivesBadConfigurationAndUnusableDatabase) {
    NavmonRun run;
    run.config_text = "{ this is not json";
    run.env["SYSDB_PATH"] = "/proc/navmon-no-such-dir/sysdb.sqlite";
    ASSERT_TRUE(run.start());
    EXPECT_TRUE(run.wait_log("Could not get GPS Module from hardware config", 5000));
    run.process().signal(SIGUSR1);
    EXPECT_TRUE(run.wait_log("Restarting gpsd!", 5000));
    run.process().signal(SIGTERM);
    EXPECT_EQ(run.process().wait(15000), 255);
}

TEST(NavmonProcess, BrokerAbsentAtStartIsReachedOnceItAppears) {
    NavmonRun run;
    navtest::Broker broker;  // not started yet: its port is chosen at the first start
    ASSERT_TRUE(broker.start());
    run.env["MQTT_PORT"] = std::to_string(broker.port());
    broker.stop();
    ASSERT_TRUE(run.start());
    ASSERT_TRUE(run.wait_log("Session ended", 5000));
    EXPECT_EQ(run.log_count("KVT GPS Daemon connected"), 0);

    ASSERT_TRUE(broker.start());
    EXPECT_TRUE(run.wait_log("KVT GPS Daemon connected", 40000));
    // And it answers requests once connected.
    navtest::Subscriber sub(broker.port(), {"v1/device/gps/enable/ack"});
    ASSERT_TRUE(navtest::publish(broker.port(), "v1/device/gps/enable/apply", "{\"value\":false}"));
    EXPECT_TRUE(sub.wait_message("v1/device/gps/enable/ack", 10000));
    EXPECT_EQ(run.stop(), 255);
}
