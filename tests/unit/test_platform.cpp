// Platform utilities: configuration store, pid files, the LED and the watchdog, logging.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <tuple>

#include "platform/platform.h"
#include "tests/support/support.h"

using navtest::read_file;
using navtest::ScopedEnv;
using navtest::TempDir;
using navtest::write_file;

TEST(Config, LookupsTypesMalformedFilesAndRereads) {
    TempDir dir;
    const std::string path = dir / "config.json";
    ScopedEnv env("PLATFORM_CONFIG", path);
    navtest::LogCapture log;
    const char* good = R"({"gps":{"dr":{"enable":true},"name":"ST"},"flag":false})";
    // (file content, nullptr for none; key; compact value, nullptr when the lookup fails;
    // boolean, -1 when not one). A malformed file is logged once per state of the file; a file
    // replaced by one of the same size is read again; a removed one is not served from cache.
    const std::tuple<const char*, const char*, const char*, int> cases[] = {
        {nullptr, "a", nullptr, -1},      {good, "gps.dr.enable", "true", 1},
        {good, "flag", "false", 0},       {good, "gps.name", "\"ST\"", -1},
        {good, "gps..name", nullptr, -1}, {"{\"a\": tru", "a", nullptr, -1},
        {"[1, 2]", "a", nullptr, -1},     {"{\"a\": 1}", "a", "1", -1},
        {"{\"a\": 2}", "a", "2", -1},     {nullptr, "a", nullptr, -1}};
    for (const auto& [file, key, json, boolean] : cases) {
        if (file == nullptr) unlink(path.c_str());
        if (file != nullptr && read_file(path) != file) {
            write_file(path + ".new", file);
            ASSERT_EQ(rename((path + ".new").c_str(), path.c_str()), 0);
        }
        for (int twice = 0; twice < 2; ++twice) {
            Json::Value v("keep");
            EXPECT_EQ(cmd_get_value_json(key, v) == 0, json != nullptr) << key;
            EXPECT_EQ(Json::FastWriter().write(v), std::string(json ? json : "\"keep\"") + "\n");
            bool b = boolean != 1;
            EXPECT_EQ(cmd_get_value_bool(key, &b) == 0, boolean >= 0) << key;
            EXPECT_EQ(b, boolean != 0) << key;
        }
    }
    EXPECT_EQ(log.count("is not a valid JSON object"), 2);
}

TEST(Files, PidFile) {
    TempDir dir;
    const std::string pid = dir / "run/sub/navmon.pid";  // parent directories are created
    ASSERT_EQ(create_pidfile(pid.c_str()), 0);
    EXPECT_EQ(read_file(pid), std::to_string(getpid()) + "\n");
    EXPECT_EQ(check_pidfile(pid.c_str()), getpid());
    EXPECT_EQ(delete_file(pid.c_str()), 0);
    EXPECT_LE(check_pidfile(pid.c_str()), 0);
    using namespace std::string_literals;
    const std::pair<std::string, int> cases[] = {{" 42 \n", 42}, {"", -1},    {"42abc\n", -1},
                                                 {"-42\n", -1},  {"0\n", -1}, {"2147483648", -1},
                                                 {"42\0"s, -1}};
    for (const auto& [content, expected] : cases) {
        write_file(pid, content);
        EXPECT_EQ(check_pidfile(pid.c_str()), expected) << "content: " << content;
    }
}

TEST(Led, CodesWriteTheirAttributesAndOnlyShownCodesAreRemembered) {
    TempDir root;
    ScopedEnv env_root("NAVMON_ROOT", root.path());
    ScopedEnv env_cfg("PLATFORM_CONFIG", root / "config.json");
    const std::string led = root / "leds/status";  // from the configuration
    write_file(root / "config.json", R"({"hardware":{"leds":{"gps":"/leds/status"}}})");
    auto attrs = [&] {
        std::string s;
        for (const char* f : {"trigger", "brightness", "delay_on", "delay_off"})
            s += read_file(led + "/" + f) + " ";
        return s;
    };
    GpsLed gps_led;
    gps_led.update(false);  // no LED yet: not remembered, so tried again below
    navtest::mkdirs(led);
    for (const char* f : {"trigger", "brightness", "delay_on", "delay_off"})
        write_file(led + "/" + f, "x");
    write_file(led + "/max_brightness", "255\n");
    // (code, accepted, trigger brightness delay_on delay_off afterwards)
    const std::tuple<int, bool, const char*> cases[] = {{1, true, "none 255 x x "},
                                                        {2, true, "timer 255 500 500 "},
                                                        {0, true, "none 0 500 500 "},
                                                        {3, false, "none 0 500 500 "}};
    for (const auto& [code, ok, expected] : cases) {
        EXPECT_EQ(leds_gps_status(code) == 0, ok) << code;
        EXPECT_EQ(attrs(), expected) << code;
    }
    gps_led.update(false);
    EXPECT_EQ(read_file(led + "/trigger"), "timer");
    write_file(led + "/trigger", "untouched");
    gps_led.update(false);  // shown already: not touched
    EXPECT_EQ(read_file(led + "/trigger"), "untouched");
    gps_led.off();
    write_file(led + "/brightness", "9");
    gps_led.off();  // off is never cached away
    EXPECT_EQ(attrs(), "none 0 500 500 ");
    unlink((led + "/delay_on").c_str());  // a failed write is reported
    EXPECT_NE(leds_gps_status(2), 0);
}

TEST(Watchdog, KickedAtFirstThenOncePerMinuteOfUptime) {
    static double now;
    navtest::LogCapture log;
    fwtime_set_source([] { return now; });
    Watchdog watchdog;
    for (const auto& [uptime, kicks] : {std::pair(100.0, 1),
                                        {101.0, 0},
                                        {159.9, 0},
                                        {160.0, 1},
                                        {219.0, 0},
                                        {50.0, 0},
                                        {500.0, 1},
                                        {560.0, 1}}) {
        log.clear();
        now = uptime;
        watchdog.kick();  // the clock going back (50) changes nothing: uptime never goes back
        EXPECT_EQ(log.count("Kicking watchdog"), kicks) << uptime;
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
    // "YYYY-MM-DDTHH:MM:SS.mmm <prio> text"
    std::istringstream in(read_file(dir / "navmon.log"));
    std::string line;
    for (const char* want : {" notice shown 2", " debug now shown", " err xxxx"}) {
        ASSERT_TRUE(std::getline(in, line));
        EXPECT_EQ(line.substr(4, 1) + line.substr(10, 1) + line.substr(19, 1), "-T.");
        EXPECT_EQ(line.substr(23, strlen(want)), want);
        EXPECT_LT(line.size(), 1200u);
    }
    EXPECT_FALSE(std::getline(in, line));
}
