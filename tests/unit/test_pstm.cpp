// The receiver's proprietary sentences: dispatch, every handler's keys, incomplete lines, and
// the field scanner against the C library's sscanf.
#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "core/core.h"
#include "platform/platform.h"
#include "platform/sysdb.h"
#include "receiver/receiver.h"
#include "tests/support/support.h"

namespace {

// Expected value of one key: a text, an integer or a double.
struct Want {
    sysdb_type type;
    std::string text;
    long long i = 0;
    double d = 0.0;
};
Want T(const std::string& s) {
    return {SYSDB_TEXT, s};
}
Want I(long long v) {
    return {SYSDB_INT, "", v};
}

using Keys = std::map<std::string, Want>;

struct HandlerCase {
    const char* name;
    const char* db;
    std::string line;       // as received: checksum and carriage return included
    std::string truncated;  // the same sentence with one field missing
    Keys keys;
};

// Doubles under `names`, in order, plus the sentence under `sentence_key`.
Keys doubles(const std::vector<const char*>& names, const std::vector<double>& values,
             const char* sentence_key, const std::string& line) {
    Keys keys{{sentence_key, {SYSDB_TEXT, line}}};
    for (size_t i = 0; i < names.size(); ++i) keys[names[i]] = {SYSDB_DBL, "", 0, values[i]};
    return keys;
}

std::vector<HandlerCase> handler_cases() {
    const std::string cal = "$PSTMDRCAL,1,0,1,1,1F,2,3,C*4B\r";
    const std::string pva =
        "$PSTMDRPVA,123.5,4000000000,45.5,-73.25,35.0,1.5,-2.5,0.25,1.0,-1.0,270.5*1A\r";
    const std::string senmsg = "$PSTMDRSENMSG,14,1234,12.75*2C\r";
    const std::string confid =
        "$PSTMDRCONFID,1.1,1.2,1.3,1.4,1.5,1.6,1.7,1.8,1.9,2.0,2.1,2.2,2.3*55\r";
    const std::string gps = "$PSTMDRGPS,45.1,-73.2,1.1,1.2,1.3,1.4,1.5,1.6,1.7,1.8,99.5*00\r";
    const std::string ahrs = "$PSTMDRAHRS,0.1,0.2,0.3,0.4,0.5*7E\r";
    const std::string debug = "$PSTMDRDEBUG,1e-3,2,3,4,5,6*11\r";
    return {
        {"agps status",
         "GPS",
         "$PSTMAGPSSTATUS,2*5A\r",
         "$PSTMAGPSSTATUS,*5A\r",
         {{"GPS_STAGPS_RAW", I(2)}}},
        {"calibration",
         "DR",
         cal,
         "$PSTMDRCAL,1,0,1,1,1F,2,C*4B\r",
         {{"DR_CALIBRATED", I(1)},
          {"DR_ODO_CALIBRATED", I(0)},
          {"DR_GYRO_SEN_CALIBRATED", I(1)},
          {"DR_GYRO_BIAS_CALIBRATED", I(1)},
          {"DR_IMU_FLAG", I(31)},
          {"DR_GYRO_INTEGRITY_FLAG", I(2)},
          {"DR_ACC_INTEGRITY", I(3)},
          {"DR_CALIB_STATUS", T("C")},
          {"DR_NMEA_PSTMDRCAL", T(cal)}}},
        {"position", "DR", pva,
         "$PSTMDRPVA,123.5,4000000000,45.5,-73.25,35.0,1.5,-2.5,0.25,1.0,-1.0*1A\r",
         doubles({"DR_LAT", "DR_LON", "DR_HEIGHT", "DR_V_NORTH", "DR_V_EAST", "DR_V_UP", "DR_PITCH",
                  "DR_ROLL", "DR_HDG"},
                 {45.5, -73.25, 35.0, 1.5, -2.5, 0.25, 1.0, -1.0, 270.5}, "DR_NMEA_PSTMDRPVA",
                 pva)},
        {"sensor 14", "DR", senmsg, "$PSTMDRSENMSG,14,1234,*2C\r",
         doubles({"DR_VEL"}, {12.75}, "DR_NMEA_PSTMDRSENMSG_14", senmsg)},
        {"confidence", "DR", confid,
         "$PSTMDRCONFID,1.1,1.2,1.3,1.4,1.5,1.6,1.7,1.8,1.9,2.0,2.1,2.2*55\r",
         doubles(
             {"DR_LAT_STD_DEV", "DR_LON_STD_DEV", "DR_HEADING_STD_DEV", "DR_GYRO_BIAS_STD_DEV",
              "DR_ODO_SCALE_STD_DEV", "DR_ACC_OFFSET_STD_DEV", "DR_HEIGHT_STD_DEV",
              "DR_MAJOR_SEMI_AXIS", "DR_MINOR_SEMI_AXIS", "DR_ELLIPSE_ANGLE", "DR_SPEED_STD_DEV"},
             {1.1, 1.2, 1.3, 1.5, 1.6, 1.8, 1.9, 2.0, 2.1, 2.2, 2.3}, "DR_NMEA_PSTMDRCONFID",
             confid)},
        {"gps", "DR", gps, "$PSTMDRGPS,45.1,-73.2,1.1,1.2,1.3,1.4,1.5,1.6,1.7,,99.5*00\r",
         doubles({"DR_GPS_LAT", "DR_GPS_LON", "DR_GPS_VN", "DR_GPS_VE", "DR_GPS_PDOP",
                  "DR_GPS_HDOP", "DR_GPS_VDOP", "DR_GPS_RMS_POS_RESIDUAL",
                  "DR_GPS_RMS_VEL_RESIDUAL", "DR_GPS_VV", "DR_GPS_HEIGHT"},
                 {45.1, -73.2, 1.1, 1.2, 1.3, 1.4, 1.5, 1.6, 1.7, 1.8, 99.5}, "DR_NMEA_PSTMDRGPS",
                 gps)},
        {"attitude", "DR", ahrs, "$PSTMDRAHRS,0.1,0.2,0.3,x,0.5*7E\r",
         doubles(
             {"DR_INST_PITCH", "DR_INST_ROLL", "DR_INST_YAW", "DR_VEH_PITCH", "DR_VEH_PITCH_ACC"},
             {0.1, 0.2, 0.3, 0.4, 0.5}, "DR_NMEA_PSTMDRAHRS", ahrs)},
        {"debug", "DR", debug, "$PSTMDRDEBUG,1e-3,2,3,4,5*11\r",
         doubles({"DR_LAT_ERROR", "DR_LON_ERROR", "DR_HEADING_ERROR", "DR_SPEED_ERROR",
                  "DR_HEIGHT_ERROR", "DR_VV_ERROR"},
                 {0.001, 2, 3, 4, 5, 6}, "DR_NMEA_PSTMDRDEBUG", debug)},
    };
}

class PstmTest : public ::testing::Test {
protected:
    void SetUp() override {
        sysdb_reset_thread_connection();
        receiver_reset_for_test();
        deadreckon_enabled = true;
    }
    void TearDown() override {
        deadreckon_enabled = false;
        sysdb_reset_thread_connection();
    }

