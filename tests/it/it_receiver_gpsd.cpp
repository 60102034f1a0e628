// The receiver intake behind a real gpsd replaying a drive with dead-reckoning sentences: the
// raw client's thread feeds on_nmea_message, and the keys reach the system database.
#include <gtest/gtest.h>

#include <string>

#include "core/core.h"
#include "platform/gpsd_client.h"
#include "platform/platform.h"
#include "platform/sysdb.h"
#include "receiver/receiver.h"
#include "tests/support/gpsd_fixture.h"
#include "tests/support/support.h"

namespace {

bool has_key(const char* db, const char* key) {
    sysdb_value v;
    return sysdb_namedb_read_value(nullptr, db, key, &v) == 0;
}

TEST(ReceiverGpsd, RecordedDriveFillsDeadReckoningAndSatelliteKeys) {
    navtest::TempDir root;
    navtest::ScopedEnv sysdb_env("SYSDB_PATH", root / "sysdb.sqlite");
    sysdb_reset_thread_connection();
    navtest::GpsdFixtureOptions options;
    options.rate = 10;
    navtest::GpsdFixture fx(root.path(), "drive_short.nmea", options);
    ASSERT_TRUE(fx.ok());
    navtest::ScopedEnv host("GPSD_HOST", "127.0.0.1");
    navtest::ScopedEnv port("GPSD_PORT", std::to_string(fx.gpsd_port()));

    receiver_reset_for_test();
    deadreckon_enabled = true;
    nmea_timeout_count = 7;
    {
        gpsdClient client("nmea_parser");
        client.set_polling_timeout(1000000);
        client.set_on_msg_callback_fkt(on_nmea_message);
        client.set_gpsd_stream_flags(0x81);
        {
            ScopedSignalBlock block;  // the receive thread must not take the test's signals
            ASSERT_EQ(client.get_gpsd_forever_non_blocking(), 0);
        }
        const char* dr_keys[] = {
            "DR_LAT",       "DR_VEL",        "DR_LAT_STD_DEV",    "DR_INST_PITCH",
            "DR_LAT_ERROR", "DR_CALIBRATED", "DR_NMEA_PSTMDRPVA", "DR_NMEA_PSTMDRSTYPE"};
        EXPECT_TRUE(navtest::wait_for(
            [&] {
                for (const char* k : dr_keys)
                    if (!has_key("DR", k)) return false;
                return has_key("GPS", "GPS_NMEA_GPGSV") && has_key("GPS", "GPS_SQI") &&
                       has_key("GPS", "GPS_STAGPS_RAW");
            },
            15000));
        client.stop_loop();
    }
    deadreckon_enabled = false;

    EXPECT_EQ(nmea_timeout_count.load(), 0);
    for (const char* k : {"DR_LAT", "DR_VEL", "DR_NMEA_PSTMDRPVA"}) {
        SCOPED_TRACE(k);
        EXPECT_TRUE(has_key("DR", k));
    }
    // The sentence is stored as gpsd passed it on: checksum kept, carriage return kept.
    char pva[256] = {0};
    ASSERT_EQ(sysdb_namedb_read_str(nullptr, "DR", "DR_NMEA_PSTMDRPVA", pva, sizeof pva), 0);
    const std::string text(pva);
    EXPECT_EQ(text.rfind("$PSTMDRPVA,", 0), 0u) << text;
    EXPECT_NE(text.find('*'), std::string::npos) << text;
    // The recording's groups have three lines; each is stored with four satellites.
    sysdb_value gsv;
    ASSERT_EQ(sysdb_namedb_read_value(nullptr, "GPS", "GPS_NMEA_GPGSV", &gsv), 0);
    EXPECT_EQ(gsv.text.rfind("$GPGSV,3,1,", 0), 0u) << gsv.text;
    EXPECT_NE(gsv.text.find("\r\n$GPGSV,3,3,"), std::string::npos) << gsv.text;
    sysdb_reset_thread_connection();
}

}  // namespace
