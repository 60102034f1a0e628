// Receiver lines: liveness, routing, GSV groups, quality index, proprietary handlers; the scanner.
#include "receiver/receiver.h"
#include "tests/support/support.h"

static const auto sentence = navtest::nmea_sentence;
static const auto feed = [](ReceiverIntake& in, std::string b) { in.on_nmea_message(&b[0]); };
static navtest::TestDb g_db;

const std::string one = "$GPGSV,1,1,01,05,40,100,45";
const std::string k1 = "$GPGSV,3,1,11,03,03,111,00,04,15,270,00,06,01,010,00,13,06,292,00";
const std::string k2 = "$GPGSV,3,2,11,14,25,170,00,16,57,208,39,18,67,296,40,19,40,246,00";
const std::string k3 = "$GPGSV,3,3,11,22,42,067,42,24,14,311,43,27,05,244,00";
const std::string all = sentence(k1) + sentence(k2) + sentence(k3 + ",00,00,000,");
const std::string big = "$GPGSV,1,1,04,01,1,1,50,02,1,1,60,03,1,1,99,04,1,1,50";  // index 100
const std::string kFill = ",00,00,000,,00,00,000,,00,00,000,";  // three empty blocks

// Only "$GP" lines show the receiver is alive; with dead reckoning the others go to its handlers.
TEST(Receiver, LivenessAndRouting) {
    for (bool dr : {false, true}) {
        ReceiverIntake in(g_db.db);
        in.count_timeout(), in.set_deadreckon_enabled(dr);
        feed(in, sentence("$GNGSA,A,3,05,,,,,,,,,,,,1.0,1.0,1.0") + sentence("$PSTMAGPSSTATUS,4"));
        EXPECT_EQ(in.nmea_timeout_count(), 1);
        EXPECT_EQ(navtest::stored("GPS_STAGPS_RAW"), dr ? "4" : "-");
        feed(in, "\n\n" + sentence("$GPGGA,123519,4807.038,N,01131.000,E,1,08,0.9,545.4,M,,M,,"));
        EXPECT_EQ(in.nmea_timeout_count(), 0);
    }
}

// Rows: lines (sent with a checksum; '!': bare), the index (the best four signal-to-noise ratios'
// mean, 20..50 mapped onto 0..100; -1: neither key stored), the text ("?": not checked).
TEST(Receiver, GroupsTextAndIndex) {
    std::vector<std::string> overflow = {one};  // then a group too long for the 1024-byte text
    for (char n = '1'; n <= '9'; ++n)
        overflow.push_back(std::string("$GPGSV,9,") + n + ",90,01,,," + (n == '9' ? "50" : "30") +
                           ",02,,,30,03,,,30,04,,,30,05,,,,06,,,,07,,,,08,,,,09,,,,10,,,");
    const std::tuple<std::vector<std::string>, int, std::string> cases[] = {
        {{k1, k2}, -1, ""},
        {{k1, k2, k3}, 70, all},
        {{k1, k3}, -1, ""},
        {{k1, k3, k1, k2, k3}, 70, all},
        {{k1, k2, k1, k2, k3}, 70, all},  // a repeated first line restarts the group
        {{k1, "$GPGSV,4,2,11,14", k3}, -1, ""},
        // Too short to hold count and number: neither starts nor breaks a group.
        {{"!$GPGSV", "!$GPGSV,1,", "!$GPGSV,1,1", one}, 0, sentence(one + kFill)},
        {{k1, "!$GPGSV,3,", k2, k3}, 70, all},
        // A trailing signal ID (since NMEA 4.10) is dropped; only all signals (0) or L1 C/A (1)
        // count, so an L5 group neither replaces the L1 group nor changes the index.
        {{k1 + ",1", k2 + ",1", k3 + ",1", "$GPGSV,1,1,02,05,43,250,38,25,35,330,36,8"}, 70, all},
        {{k1 + ",8", k2 + ",8", k3 + ",8"}, -1, ""},
        {{one + ",0"}, 0, sentence(one + kFill)},
        {{"$GPGSV,1,1,00,1"}, 0, sentence("$GPGSV,1,1,00,00,00,000," + kFill)},
        {{big + ",1"}, 100, sentence(big)},
        // Empty satellite fields are filled; the field the sentence's end closes is not, nor
        // are header fields. Without a checksum the carriage return belongs to the last field.
        {{"$GPGSV,1,1,03,12,,,35,13,05,,,,,200,20"},
         0,
         sentence("$GPGSV,1,1,03,12,00,000,35,13,05,000,,00,00,200,20,00,00,000,")},
        {{"$GPGSV,1,1,01,07,30,"}, 0, sentence("$GPGSV,1,1,01,07,30,," + kFill)},
        {{"$GPGSV,1,1,,,30,100,40"}, 0, sentence("$GPGSV,1,1,,00,30,100,40" + kFill)},
        {{"!" + one + "\r\n"}, 0, sentence(one + "\r" + kFill)},
        // Lines of 128 characters or more (with "*hh\r") are left out of text and index.
        {{big + std::string(70, ' ')}, 100, sentence(big + std::string(70, ' '))},
        {{big + std::string(71, ' ')}, 0, ""},
        {overflow, 50, sentence(one + kFill)},  // the text stays; best four 50 30 30 30
        {{"$GPGSV,2,1,08,01,,,45,02,,,10,03,,,44", "$GPGSV,2,2,08,05,,,40,06,,,39"}, 73, "?"},
        {{"$GPGSV,1,1,01,01,1,1,99999999999999999999"}, 100, "?"},
    };
    for (const auto& [lines, sqi, want] : cases) {
        SCOPED_TRACE(testing::PrintToString(lines));
        for (const char* key : {"GPS_NMEA_GPGSV", "GPS_SQI"}) g_db.db.del("GPS", key);
        ReceiverIntake in(g_db.db);
        for (const std::string& l : lines) feed(in, l[0] == '!' ? l.substr(1) : sentence(l));
        EXPECT_EQ(navtest::stored("GPS_SQI"), sqi < 0 ? "-" : std::to_string(sqi));
        EXPECT_EQ(in.latest_gps_sqi(), sqi);
        const std::string text = navtest::stored("GPS_NMEA_GPGSV");
        EXPECT_EQ(text, sqi < 0 ? "-" : want == "?" ? text : want);
    }
}

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
