// Power cuts at every write of the database: what a cut leaves opens, keeps other services' keys,
// holds each batch whole or not at all, and a fix at most ten passes older than the last committed.
#include "publish/publish.h"
#include "receiver/receiver.h"
#include "tests/support/crash_vfs.h"
#include "tests/support/support.h"

const std::string kDeadReckoningAndGsv =
    navtest::nmea_sentence("$PSTMDRSENMSG,14,1000000,12.5") +
    navtest::nmea_sentence("$GPGSV,2,1,08,02,67,112,40,05,43,250,38,07,12,045,33,09,55,300,41") +
    navtest::nmea_sentence("$GPGSV,2,2,08,13,30,160,36,15,22,080,30,18,71,020,44,20,08,200,25");
const char kSnapshot[] = R"({"ts": %d, "validity": true, "iso8601": "2025-09-21T16:30:00Z",
    "TPV": {"class": "TPV", "mode": 3, "time": "2025-09-21T16:30:00.000Z", "ept": 0.005, "lat":
    %.3f, "lon": %.3f, "alt": 545, "epx": 3.1, "epy": 4.2, "epv": 7.5, "track": %d, "speed": 12.5},
    "SKY": {"hdop": 0.9, "pdop": 1.6, "satellites": [{"PRN": 2, "el": 67, "az": 112, "ss": 40,
    "used": true}, {"PRN": 5, "el": 43, "az": 250, "ss": 38, "used": true}]}})";

// The scenario, on navmon's API alone: passes 0..n-1 on the file at path as navmon makes them with
// dead reckoning on (a satellites-in-view group and two dead-reckoning sentences through the
// receiver intake, then the fix batch of a valid fix at (10 + p / 1000, 20 + p / 500), time
// 1000 + p). The log's length after each pass; the connection closed at the end, as by an exit.
static auto drive(const std::string& path, int n, const std::vector<crashvfs::Op>& log) {
    sysdb::Database db(path);
    FixWriter writer(db);
    ReceiverIntake intake(db);
    intake.set_deadreckon_enabled(true);
    std::vector<size_t> marks;
    for (int p = 0; p < n; ++p) {
        char text[1600];
        snprintf(text, sizeof text, "$PSTMDRPVA,%d,100,%.6f,11.5,545,1.5,-2.5,0,1.3,-0.6,%d", p,
                 48 + p / 1000.0, p % 360);
        intake.on_nmea_message(&(navtest::nmea_sentence(text) + kDeadReckoningAndGsv)[0]);
        snprintf(text, sizeof text, kSnapshot, 1000 + p, 10 + p / 1000.0, 20 + p / 500.0, p % 360);
        Json::Value snap = navtest::json(text);
        writer.saveGpsDataSysdb(snap);
        marks.push_back(log.size());
    }
    return marks;
}

// Other services' keys; the passes the fix and dead-reckoning batches hold; the fix's pass; how
// many of those batches are torn (neither all their keys nor none, or not all of one pass).
const char kQuery[] = R"(WITH b(db, pass) AS (SELECT db, round(CASE key
    WHEN 'GPS_LAST_VALID_LAT' THEN (value - 10) * 1000 WHEN 'GPS_LAST_VALID_LON' THEN (value - 20)
    * 500 WHEN 'GPS_DATA_TS' THEN value - 1000 WHEN 'DR_LAT' THEN (value - 48) * 1000 WHEN
    'DR_NMEA_PSTMDRPVA' THEN CAST(substr(value, 12) AS INT) ELSE (value ->> 'ts') - 1000 END) FROM
    kv WHERE key IN ('GPS_DATA_TS', 'GPS_DATA', 'GPS_DATA_RAW', 'GPS_LAST_VALID_LAT',
    'GPS_LAST_VALID_LON', 'DR_LAT', 'DR_NMEA_PSTMDRPVA'))
  SELECT (SELECT group_concat(db || key || value) FROM (SELECT * FROM kv WHERE db IN ('SYS',
    'CELL') ORDER BY db, key)), (SELECT group_concat(db || ' ' || pass) FROM b), (SELECT max(pass)
    FROM b WHERE db = 'GPS'), (SELECT count(*) FROM (SELECT db FROM b GROUP BY db HAVING count(*)
    < iif(db = 'GPS', 5, 2) OR count(DISTINCT pass) > 1)))";

