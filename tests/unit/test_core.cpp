// The session records, the first fix per session count, the pass's engine restart rule and pace.
#include <cmath>
#include <map>

#include "core/core.h"
#include "tests/support/support.h"

struct CoreTest : ::testing::Test, navtest::TestDb {  // Navmon's Database on the file, not TestDb's
    const Environment env{dir.path(), path, dir / "config.json"};
    Navmon navmon{"test", env};
};

TEST_F(CoreTest, SessionRecordsAndFirstFixOncePerSessionCount) {
    // (stored count, "" none; first-fix keys owed afterwards): the first session differs from the
    // initial -1; an unreadable count reads as 0.
    const std::pair<const char*, bool> steps[] = {{"5", true}, {"5", false}, {"6", true},
                                                  {"", true},  {"0", false}, {"x", false}};
    Json::Value valid = navtest::json(R"({"validity": true})");  // a pass with a fix pays the debt
    for (const auto& [count, owed] : steps) {
        ASSERT_EQ(navmon.writer().saveGpsDataSysdb(valid), 0);
        sysdb_namedb_del(nullptr, "SYS", "SYS_SESSION_CNT");
        if (*count) sysdb_namedb_write_str(nullptr, "SYS", "SYS_SESSION_CNT", count, 0);
        navmon.mark_gps_active();
        EXPECT_EQ(navmon.writer().ttff_pending(), owed) << count;
    }
    EXPECT_EQ(navtest::stored("GPS_STATUS"), "ACTIVE");
    navmon.mark_gps_inactive();
    EXPECT_EQ(navtest::stored("GPS_STATUS"), "INACTIVE");
    for (const char* key : {"GPS_VALID", "GPS_ISO8601", "GPS_NMEA_PGPS", "GPS_FW_VER", "GPS_LAT"})
        sysdb_namedb_write_str(nullptr, "GPS", key, "x", 0);
    navmon.clear_gps_records();
    for (const char* key : {"GPS_VALID", "GPS_ISO8601", "GPS_NMEA_PGPS", "GPS_FW_VER"})
        EXPECT_EQ(navtest::stored(key), "-") << key;
    EXPECT_EQ(navtest::stored("GPS_LAT"), "x");
}

TEST_F(CoreTest, EngineRestartAfterMoreThanFourSilentTimeouts) {
    // (the command fails, timeouts added, restarts so far, count left): a failing restart keeps
    // the count, so the next pass tries again.
    const std::tuple<bool, int, size_t, int> steps[] = {
        {false, 4, 0, 4}, {false, 1, 1, 0}, {true, 5, 1, 5}, {false, 0, 2, 0}};
    for (const auto& [fails, timeouts, restarts, left] : steps) {
        const std::string cmd = fails ? "exit 3" : "echo r >> " + dir / "r";
        navtest::write_file(env.config_path,
                            R"({"gps":{"engine_restart_command":")" + cmd + "\"}}");
        for (int i = 0; i < timeouts; ++i) navmon.receiver().count_timeout();
        navmon.run_processing_pass();
        EXPECT_EQ(navtest::read_file(dir / "r").size(), 2 * restarts);
        EXPECT_EQ(navmon.receiver().nmea_timeout_count(), left);
    }
}

using Reports = std::vector<std::pair<double, std::string>>;
using Steps = std::map<int, std::pair<double, std::function<bool()>>>;

// The passes of a pacer over reports at their times ("" a SKY, else a TPV's time) until `end`.
static std::vector<double> passes(const Reports& reports, double end) {
    PassPacer pacer;
    pacer.start(0.0);
    std::vector<double> at;
    for (size_t i = 0;;) {
        const double due = pacer.due(), next = i < reports.size() ? reports[i].first : 1e9;
        if (std::min(due, next) > end) return at;
        if (next <= due)
            pacer.report(next, reports[i].second.empty() ? nullptr : reports[i].second.c_str()),
                ++i;
        else
            pacer.ran(due), at.push_back(due);
    }
}

// 20 s of TPVs from `from` every `step` s, receiver time rx0 + i * `rx`; SKYs 5 ms after if sky.
static Reports feed(double from, double step, double rx, bool sky, double rx0 = 0) {
    Reports r;
    for (int i = 0; from + i * step < 20.0; ++i) {
        char time[40];
        const double s = rx0 + i * rx;
        snprintf(time, sizeof time, "2026-12-07T10:%02d:%05.2fZ", static_cast<int>(s) / 60,
                 fmod(s, 60.0));
        r.push_back({from + i * step, time});
        if (sky) r.push_back({from + i * step + 0.005, ""});
    }
    return r;
}

