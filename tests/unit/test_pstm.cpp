// The receiver's proprietary sentences: dispatch, each handler's keys, incomplete lines, and
// the field scanner against the C library's sscanf.
#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "core/core.h"
#include "platform/platform.h"
#include "platform/sysdb.h"
#include "receiver/receiver.h"
#include "tests/support/support.h"

namespace {

std::map<std::string, sysdb_value> all(const char* db) {
    std::vector<std::pair<std::string, sysdb_value>> list;
    sysdb_namedb_list(nullptr, db, &list);
    return {list.begin(), list.end()};
}

class PstmTest : public ::testing::Test {
protected:
    void SetUp() override { deadreckon_enabled = true; }
    void TearDown() override {
        deadreckon_enabled = false;
        sysdb_reset_thread_connection();
    }
    // Each block goes to a database of its own.
    void feed(std::string block) {
        env_.reset();  // the old value goes back first, or its restore would undo the new one
        db_ = std::make_unique<navtest::TempDir>();
        env_ = std::make_unique<navtest::ScopedEnv>("SYSDB_PATH", *db_ / "sysdb.sqlite");
        sysdb_reset_thread_connection();
        on_nmea_message(&block[0]);
    }
    std::unique_ptr<navtest::TempDir> db_;
    std::unique_ptr<navtest::ScopedEnv> env_;
};

// keys: everything stored, in `db` only, as "KEY#int", "KEY=double" or "KEY:text" ("KEY:*" is
// the line itself). A line with parsed values changes nothing when a field short.
const struct Case {
    const char* line;  // as received, without the line feed
    const char* db;
    const char* keys;
} kCases[] = {
    {"$PSTMAGPSSTATUS,2*5A\r", "GPS", "GPS_STAGPS_RAW#2"},
    {"$PSTMDRCAL,1,0,1,1,1F,2,3,C*4B\r", "DR",
     "DR_CALIBRATED#1 DR_ODO_CALIBRATED#0 DR_GYRO_SEN_CALIBRATED#1 DR_GYRO_BIAS_CALIBRATED#1 "
     "DR_IMU_FLAG#31 DR_GYRO_INTEGRITY_FLAG#2 DR_ACC_INTEGRITY#3 DR_CALIB_STATUS:C "
     "DR_NMEA_PSTMDRCAL:*"},
    {"$PSTMDRPVA,123.5,4000000000,45.5,-73.25,35.0,1.5,-2.5,0.25,1.0,-1.0,270.5*1A\r", "DR",
     "DR_LAT=45.5 DR_LON=-73.25 DR_HEIGHT=35 DR_V_NORTH=1.5 DR_V_EAST=-2.5 DR_V_UP=0.25 "
     "DR_PITCH=1 DR_ROLL=-1 DR_HDG=270.5 DR_NMEA_PSTMDRPVA:*"},
    {"$PSTMDRSENMSG,14,1234,12.75*2C\r", "DR", "DR_VEL=12.75 DR_NMEA_PSTMDRSENMSG_14:*"},
    {"$PSTMDRCONFID,1.1,1.2,1.3,1.4,1.5,1.6,1.7,1.8,1.9,2.0,2.1,2.2,2.3*55\r", "DR",
     "DR_LAT_STD_DEV=1.1 DR_LON_STD_DEV=1.2 DR_HEADING_STD_DEV=1.3 DR_GYRO_BIAS_STD_DEV=1.5 "
     "DR_ODO_SCALE_STD_DEV=1.6 DR_ACC_OFFSET_STD_DEV=1.8 DR_HEIGHT_STD_DEV=1.9 "
     "DR_MAJOR_SEMI_AXIS=2.0 DR_MINOR_SEMI_AXIS=2.1 DR_ELLIPSE_ANGLE=2.2 DR_SPEED_STD_DEV=2.3 "
     "DR_NMEA_PSTMDRCONFID:*"},
    {"$PSTMDRGPS,45.1,-73.2,1.1,1.2,1.3,1.4,1.5,1.6,1.7,1.8,99.5*00\r", "DR",
     "DR_GPS_LAT=45.1 DR_GPS_LON=-73.2 DR_GPS_VN=1.1 DR_GPS_VE=1.2 DR_GPS_PDOP=1.3 "
     "DR_GPS_HDOP=1.4 DR_GPS_VDOP=1.5 DR_GPS_RMS_POS_RESIDUAL=1.6 DR_GPS_RMS_VEL_RESIDUAL=1.7 "
     "DR_GPS_VV=1.8 DR_GPS_HEIGHT=99.5 DR_NMEA_PSTMDRGPS:*"},
    {"$PSTMDRAHRS,0.1,0.2,0.3,0.4,0.5*7E\r", "DR",
     "DR_INST_PITCH=0.1 DR_INST_ROLL=0.2 DR_INST_YAW=0.3 DR_VEH_PITCH=0.4 DR_VEH_PITCH_ACC=0.5 "
     "DR_NMEA_PSTMDRAHRS:*"},
    {"$PSTMDRDEBUG,1e-3,2,3,4,5,6*11\r", "DR",
     "DR_LAT_ERROR=0.001 DR_LON_ERROR=2 DR_HEADING_ERROR=3 DR_SPEED_ERROR=4 DR_HEIGHT_ERROR=5 "
     "DR_VV_ERROR=6 DR_NMEA_PSTMDRDEBUG:*"},
    // Stored whole, whatever follows the prefix.
    {"$PSTMDRSTYPE,1,2*00\r", "DR", "DR_NMEA_PSTMDRSTYPE:*"},
    {"$PSTMDRSTEP\r", "DR", "DR_NMEA_PSTMDRSTEP:*"},
    {"$PSTMDRUPD,1*00\r", "DR", "DR_NMEA_PSTMDRUPD:*"},
    {"$PSTMDREPE,1,2,3*00\r", "DR", "DR_NMEA_PSTMDREPE:*"},
    // Nothing anywhere.
    {"$PSTMDRSENMSG,15,1234,12.75*00\r", "DR", ""},
    {"$PSTMDRSENMSG,140,1234,12.75*00\r", "DR", ""},
    {"$PSTMDRSTATE,1,2,3*00\r", "DR", ""},
    {"$PSTMANTENNASTATUS,0,1,2,3*59\r", "DR", ""},
    {"$PSTMVER,GNSSLIB*00\r", "DR", ""},
    {"$GNGSA,A,3,05,,,,,,,,,,,,1.0,1.0,1.0*00\r", "DR", ""},
    {"$PSTMDR\r", "DR", ""},
};

void expect_stored(const Case& c) {
    auto stored = all(c.db);
    EXPECT_TRUE(all(std::string(c.db) == "DR" ? "GPS" : "DR").empty());
    std::istringstream in(c.keys);
    size_t n = 0;
    for (std::string item; in >> item; ++n) {
        const size_t at = item.find_first_of("#=:");
        const std::string key = item.substr(0, at), value = item.substr(at + 1);
        SCOPED_TRACE(key);
        auto it = stored.find(key);
        ASSERT_NE(it, stored.end());
        if (item[at] == ':') {
            EXPECT_EQ(it->second.type, SYSDB_TEXT);
            EXPECT_EQ(it->second.text, value == "*" ? c.line : value);
        } else if (item[at] == '#') {
            EXPECT_EQ(it->second.type, SYSDB_INT);
            EXPECT_EQ(it->second.i, std::stoll(value));
        } else {
            EXPECT_EQ(it->second.type, SYSDB_DBL);
            EXPECT_DOUBLE_EQ(it->second.d, std::stod(value));
        }
    }
    EXPECT_EQ(stored.size(), n);
}

TEST_F(PstmTest, HandlersStoreTheirKeysAndIgnoreALineAFieldShort) {
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.line);
        const std::string line = c.line;
        feed(line + "\n");
        expect_stored(c);
        if (std::string(c.keys).find_first_of("#=") == std::string::npos) continue;
        // Without the last field; the stored keys of the complete line stay as they are.
        std::string shorter = line;
        shorter.erase(shorter.rfind(','), shorter.find('*') - shorter.rfind(','));
        feed(line + "\n" + shorter + "\n");
        expect_stored(c);
    }
}

