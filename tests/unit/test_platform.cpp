// Configuration store, pid files, LED and watchdog (the log and its verbosity: every process test).
#include "platform/cmd/cmd.h"
#include "platform/led/led.h"
#include "platform/service/service.h"
#include "tests/support/support.h"

using namespace navtest;
using namespace std::string_literals;

TEST(Config, LookupsTypesMalformedFilesAndRereads) {
    TempDir dir;
    const std::string path = dir / "config.json";
    ConfigStore config(path);
    LogCapture log;
    const char* good = R"({"gps":{"dr":{"enable":true},"name":"ST"},"flag":false})";
    // (file, nullptr for none; key; compact value, nullptr when not found; boolean, -1 when not
    // one). A malformed file is logged once per state; a file replaced by one of the same size is
    // read again; a removed one is not served from cache.
    const std::tuple<const char*, const char*, const char*, int> cases[] = {
        {good, "gps.dr.enable", "true", 1}, {good, "flag", "false", 0},
        {good, "gps.name", "\"ST\"", -1},   {good, "gps..name", nullptr, -1},
        {"{\"a\": tru", "a", nullptr, -1},  {"[1, 2]", "a", nullptr, -1},
        {"[1, 2]", "b", nullptr, -1},       {"{\"a\": 1}", "a", "1", -1},
        {"{\"a\": 2}", "a", "2", -1},       {nullptr, "a", nullptr, -1}};
    for (const auto& [file, key, json, boolean] : cases) {
        if (file == nullptr) unlink(path.c_str());
        if (file != nullptr && read_file(path) != file)  // replaced as a whole, as tools do
            write_file(path + ".new", file), rename((path + ".new").c_str(), path.c_str());
        Json::Value v("keep");
        EXPECT_EQ(config.cmd_get_value_json(key, v) == 0, json != nullptr) << key;
        EXPECT_EQ(Json::FastWriter().write(v), std::string(json ? json : "\"keep\"") + "\n");
        bool b = boolean != 1;
        EXPECT_EQ(config.cmd_get_value_bool(key, &b) == 0, boolean >= 0) << key;
        EXPECT_EQ(b, boolean != 0) << key;
    }
    EXPECT_EQ(log.count("is not a valid JSON object"), 2);
}

TEST(Files, PidFile) {
    TempDir dir;
    const std::string pid = dir / "run/sub/navmon.pid";  // parent directories are created
    ASSERT_EQ(create_pidfile(pid.c_str()), 0);
    EXPECT_EQ(read_file(pid), std::to_string(getpid()) + "\n");
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
    ConfigStore config(root / "config.json");
    const std::string led = root / "leds/status/";  // from the configuration
    write_file(root / "config.json", R"({"hardware":{"leds":{"gps":"/leds/status"}}})");
    const char* const files[] = {"trigger", "brightness", "delay_on", "delay_off"};
    auto attrs = [&] {
        std::string s;
        for (const char* f : files) s += read_file(led + f) + " ";
        return s;
    };
    GpsLed gps_led(config, root.path());
    gps_led.update(false);  // no LED yet: not remembered, so tried again below
    mkdir_parents(led);     // the directory: the path ends in "/"
    for (const char* f : files) write_file(led + f, "x");
    write_file(led + "max_brightness", "255\n");
    EXPECT_EQ(gps_led.leds_gps_status(1), 0);
    EXPECT_EQ(attrs(), "none 255 x x ");
    EXPECT_EQ(gps_led.leds_gps_status(2), 0);
    EXPECT_EQ(attrs(), "timer 255 500 500 ");
    EXPECT_EQ(gps_led.leds_gps_status(0), 0);
    EXPECT_EQ(attrs(), "none 0 500 500 ");
    EXPECT_NE(gps_led.leds_gps_status(3), 0);  // not a code
    gps_led.update(false);
    EXPECT_EQ(read_file(led + "trigger"), "timer");
    write_file(led + "trigger", "untouched");
    gps_led.update(false);  // shown already: not touched
    EXPECT_EQ(read_file(led + "trigger"), "untouched");
    gps_led.off();
    write_file(led + "brightness", "9");
    gps_led.off();  // off is never cached away
    EXPECT_EQ(attrs(), "none 0 500 500 ");
    unlink((led + "delay_on").c_str());  // a failed write is reported
    EXPECT_NE(gps_led.leds_gps_status(2), 0);
}

TEST(Watchdog, KickedAtFirstThenOncePerMinuteOfUptime) {
    FakeClock clock(0);
    LogCapture log;
    Watchdog watchdog;
    // (uptime, kicks so far): the clock going back (50) changes nothing: uptime never goes back
    const std::pair<double, int> steps[] = {{100, 1}, {159.9, 1}, {160, 2}, {50, 2}, {560, 3}};
    for (const auto& [uptime, kicks] : steps) {
        clock.now = uptime, watchdog.kick();
        EXPECT_EQ(log.count("Kicking watchdog"), kicks) << uptime;
    }
}