TEST(PassPacer, APassFollowsEachNewSecondsTpvAndNoneComesFasterThanOneASecond) {
    const double quiet = PassPacer::kQuiet, settle = 0.005 + quiet, cap = PassPacer::kCap;
    const double fallback = PassPacer::kFallback + PassPacer::kLate;  // after a TPV's pass
    auto lagging = feed(0.3, 1.0, 1.0, true), gga = feed(0.5, 1.0, 1.0, false);
    lagging.insert(lagging.end(), gga.begin(), gga.end());  // the same times again, 0.2 s later
    std::sort(lagging.begin(), lagging.end());
    auto late = feed(0.3, 1.0, 1.0, false), later = late;
    late[5].first += 0.2;  // a TPV 0.2 s late still gets a pass of its own, but then the next
    later[5].first += PassPacer::kEarly * 0.8;  // one waits for the fallback unless it was less
    // (reports, how many passes in 20 s, times among them): a storm's passes wait for it to
    // pause at most kCap, then keep a 1 Hz rhythm.
    const std::tuple<Reports, size_t, std::vector<double>> cases[] = {
        {feed(0.3, 1.0, 1.0, true), 20, {0.3 + settle, 19.3 + settle}},  // 1 Hz
        {{}, 20, {1.0, 20.0}},                                           // no TPV
        {lagging, 20, {0.3 + settle, 19.3 + settle}},                    // a GGA that lags
        {feed(0.3, 0.1, 0.1, true, 0.2), 20, {0.3 + settle, 1.1 + settle, 19.1 + settle}},
        {feed(0.3, 0.01, 1.0, true), 20, {0.3 + cap, 0.3 + cap + fallback, 18.3 + cap + fallback}},
        {late, 20, {4.3 + quiet, 5.5 + quiet, 5.5 + quiet + fallback, 7.3 + quiet}},
        {later, 20, {5.38 + quiet, 6.3 + quiet}}};
    for (const auto& [reports, count, among] : cases) {
        const std::vector<double> at = passes(reports, 20.0);
        EXPECT_EQ(at.size(), count) << testing::PrintToString(at);
        for (double t : among)
            EXPECT_TRUE(
                std::any_of(at.begin(), at.end(), [t](double a) { return fabs(a - t) < 1e-9; }))
                << t << " not in " << testing::PrintToString(at);
        for (size_t i = 1; i < at.size(); ++i) EXPECT_GE(at[i] - at[i - 1], PassPacer::kMinGap);
    }
}

// The loop's waits on the test's clock: "w" (for a pass) or "s" (a pause), its length, "!" if cut.
struct FakeWaits : Waits {
    double now() override { return t; }
    Woken wait(double until, bool reports) override {
        char e[32];
        const auto step = steps.find(waits++);
        const double cut = step != steps.end() ? std::min(until, t + step->second.first) : until;
        snprintf(e, sizeof e, " %c%g%s", reports ? 'w' : 's', cut - t, cut < until ? "!" : "");
        log += e, t = cut;
        return cut == until ? TIME : step->second.second() ? SIGNAL : REPORT;
    }
    void report() override {}
    double t = 100.0;
    int waits = 0;
    // At the wait of this index, after this many seconds: runs the event; true for a signal.
    Steps steps;
    std::string log;
};

TEST_F(CoreTest, TheLoopWaitsForThePassAndItsFlagsEndItAtOnce) {
    auto quit = [] { return need_to_quit = true; };
    auto off = [] { return signal_client.load()->set_svc_req(false), true; };
    // Without gpsd every pass is a restart: 4 s and 2 s. A TPV stored 0.3 s into the wait for
    // the first pass brings it 0.3 s and the quiet time later.
    std::function<void()> tpv;
    const std::string line = R"({"class":"TPV","mode":3,"time":"2026-12-07T10:00:00.000Z",)"
                             "\"lat\":48,\"lon\":11,\"speed\":1}\n";
    const std::pair<Steps, std::string> cases[] = {
        {{{3, {0.5, quit}}}, " w1 s4 s2 w0.5!"},
        {{{3, {0.5, off}}}, " w1 s4 s2 w0.5!"},
        {{{1, {1.5, quit}}}, " w1 s1.5! s2"},
        {{{0, {0.3, [&] { return tpv(), false; }}}, {4, {0.1, quit}}}, " w0.3! w0.06 s4 s2 w0.1!"}};
    for (const auto& [steps, log] : cases) {
        auto waits = std::make_unique<FakeWaits>();
        FakeWaits& w = *waits;
        w.steps = steps;
        Navmon loop("test", env, std::move(waits));
        tpv = [&] { loop.json_intake().on_gpsd_json(&std::string(line)[0]); };
        loop.start();
        signal_client.load()->set_svc_req(true);
        loop.run_parsing_loop();
        EXPECT_EQ(w.log, log);
        need_to_quit = false;
    }
}
