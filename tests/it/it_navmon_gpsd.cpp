// navmon end to end: a real gpsd replaying a recording, a real mosquitto, navmon as a process.
// (Faults such as gpsd dying are exercised in it_faults.cpp.)
// What is checked is what a reader of the system database and a subscriber on the broker see.
#include <gtest/gtest.h>
#include <json/json.h>
#include <signal.h>

#include <sstream>
#include <string>

#include "tests/support/gpsd_fixture.h"
#include "tests/support/navmon_fixture.h"
#include "tests/support/support.h"

using navtest::NavmonRun;

namespace {

bool parses_as_object(const std::string& text, Json::Value* out) {
    Json::CharReaderBuilder builder;
    std::string errors;
    std::istringstream in(text);
    return Json::parseFromStream(builder, in, out, &errors) && out->isObject();
}

// "$...*HH\r\n" with the right checksum.
bool valid_nmea(const std::string& s) {
    size_t star = s.find('*');
    return star != std::string::npos && s == navtest::nmea_sentence(s.substr(0, star));
}

struct Rig {
    Rig() {
        EXPECT_TRUE(broker.start());
        run.env["MQTT_PORT"] = std::to_string(broker.port());
        for (const auto& kv : gpsd.env()) run.env[kv.first] = kv.second;
    }
    ~Rig() {
        // The daemon's own account is the quickest way to a cause when CI fails.
        if (::testing::Test::HasFailure()) {
            std::string log = run.log();
            if (log.size() > 12000) log = log.substr(log.size() - 12000);
            printf("---- navmon log (tail) ----\n%s\n", log.c_str());
        }
    }
    static navtest::GpsdFixtureOptions options() {
        navtest::GpsdFixtureOptions o;
        o.rate = 1.0;
        o.loop = true;
        o.start_epoch = 20;    // past the cold start: a 2D stretch, then 3D fixes
        o.start_gpsd = false;  // navmon's session starts it through systemctl
        return o;
    }
    navtest::Broker broker;
    NavmonRun run;
    navtest::GpsdFixture gpsd{run.root(), "drive_short.nmea", options()};
};

}  // namespace

TEST(NavmonGpsd, DriveIsPublishedInTheDatabaseAndOnTheBroker) {
    Rig rig;
    NavmonRun& run = rig.run;
    ASSERT_TRUE(rig.gpsd.ok());
    navtest::Subscriber sub(rig.broker.port(),
                            {"v1/device/gps/location/#", "v1/device/gps/enable/#"});
    ASSERT_TRUE(sub.connected());
    ASSERT_TRUE(run.start());
    ASSERT_TRUE(run.wait_log("KVT GPS Daemon connected", 10000));

    // Switched on over MQTT; the session starts gpsd itself.
    ASSERT_TRUE(navtest::publish(rig.broker.port(), "v1/device/gps/enable/apply",
                                 "{\"value\":true,\"session\":7}"));
    navtest::Message ack;
    ASSERT_TRUE(sub.wait_message("v1/device/gps/enable/ack", 8000, &ack));
    Json::Value reply;
    ASSERT_TRUE(parses_as_object(ack.payload, &reply));
    EXPECT_EQ(reply["rc"].asInt(), 200);
    EXPECT_EQ(reply["session"].asInt(), 7);
    EXPECT_TRUE(run.wait_log("Restarting gpsd!", 5000));

    // gpsd's reports are broadcast with their reception time.
    navtest::Message tpv, sky;
    ASSERT_TRUE(sub.wait_message("v1/device/gps/location/tpv/update", 20000, &tpv));
    ASSERT_TRUE(sub.wait_message("v1/device/gps/location/sat/update", 20000, &sky));
    Json::Value report;
    ASSERT_TRUE(parses_as_object(tpv.payload, &report));
    EXPECT_EQ(report["class"].asString(), "TPV");
    EXPECT_TRUE(report["ts"].isDouble());
    ASSERT_TRUE(parses_as_object(sky.payload, &report));
    EXPECT_EQ(report["class"].asString(), "SKY");
    EXPECT_TRUE(report["satellites"].isArray());

    // The fix becomes valid and the batch carries it.
    ASSERT_TRUE(run.wait_db("GPS", "GPS_VALID", "1", 40000));
    EXPECT_EQ(run.db_value("GPS", "GPS_STATUS"), "ACTIVE");
    EXPECT_NE(run.db_value("GPS", "GPS_TTFF_UPTIME"), "<missing>");
    Json::Value fix;
    ASSERT_TRUE(parses_as_object(run.db_value("GPS", "GPS_DATA"), &fix));
    EXPECT_EQ(fix["statusCode"].asInt(), 0);
    EXPECT_GT(fix["lat_dd"].asDouble(), 40.0);
    for (const char* key : {"GPS_NMEA_GPRMC_V2", "GPS_NMEA_GPRMC_V3", "GPS_NMEA_GPGGA",
                            "GPS_NMEA_GPGSA", "GPS_NMEA_PGPS", "GPS_NMEA_BTVEG"}) {
        std::string s;
        ASSERT_TRUE(run.db_get("GPS", key, &s)) << key;
        EXPECT_TRUE(valid_nmea(s)) << key << ": " << s;
    }
    std::string pv = run.db_value("GPS", "GPS_TAIP_PV");
    EXPECT_EQ(pv.rfind(">RPV", 0), 0u) << pv;
    EXPECT_EQ(pv.back(), '<');
    // Satellites in view and the receiver's dead-reckoning values.
    EXPECT_TRUE(navtest::wait_for(
        [&] { return run.db_value("GPS", "GPS_NMEA_GPGSV").rfind("$GPGSV,", 0) == 0; }, 5000));
    EXPECT_NE(run.db_value("GPS", "GPS_SQI"), "<missing>");
    EXPECT_NE(run.db_value("DR", "DR_LAT"), "<missing>");

    // Switched off by signal: the loop ends and gpsd is stopped.
    run.process().signal(SIGUSR2);
    EXPECT_TRUE(run.wait_log("Parsing loop exited (need_to_quit=0 svc_req=0)", 15000));
    EXPECT_TRUE(run.wait_db("GPS", "GPS_STATUS", "INACTIVE", 5000));
    EXPECT_TRUE(navtest::wait_for([&] { return !rig.gpsd.gpsd_running(); }, 10000));
    EXPECT_EQ(run.db_value("GPS", "GPS_VALID"), "<missing>");

    run.process().signal(SIGTERM);
    EXPECT_EQ(run.process().wait(15000), 255);
}
