#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <limits>
#include <string>
#include <tuple>
#include <vector>

#include "platform/platform.h"
#include "tests/support/support.h"

using navtest::read_file;
using navtest::ScopedEnv;
using navtest::TempDir;
using navtest::write_file;

static double g_now = 0;
TEST(Clock, WholeSecondsNeverGoBack) {
    fwtime_set_source([] { return g_now; });
    // (now, start, elapsed): the clock stepping back, a start in the future, saturation.
    const std::tuple<double, unsigned, unsigned> steps[] = {
        {100.75, 0, 100}, {100.75, 40, 60}, {50, 0, 100},
        {50, 200, 0},     {130.2, 0, 130},  {1e300, 0, std::numeric_limits<unsigned>::max()}};
    for (const auto& [now, start, elapsed] : steps) {
        g_now = now;
        EXPECT_EQ(fwtime_bt_s(start), elapsed) << now << " " << start;
    }
    fwtime_set_source(nullptr);
}

TEST(Config, LookupsTypesMalformedFilesAndRereads) {
    TempDir dir;
    const std::string path = dir / "config.json";
    ScopedEnv env("PLATFORM_CONFIG", path);
    navtest::LogCapture log;
    const char* good = R"({"gps":{"dr":{"enable":true},"name":"ST","n":3},"flag":false})";
    // (file content or nullptr for none, key, compact value or nullptr when the lookup fails,
    // boolean or -1 when not one). A malformed file is logged once per state of the file; a
    // file replaced by one of the same size is re-read; a removed one is not served from cache.
    const std::tuple<const char*, const char*, const char*, int> cases[] = {
        {nullptr, "a", nullptr, -1},      {good, "gps.dr.enable", "true", 1},
        {good, "flag", "false", 0},       {good, "gps.name", "\"ST\"", -1},
        {good, "gps.n", "3", -1},         {good, "gps.name.deeper", nullptr, -1},
        {good, "gps..name", nullptr, -1}, {"{\"a\": tru", "a", nullptr, -1},
        {"[1, 2]", "a", nullptr, -1},     {"{\"a\": 1} x", "a", nullptr, -1},
        {"{\"a\": 1}", "a", "1", -1},     {"{\"a\": 2}", "a", "2", -1},
        {nullptr, "a", nullptr, -1}};
    std::string previous;
    for (const auto& [file, key, json, boolean] : cases) {
        SCOPED_TRACE(std::string(file ? file : "(none)") + " " + key);
        if (file == nullptr) unlink(path.c_str());
        if (file != nullptr && file != previous) {
            write_file(path + ".new", file);
            ASSERT_EQ(rename((path + ".new").c_str(), path.c_str()), 0);
        }
        previous = file ? file : "";
        for (int twice = 0; twice < 2; ++twice) {
            Json::Value v("keep");
            EXPECT_EQ(cmd_get_value_json(key, v) == 0, json != nullptr);
            EXPECT_EQ(Json::FastWriter().write(v), std::string(json ? json : "\"keep\"") + "\n");
            bool b = boolean != 1;
            EXPECT_EQ(cmd_get_value_bool(key, &b) == 0, boolean >= 0);
            EXPECT_EQ(b, boolean != 0);
        }
    }
    EXPECT_EQ(log.count("is not a valid JSON object"), 3);
}

TEST(Files, PidFile) {
    TempDir dir;
    const std::string pid = dir / "run/sub/navmon.pid";  // parent directories are created
    ASSERT_EQ(create_pidfile(pid.c_str()), 0);
    EXPECT_EQ(read_file(pid), std::to_string(getpid()) + "\n");
    EXPECT_EQ(check_pidfile(pid.c_str()), getpid());
    EXPECT_EQ(delete_file(pid.c_str()), 0);
    EXPECT_NE(delete_file(pid.c_str()), 0);
    EXPECT_LE(check_pidfile(pid.c_str()), 0);
    using namespace std::string_literals;
    const std::pair<std::string, int> cases[] = {{"42\n", 42},  {" 42 \n", 42},  {"", -1},
                                                 {"abc\n", -1}, {"42abc\n", -1}, {"-42\n", -1},
                                                 {"+42\n", -1}, {"0\n", -1},     {"2147483648", -1},
                                                 {"4 2\n", -1}, {"42\0"s, -1}};
    for (const auto& [content, expected] : cases) {
        write_file(pid, content);
        EXPECT_EQ(check_pidfile(pid.c_str()), expected) << "content: " << content;
    }
}