TEST_F(PstmTest, AntennaStatusIsOnlyLoggedAndNothingIsExaminedWithoutDeadReckoning) {
    navtest::LogCapture log;
    feed("$PSTMANTENNASTATUS,0,1,2,3*59\r\n$PSTMANTENNASTATUS,0,1,2*59\r\n");
    EXPECT_EQ(log.count("Parsed antenna status"), 1);
    EXPECT_TRUE(
        log.contains("Parsed antenna status:0, operating mode:1, rf path:2, antenna power:3"));
    deadreckon_enabled = false;
    log.clear();
    std::string block;
    for (const Case& c : kCases) block += c.line + std::string("\n");
    feed(block);
    EXPECT_TRUE(all("DR").empty());
    EXPECT_TRUE(all("GPS").empty());
    EXPECT_FALSE(log.contains("Parsed"));
}

// The scanner against sscanf, on inputs where sscanf's behaviour is defined.
TEST(ScanFields, AcceptsWhatSscanfAccepts) {
    const char* fields[] = {
        "5",     "-5",   "+5",    " 7",      "\t7",      "",         "-",      "+",     "x",
        "0x",    "0X1f", "1F",    "0xg",     "1e",       "1e+",      "1e-3",   ".5",    "-.5",
        ".",     ".e5",  "nan",   "inf",     "INF",      "infinity", "nan(1)", "0x1p3", "0x1p",
        "1.5e3", "12a",  "- 5",   "00x5",    "0e",       "1.",       "C",      " ",     "-1",
        "-0",    "infi", "infin", "infinit", "-Infinit", "infx",     "infI",
    };
    for (const char* a : fields) {
        // Only the counted fields decide: the '*' and what follows it are not needed.
        for (const char* b : {"1*00", "*00", "F*00", "1", "1*", "1xyz"}) {
            const std::string line = std::string("$X,") + a + "," + b;
            SCOPED_TRACE(line);
            const char* s = line.c_str();
            int d1 = 0, d2 = 0;
            unsigned x1 = 0, x2 = 0, u1 = 0, u2 = 0;
            double f1 = 0, f2 = 0;
            char c1 = 0, c2 = 0;
            EXPECT_EQ(scan_fields(s, "$X,%d,%x*%*s", &d1, &x1),
                      sscanf(s, "$X,%d,%x*%*s", &d2, &x2));
            EXPECT_EQ(scan_fields(s, "$X,%x,%u*%*s", &x1, &u1),
                      sscanf(s, "$X,%x,%u*%*s", &x2, &u2));
            EXPECT_EQ(scan_fields(s, "$X,%lf,%c*%*s", &f1, &c1),
                      sscanf(s, "$X,%lf,%c*%*s", &f2, &c2));
            EXPECT_TRUE(f1 == f2 || (f1 != f1 && f2 != f2));
            EXPECT_EQ(d1, d2);
            EXPECT_EQ(x1, x2);
            EXPECT_EQ(u1, u2);
            EXPECT_EQ(c1, c2);
        }
    }
}

TEST_F(PstmTest, OutOfRangeIntegersSaturate) {
    const struct {
        const char* in;
        int d;
        unsigned u;
    } cases[] = {
        {"99999999999999999999999", INT_MAX, UINT_MAX},
        {"-99999999999999999999999", INT_MIN, UINT_MAX},
        {"2147483648", INT_MAX, 2147483648u},
        {"-2147483649", INT_MIN, 0u - 2147483649u},
        {"4294967296", INT_MAX, UINT_MAX},
    };
    for (const auto& c : cases) {
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
    // The IMU flag keeps its 32 bits (beyond them it saturates), stored as the same int bits.
    for (const auto& [hex, bits] :
         {std::pair<std::string, int>{"80000000", INT_MIN}, {"FFFFFFFF", -1}, {"FFFFFFFFF", -1}}) {
        feed("$PSTMDRCAL,1,1,1,1," + hex + ",1,1,C*00\n");
        int flag = 0;
        ASSERT_EQ(sysdb_namedb_read_int(nullptr, "DR", "DR_IMU_FLAG", &flag), 0);
        EXPECT_EQ(flag, bits) << hex;
    }
}

}  // namespace