    void feed(std::string block) { on_nmea_message(&block[0]); }

    std::map<std::string, sysdb_value> all(const char* db) {
        std::vector<std::pair<std::string, sysdb_value>> list;
        sysdb_namedb_list(nullptr, db, &list);
        return {list.begin(), list.end()};
    }

    void expect_keys(const char* db, const Keys& keys) {
        auto stored = all(db);
        EXPECT_EQ(stored.size(), keys.size());
        for (const auto& [key, want] : keys) {
            SCOPED_TRACE(key);
            auto it = stored.find(key);
            ASSERT_NE(it, stored.end());
            ASSERT_EQ(it->second.type, want.type);
            if (want.type == SYSDB_TEXT) {
                EXPECT_EQ(it->second.text, want.text);
            } else if (want.type == SYSDB_INT) {
                EXPECT_EQ(it->second.i, want.i);
            } else {
                EXPECT_DOUBLE_EQ(it->second.d, want.d);
            }
        }
    }

    navtest::TempDir dir_;
    navtest::ScopedEnv env_{"SYSDB_PATH", dir_ / "sysdb.sqlite"};
};

TEST_F(PstmTest, EachHandlerStoresEveryKeyAndIgnoresAnIncompleteLine) {
    for (const HandlerCase& c : handler_cases()) {
        SCOPED_TRACE(c.name);
        navtest::TempDir dir;
        navtest::ScopedEnv env("SYSDB_PATH", dir / "sysdb.sqlite");
        sysdb_reset_thread_connection();

        feed(c.line + "\n");
        expect_keys(c.db, c.keys);

        // One field short: nothing changes, not even the stored sentence.
        feed(c.truncated + "\n");
        expect_keys(c.db, c.keys);
        sysdb_reset_thread_connection();
    }
}

TEST_F(PstmTest, ParsedValuesAreLogged) {
    navtest::LogCapture log;
    // Antenna status is only logged; one field short, not even that.
    feed("$PSTMANTENNASTATUS,0,1,2,3*59\r\n$PSTMANTENNASTATUS,0,1,2*59\r\n");
    EXPECT_EQ(log.count("Parsed antenna status"), 1);
    EXPECT_TRUE(
        log.contains("Parsed antenna status:0, operating mode:1, rf path:2, antenna power:3"));
    EXPECT_TRUE(all("GPS").empty());
    EXPECT_TRUE(all("DR").empty());

    feed("$PSTMDRCAL,1,1,0,0,a5,0,1,N*00\r\n");
    EXPECT_TRUE(
        log.contains("DR calibrated:1, odo scale calibrated:1, IMU flag:A5, gyro "
                     "signal:0, acc signal:1, dr calibration:N"));
    int flag = 0;
    ASSERT_EQ(sysdb_namedb_read_int(nullptr, "DR", "DR_IMU_FLAG", &flag), 0);
    EXPECT_EQ(flag, 0xA5);
    char status[4] = {0};
    ASSERT_EQ(sysdb_namedb_read_str(nullptr, "DR", "DR_CALIB_STATUS", status, sizeof status), 0);
    EXPECT_STREQ(status, "N");
}

TEST_F(PstmTest, DispatchByPrefix) {
    struct Case {
        const char* line;
        const char* key;  // stored in "DR", or null for nothing anywhere
    };
    const Case cases[] = {
        {"$PSTMDRSTYPE,1,2*00", "DR_NMEA_PSTMDRSTYPE"},
        {"$PSTMDRSTEP,5*00", "DR_NMEA_PSTMDRSTEP"},
        {"$PSTMDRUPD,1*00", "DR_NMEA_PSTMDRUPD"},
        {"$PSTMDREPE,1,2,3*00", "DR_NMEA_PSTMDREPE"},
        // The raw members take the line whatever follows the prefix.
        {"$PSTMDRSTEP", "DR_NMEA_PSTMDRSTEP"},
        {"$PSTMDRSENMSG,15,1234,12.75*00", nullptr},
        {"$PSTMDRSENMSG,140,1234,12.75*00", nullptr},
        {"$PSTMDRSTATE,1,2,3*00", nullptr},
        {"$PSTMVER,GNSSLIB*00", nullptr},
        {"$GNGSA,A,3,05,,,,,,,,,,,,1.0,1.0,1.0*00", nullptr},
        {"$PSTMDR", nullptr},
        {"$", nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        navtest::TempDir dir;
        navtest::ScopedEnv env("SYSDB_PATH", dir / "sysdb.sqlite");
        sysdb_reset_thread_connection();
        feed(std::string(c.line) + "\r\n");
        auto dr = all("DR");
        if (c.key) {
            ASSERT_EQ(dr.size(), 1u);
            EXPECT_EQ(dr.begin()->first, c.key);
            EXPECT_EQ(dr.begin()->second.text, std::string(c.line) + "\r");
        } else {
            EXPECT_TRUE(dr.empty());
        }
        EXPECT_TRUE(all("GPS").empty());
        sysdb_reset_thread_connection();
    }
}

TEST_F(PstmTest, DeadReckoningDisabledLeavesEveryLineUnexamined) {
    deadreckon_enabled = false;
    navtest::LogCapture log;
    std::string block;
    for (const HandlerCase& c : handler_cases()) block += c.line + "\n";
    block += "$PSTMANTENNASTATUS,0,1,2,3*59\r\n$PSTMDRSTYPE,1*00\r\n";
    feed(block);
    EXPECT_TRUE(all("DR").empty());
    EXPECT_TRUE(all("GPS").empty());
    EXPECT_FALSE(log.contains("Parsed"));
}

// The scanner against sscanf, on inputs where sscanf's behaviour is defined.
TEST(ScanFields, AcceptsWhatSscanfAccepts) {
    const char* fields[] = {
        "5",    "-5",  "+5",  " 7",       "\t7",    "",      "-",    "+",     "x",   "0x",
        "0X1f", "1F",  "0xg", "1e",       "1e+",    "1e-3",  ".5",   "-.5",   ".",   ".e5",
        "nan",  "inf", "INF", "infinity", "nan(1)", "0x1p3", "0x1p", "1.5e3", "12a", "- 5",
        "00x5", "0e",  "1.",  "C",        " ",      "-1",    "-0",
    };
    for (const char* a : fields) {
        // Only the counted fields decide: the '*' and what follows it are not needed.
        for (const char* b : {"1*00", "*00", "F*00", "1", "1*", "1xyz"}) {
            const std::string line = std::string("$X,") + a + "," + b;
            SCOPED_TRACE(line);
            int d1 = 0, d2 = 0;
            unsigned x1 = 0, x2 = 0, u1 = 0, u2 = 0;
            double f1 = 0, f2 = 0;
            char c1 = 0, c2 = 0;
            EXPECT_EQ(scan_fields(line.c_str(), "$X,%d,%x*%*s", &d1, &x1),
                      sscanf(line.c_str(), "$X,%d,%x*%*s", &d2, &x2));
            EXPECT_EQ(d1, d2);
            EXPECT_EQ(x1, x2);
            EXPECT_EQ(scan_fields(line.c_str(), "$X,%x,%u*%*s", &x1, &u1),
                      sscanf(line.c_str(), "$X,%x,%u*%*s", &x2, &u2));
            EXPECT_EQ(x1, x2);
            EXPECT_EQ(u1, u2);
            int n1 = scan_fields(line.c_str(), "$X,%lf,%c*%*s", &f1, &c1);
            int n2 = sscanf(line.c_str(), "$X,%lf,%c*%*s", &f2, &c2);
            EXPECT_EQ(n1, n2);
            if (n1 >= 1 && f1 == f1) {
                EXPECT_EQ(f1, f2);
            }
            EXPECT_EQ(c1, c2);
        }
    }
}

TEST(ScanFields, OutOfRangeIntegersSaturate) {
    struct Case {
        const char* in;
        int d;
        unsigned u;
    };
    const Case cases[] = {
        {"99999999999999999999999", INT_MAX, UINT_MAX},
        {"-99999999999999999999999", INT_MIN, UINT_MAX},
        {"2147483648", INT_MAX, 2147483648u},
        {"-2147483649", INT_MIN, 0u - 2147483649u},
        {"4294967296", INT_MAX, UINT_MAX},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.in);
        int d = 0;
        unsigned u = 0;
        EXPECT_EQ(scan_fields(c.in, "%d", &d), 1);
        EXPECT_EQ(d, c.d);
        EXPECT_EQ(scan_fields(c.in, "%u", &u), 1);
        EXPECT_EQ(u, c.u);
    }
    unsigned x = 0;
    EXPECT_EQ(scan_fields("FFFFFFFFFF", "%x", &x), 1);
    EXPECT_EQ(x, UINT_MAX);
    // A flag beyond int is clamped when stored.
    navtest::TempDir dir;
    navtest::ScopedEnv env("SYSDB_PATH", dir / "sysdb.sqlite");
    sysdb_reset_thread_connection();
    handle_pstm_dr_cal("$PSTMDRCAL,1,1,1,1,FFFFFFFFF,1,1,C*00");
    int flag = 0;
    ASSERT_EQ(sysdb_namedb_read_int(nullptr, "DR", "DR_IMU_FLAG", &flag), 0);
    EXPECT_EQ(flag, INT_MAX);
    sysdb_reset_thread_connection();
}

}  // namespace