TEST(Led, CodesWriteTheirAttributesAndOnlyShownCodesAreRemembered) {
    TempDir root;
    ScopedEnv env_root("NAVMON_ROOT", root.path());
    ScopedEnv env_cfg("PLATFORM_CONFIG", root / "config.json");
    const char* const kAttrs[] = {"trigger", "brightness", "delay_on", "delay_off"};
    auto make_led = [&](const std::string& d, const char* max) {
        navtest::mkdirs(d);
        for (const char* f : kAttrs) write_file(d + "/" + f, "x");
        write_file(d + "/max_brightness", max);
    };
    auto attrs = [&](const std::string& d) {
        std::string s;
        for (const char* f : kAttrs) s += read_file(d + "/" + f) + " ";
        return s;
    };
    const std::string led = root / "sys/class/leds/gps";
    GpsLed gps_led;
    gps_led.update(false);  // no LED yet: not remembered, so tried again below
    EXPECT_EQ(gps_led.state(), -1);
    make_led(led, "255\n");
    // (code, accepted, trigger brightness delay_on delay_off afterwards)
    const std::tuple<int, bool, const char*> cases[] = {{1, true, "none 255 x x "},
                                                        {2, true, "timer 255 500 500 "},
                                                        {0, true, "none 0 500 500 "},
                                                        {3, false, "none 0 500 500 "},
                                                        {-1, false, "none 0 500 500 "}};
    for (const auto& [code, ok, expected] : cases) {
        EXPECT_EQ(leds_gps_status(code) == 0, ok) << code;
        EXPECT_EQ(attrs(led), expected) << code;
    }
    gps_led.update(false);
    EXPECT_EQ(read_file(led + "/trigger"), "timer");
    write_file(led + "/trigger", "untouched");
    gps_led.update(false);  // shown already: not touched
    EXPECT_EQ(read_file(led + "/trigger"), "untouched");
    write_file(led + "/brightness", "9");
    gps_led.off();
    gps_led.off();  // off is never cached away
    EXPECT_EQ(attrs(led), "none 0 500 500 ");
    write_file(led + "/max_brightness", "garbage");
    gps_led.update(true);
    EXPECT_EQ(read_file(led + "/brightness"), "1");
    unlink((led + "/delay_on").c_str());  // a failed write is reported
    EXPECT_NE(leds_gps_status(2), 0);

    make_led(root / "leds/status", "7");  // the directory can come from the configuration
    write_file(root / "config.json", R"({"hardware":{"leds":{"gps":"/leds/status"}}})");
    ASSERT_EQ(leds_gps_status(1), 0);
    EXPECT_EQ(read_file(root / "leds/status/brightness"), "7");
}

TEST(Watchdog, KickedAtFirstThenOncePerMinuteOfUptime) {
    navtest::LogCapture log;
    fwtime_set_source([] { return g_now; });
    Watchdog watchdog;
    const std::pair<double, bool> steps[] = {{100, true}, {101, false}, {159.9, false},
                                             {160, true}, {170, false}, {219, false},
                                             {500, true}, {560, true}};
    for (const auto& [uptime, kicks] : steps) {
        log.clear();
        g_now = uptime;
        watchdog.kick();
        EXPECT_EQ(log.count("Kicking watchdog"), kicks ? 1 : 0) << uptime;
    }
    fwtime_set_source(nullptr);
}

TEST(Logging, FileLinesAndVerboseFilter) {
    TempDir dir;
    log_open("navmon-test", LOG_USER, (dir / "navmon.log").c_str(), false);
    nm_log(LOG_DEBUG, "hidden %d", 1);
    nm_log(LOG_NOTICE, "shown %d", 2);
    log_set_verbose(true);
    nm_log(LOG_DEBUG, "now shown");
    nm_log(LOG_ERR, "%s", std::string(5000, 'x').c_str());  // cut, still one line
    log_close();
    log_set_verbose(false);

    std::vector<std::string> lines;
    std::string content = read_file(dir / "navmon.log");
    for (size_t pos = 0, nl; (nl = content.find('\n', pos)) != std::string::npos; pos = nl + 1)
        lines.push_back(content.substr(pos, nl - pos));
    ASSERT_EQ(lines.size(), 3u);
    // "YYYY-MM-DDTHH:MM:SS.mmm <prio> text"
    EXPECT_EQ(lines[0].substr(4, 1) + lines[0].substr(10, 1) + lines[0].substr(19, 1), "-T.");
    EXPECT_EQ(lines[0].substr(23), " notice shown 2");
    EXPECT_EQ(lines[1].substr(23), " debug now shown");
    EXPECT_EQ(lines[2].substr(23, 6), " err x");
    EXPECT_LT(lines[2].size(), 1200u);
}
