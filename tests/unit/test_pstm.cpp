// The receiver's proprietary sentences: handlers, incomplete lines, the scanner against sscanf.
#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "platform/sysdb.h"
#include "receiver/receiver.h"
#include "tests/support/support.h"

namespace {

navtest::TempDir g_dir;
navtest::ScopedEnv g_env{"SYSDB_PATH", g_dir / "sysdb.sqlite"};

// Takes all out of "GPS", '|', "DR", as " KEY:text", " KEY#int", " KEY=double"; the line: "*".
std::string take_stored(const std::string& line) {
    std::string out;
    for (const char* db : {"GPS", "DR"}) {
        std::vector<std::pair<std::string, sysdb_value>> list;
        sysdb_namedb_list(nullptr, db, &list);
        for (const auto& [key, v] : list) {
            out += " " + key + " :#=:"[v.type] + (v.text == line ? "*" : sysdb_value_text(v));
            sysdb::del(db, key.c_str());
        }
        if (*db == 'G') out += "|";
    }
    return out;
}

TEST(Pstm, HandlersStoreTheirKeysAndNothingForALineAFieldShort) {
    const std::pair<std::string, std::string> cases[] = {
        {"$PSTMDRCAL,1,0,1,1,8000001F,2,3,C*4B\r",  // the IMU flag's bits kept in an int
         "| DR_ACC_INTEGRITY#3 DR_CALIBRATED#1 DR_CALIB_STATUS:C DR_GYRO_BIAS_CALIBRATED#1 "
         "DR_GYRO_INTEGRITY_FLAG#2 DR_GYRO_SEN_CALIBRATED#1 DR_IMU_FLAG#-2147483617 "
         "DR_NMEA_PSTMDRCAL:* DR_ODO_CALIBRATED#0"},
        {"$PSTMDRPVA,123.5,4000000000,45.5,-73.25,35.0,1.5,-2.5,0.25,1.0,-1.0,270.5*1A\r",
         "| DR_HDG=270.5 DR_HEIGHT=35 DR_LAT=45.5 DR_LON=-73.25 DR_NMEA_PSTMDRPVA:* DR_PITCH=1 "
         "DR_ROLL=-1 DR_V_EAST=-2.5 DR_V_NORTH=1.5 DR_V_UP=0.25"},
        {"$PSTMDRSENMSG,14,1234,12.75*2C\r", "| DR_NMEA_PSTMDRSENMSG_14:* DR_VEL=12.75"},
        {"$PSTMDRCONFID,1,2,3,4,5,6,7,8,9,10,11,12,13*55\r",
         "| DR_ACC_OFFSET_STD_DEV=8 DR_ELLIPSE_ANGLE=12 DR_GYRO_BIAS_STD_DEV=5 "
         "DR_HEADING_STD_DEV=3 DR_HEIGHT_STD_DEV=9 DR_LAT_STD_DEV=1 DR_LON_STD_DEV=2 "
         "DR_MAJOR_SEMI_AXIS=10 DR_MINOR_SEMI_AXIS=11 DR_NMEA_PSTMDRCONFID:* "
         "DR_ODO_SCALE_STD_DEV=6 DR_SPEED_STD_DEV=13"},
        {"$PSTMDRGPS,1,2,3,4,5,6,7,8,9,10,11*00\r",
         "| DR_GPS_HDOP=6 DR_GPS_HEIGHT=11 DR_GPS_LAT=1 DR_GPS_LON=2 DR_GPS_PDOP=5 "
         "DR_GPS_RMS_POS_RESIDUAL=8 DR_GPS_RMS_VEL_RESIDUAL=9 DR_GPS_VDOP=7 DR_GPS_VE=4 "
         "DR_GPS_VN=3 DR_GPS_VV=10 DR_NMEA_PSTMDRGPS:*"},
        {"$PSTMDRAHRS,1,2,3,4,5*7E\r",
         "| DR_INST_PITCH=1 DR_INST_ROLL=2 DR_INST_YAW=3 DR_NMEA_PSTMDRAHRS:* DR_VEH_PITCH=4 "
         "DR_VEH_PITCH_ACC=5"},
        {"$PSTMDRDEBUG,1e-3,2,3,4,5,6*11\r",
         "| DR_HEADING_ERROR=3 DR_HEIGHT_ERROR=5 DR_LAT_ERROR=0.001 DR_LON_ERROR=2 "
         "DR_NMEA_PSTMDRDEBUG:* DR_SPEED_ERROR=4 DR_VV_ERROR=6"},
        // Stored whole, whatever follows the prefix.
        {"$PSTMDRSTYPE,1,2*00\r", "| DR_NMEA_PSTMDRSTYPE:*"},
        {"$PSTMDRSTEP\r", "| DR_NMEA_PSTMDRSTEP:*"},
        {"$PSTMDRUPD,1*00\r", "| DR_NMEA_PSTMDRUPD:*"},
        {"$PSTMDREPE,1,2,3*00\r", "| DR_NMEA_PSTMDREPE:*"},
        {"$PSTMDRSENMSG,15,1234,12.75*00\r", "|"},
        {"$PSTMDRSTATE,1,2,3*00\r", "|"},
        {"$PSTMANTENNASTATUS,0,1,2,3*59\r", "|"}};
    for (const auto& [line, stored] : cases) {
        handle_pstm_sentence(line.c_str());
        EXPECT_EQ(take_stored(line), stored) << line;
        if (stored.find_first_of("#=") == std::string::npos) continue;
        std::string shorter = line;  // without its last field
        shorter.erase(shorter.rfind(','), shorter.find('*') - shorter.rfind(','));
        handle_pstm_sentence(shorter.c_str());
        EXPECT_EQ(take_stored(shorter), "|") << shorter;
    }
}

// The scanner against sscanf where sscanf's behaviour is defined; beyond that it saturates.
TEST(ScanFields, AcceptsWhatSscanfAcceptsAndSaturates) {
    const char* fields[] = {
        "5",   "-5",       " 7",     "",        "-",        "+",    "x",    "0x",   "0X1f",
        "1F",  "0xg",      "1e",     "1e+",     "1e-3",     ".5",   ".",    ".e5",  "nan",
        "inf", "infinity", "nan(1)", "0x1p3",   "0x1p",     "12a",  "- 5",  "00x5", "0e",
        "1.",  " ",        "infi",   "infinit", "-Infinit", "infx", "infI",
    };
    auto same = [](const char* s, const char* format, auto a, auto b) {
        decltype(a) a1 = a, a2 = a;
        decltype(b) b1 = b, b2 = b;
        EXPECT_EQ(scan_fields(s, format, &a1, &b1), sscanf(s, format, &a2, &b2));
        EXPECT_TRUE(a1 == a2 || (a1 != a1 && a2 != a2));  // NaN is NaN
        EXPECT_EQ(b1, b2);
    };
    for (const char* a : fields) {
        // Only the counted fields decide: the '*' and what follows it are not needed.
        for (const char* b : {"1*00", "*00", "F*00", "1", "1*", "1xyz"}) {
            const std::string line = std::string(a) + "," + b;
            SCOPED_TRACE(line);
            same(line.c_str(), "%d,%x*%*s", 0, 0u);
            same(line.c_str(), "%x,%u*%*s", 0u, 0u);
            same(line.c_str(), "%lf,%c*%*s", 0.0, 'c');
        }
    }
    for (const auto& [in, d, u] : std::initializer_list<std::tuple<const char*, int, unsigned>>{
             {"99999999999999999999999", INT_MAX, UINT_MAX},
             {"2147483648", INT_MAX, 2147483648u},
             {"-2147483649", INT_MIN, 0u - 2147483649u},
             {"4294967296", INT_MAX, UINT_MAX}}) {
        int d1 = 0;
        unsigned u1 = 0;
        EXPECT_EQ(scan_fields(in, "%d", &d1) + scan_fields(in, "%u", &u1), 2);
        EXPECT_EQ(std::make_pair(d1, u1), std::make_pair(d, u)) << in;
    }
    unsigned x = 0;  // the IMU flag's conversion
    EXPECT_TRUE(scan_fields("FFFFFFFFF0", "%x", &x) == 1 && x == UINT_MAX);
}

}  // namespace