// "" when db passes the integrity check, keeps `others` (unless empty) and the batches whole or
// not at all; *pass: the pass of the fix batch (-1: none).
static std::string check(sqlite3* db, const std::string& others, int* pass) {
    std::string error;
    *pass = -1;
    if (navtest::sql_row(db, "PRAGMA integrity_check", &error) != std::vector<std::string>{"ok"})
        return "integrity check: " + error;
    const std::vector<std::string> r = navtest::sql_row(db, kQuery, &error);
    if (r.empty()) return others.empty() && error == "no such table: kv" ? "" : error;
    *pass = r[2] == "-" ? -1 : std::stoi(r[2]);
    if (!others.empty() && r[0] != others) return "other keys: " + r[0];
    return r[3] == "0" ? "" : "batch torn: " + r[1];
}

TEST(PowerCut, EveryCutLeavesWholeBatchesOtherKeysAndARecentFix) {
    navtest::TempDir dir;
    const std::string fresh = dir / "fresh.sqlite", old = dir / "old.sqlite";
    // A file as earlier versions made it, with other services' keys.
    ASSERT_EQ(navtest::sql_row(old,
                               "PRAGMA page_size=4096; PRAGMA journal_mode=WAL; CREATE TABLE"
                               " kv (db, key, type, value, PRIMARY KEY (db, key)) WITHOUT ROWID;"
                               " WITH RECURSIVE n(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM n"
                               " WHERE i < 59) INSERT INTO kv SELECT iif(i % 3, 'SYS', 'CELL'),"
                               " 'K' || i, 1, printf('%.*c', 40 + i, char(97 + i % 26)) FROM n;"
                               " SELECT count(*) FROM kv"),
              std::vector<std::string>{"60"});
    const std::string others = navtest::sql_row(old, kQuery).at(0);

    const char* const kVariants[] = {"drop", "torn", "subset"};
    // (sequence, file, passes, other keys to keep); the last goes past a checkpoint
    const std::tuple<const char*, std::string, int, bool> sequences[] = {
        {"first opening", fresh, 3, false},
        {"rebuild of an older file", old, 1, true},
        {"passes", old, 270, true}};
    for (const auto& [name, path, passes, keep] : sequences) {
        std::vector<size_t> marks;
        const auto log =
            crashvfs::record([&](const auto& log) { marks = drive(path, passes, log); });
        int faults = 0, found[3];  // per variant: the last state's
        std::string fault[3];
        crashvfs::replay(log, path, [&](size_t k, crashvfs::Variant v, sqlite3* db) {
            if (db != nullptr) fault[v] = check(db, keep ? others : "", &found[v]);  // else k - 1's
            const int last = std::upper_bound(marks.begin(), marks.end(), k) - marks.begin() - 1;
            if ((!fault[v].empty() || found[v] < last - 10) && ++faults <= 5)
                ADD_FAILURE() << name << ", cut after " << k << " of " << log.size() << " ("
                              << kVariants[v] << "): the fix of pass " << found[v] << ", pass "
                              << last << " committed. " << fault[v];
        });
        long frames = 0;  // the WAL's most: the passes must reach its checkpoint at 1000 frames
        for (const crashvfs::Op& op : log)
            if (op.kind == crashvfs::WRITE && op.file == path + "-wal")
                frames = std::max(frames, static_cast<long>((op.offset - 32) / 1048 + 1));
        EXPECT_TRUE(passes < 100 || frames >= 1000) << "the WAL's most frames: " << frames;
    }
}
