// The receiver's proprietary sentences: handlers, incomplete lines, the scanner against sscanf.
#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <tuple>

#include "platform/sysdb/sysdb.h"
#include "receiver/receiver.h"
#include "tests/support/support.h"

static navtest::TestDb g_db;

// Takes all out of "DR" as "KEY:text ", "KEY#int ", "KEY=double " without "DR_"; the line: "*".
static std::string take_stored(const std::string& line, std::string out = "") {
    std::vector<std::pair<std::string, sysdb_value>> list;
    sysdb_namedb_list(nullptr, "DR", &list);
    for (const auto& [key, v] : list) {
        out += key.substr(3) + " :#=:"[v.type] + (v.text == line ? "*" : sysdb_value_text(v)) + " ";
        g_db.db.del("DR", key.c_str());
    }
    return out;
}

TEST(Pstm, HandlersStoreTheirKeysNoneForALineAFieldShortAndTheirScannerMatchesSscanf) {
    const std::pair<std::string, std::string> cases[] = {
        {"$PSTMDRCAL,1,0,1,1,8000001F,2,3,C*4B\r",  // the IMU flag's bits kept in an int
         "ACC_INTEGRITY#3 CALIBRATED#1 CALIB_STATUS:C GYRO_BIAS_CALIBRATED#1 GYRO_INTEGRITY_FLAG#2 "
         "GYRO_SEN_CALIBRATED#1 IMU_FLAG#-2147483617 NMEA_PSTMDRCAL:* ODO_CALIBRATED#0 "},
        {"$PSTMDRPVA,123.5,4000000000,45.5,-73.25,35.0,1.5,-2.5,0.25,1.0,-1.0,270.5*1A\r",
         "HDG=270.5 HEIGHT=35 LAT=45.5 LON=-73.25 NMEA_PSTMDRPVA:* PITCH=1 ROLL=-1 V_EAST=-2.5 "
         "V_NORTH=1.5 V_UP=0.25 "},
        {"$PSTMDRSENMSG,14,1234,12.75*2C\r", "NMEA_PSTMDRSENMSG_14:* VEL=12.75 "},
        {"$PSTMDRCONFID,1,2,3,4,5,6,7,8,9,10,11,12,13*55\r",
         "ACC_OFFSET_STD_DEV=8 ELLIPSE_ANGLE=12 GYRO_BIAS_STD_DEV=5 HEADING_STD_DEV=3 "
         "HEIGHT_STD_DEV=9 LAT_STD_DEV=1 LON_STD_DEV=2 MAJOR_SEMI_AXIS=10 MINOR_SEMI_AXIS=11 "
         "NMEA_PSTMDRCONFID:* ODO_SCALE_STD_DEV=6 SPEED_STD_DEV=13 "},
        {"$PSTMDRGPS,1,2,3,4,5,6,7,8,9,10,11*00\r",
         "GPS_HDOP=6 GPS_HEIGHT=11 GPS_LAT=1 GPS_LON=2 GPS_PDOP=5 GPS_RMS_POS_RESIDUAL=8 "
         "GPS_RMS_VEL_RESIDUAL=9 GPS_VDOP=7 GPS_VE=4 GPS_VN=3 GPS_VV=10 NMEA_PSTMDRGPS:* "},
        {"$PSTMDRAHRS,1,2,3,4,5*7E\r",
         "INST_PITCH=1 INST_ROLL=2 INST_YAW=3 NMEA_PSTMDRAHRS:* VEH_PITCH=4 VEH_PITCH_ACC=5 "},
        {"$PSTMDRDEBUG,1e-3,2,3,4,5,6*11\r",
         "HEADING_ERROR=3 HEIGHT_ERROR=5 LAT_ERROR=0.001 LON_ERROR=2 NMEA_PSTMDRDEBUG:* "
         "SPEED_ERROR=4 VV_ERROR=6 "},
        // Stored whole, whatever follows the prefix.
        {"$PSTMDRSTYPE,1,2*00\r", "NMEA_PSTMDRSTYPE:* "},
        {"$PSTMDRSTEP\r", "NMEA_PSTMDRSTEP:* "},
        {"$PSTMDRUPD,1*00\r", "NMEA_PSTMDRUPD:* "},
        {"$PSTMDREPE,1,2,3*00\r", "NMEA_PSTMDREPE:* "},
        {"$PSTMDRSENMSG,15,1234,12.75*00\r", ""}};
    for (const auto& [line, stored] : cases) {
        handle_pstm_sentence(g_db.db, line.c_str());
        EXPECT_EQ(take_stored(line), stored) << line;
        if (stored.find_first_of("#=") == std::string::npos) continue;
        const std::string shorter = line.substr(0, line.rfind(',')) + line.substr(line.find('*'));
        handle_pstm_sentence(g_db.db, shorter.c_str());
        EXPECT_EQ(take_stored(shorter), "") << shorter;
    }

    // The scanner against sscanf where sscanf's behaviour is defined; beyond that it saturates.
    const char* fields[] = {
        "5",   "-5",       " 7",     "",        "-",        "+",    "x",    "0x",   "0X1f",
        "1F",  "0xg",      "1e",     "1e+",     "1e-3",     ".5",   ".",    ".e5",  "nan",
        "inf", "infinity", "nan(1)", "0x1p3",   "0x1p",     "12a",  "- 5",  "00x5", "0e",
        "1.",  " ",        "infi",   "infinit", "-Infinit", "infx", "infI",
    };
    auto same = [](const char* s, const char* format, auto a, auto b) {
        auto [a1, a2, b1, b2] = std::make_tuple(a, a, b, b);
        EXPECT_TRUE(scan_fields(s, format, &a1, &b1) == sscanf(s, format, &a2, &b2) && b1 == b2 &&
                    (a1 == a2 || (a1 != a1 && a2 != a2)));  // NaN is NaN
    };
    // Only the counted fields decide: the '*' and what follows it are not needed.
    for (const char* a : fields)
        for (const char* b : {"1*00", "*00", "F*00", "1", "1*", "1xyz"}) {
            const std::string line = std::string(a) + "," + b;
            SCOPED_TRACE(line);
            same(line.c_str(), "%d,%x*%*s", 0, 0u);
            same(line.c_str(), "%x,%u*%*s", 0u, 0u);
            same(line.c_str(), "%lf,%c*%*s", 0.0, 'c');
        }
    const std::tuple<const char*, int, unsigned> saturated[] = {
        {"99999999999999999999999", INT_MAX, UINT_MAX},
        {"2147483648", INT_MAX, 2147483648u},
        {"-2147483648", INT_MIN, 2147483648u},
        {"-2147483649", INT_MIN, 0u - 2147483649u},
        {"4294967296", INT_MAX, UINT_MAX}};
    for (const auto& [s, d, u] : saturated) {
        auto [i, n] = std::make_pair(0, 0u);
        EXPECT_TRUE(scan_fields(s, "%d", &i) + scan_fields(s, "%u", &n) == 2 && i == d && n == u)
            << s;
    }
    unsigned x = 0;  // the IMU flag's conversion
    EXPECT_TRUE(scan_fields("FFFFFFFFF0", "%x", &x) == 1 && x == UINT_MAX);
    // A directive it does not convert would leave its field unwritten on every line.
    float f = 0;
    short h = 0;
    long l = 0;
    EXPECT_PROGRAM_ERROR(scan_fields("$X,1.5", "$Y,%f", &f), -1);
    EXPECT_PROGRAM_ERROR(scan_fields("1", "%hd", &h), -1);
    EXPECT_PROGRAM_ERROR(scan_fields("1", "%ld", &l), -1);
}
