#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "platform/mqtt_kvt.h"
#include "platform/platform.h"
#include "tests/support/support.h"

using navtest::LogCapture;
using navtest::read_file;
using navtest::ScopedEnv;
using navtest::TempDir;
using navtest::write_file;

TEST(Checksum, Table) {
    struct {
        const char* text;
        int sum;
    } cases[] = {
        {nullptr, 0},
        {"", 0},
        {"$", 0},
        {"$A", 'A'},
        {"A", 'A'},  // no leading '$': every character counts
        {"$AB*", 'A' ^ 'B'},
        {"$AB*FF", 'A' ^ 'B'},
        {"$GPGLL,5057.970,N,00146.110,E,142451,A", 0x27},
        {"$\xff\x01", 0xfe},  // high bytes stay in 0..255
    };
    for (const auto& c : cases)
        EXPECT_EQ(calculate_nmea_checksum(c.text), c.sum) << (c.text ? c.text : "(null)");
}

namespace {
double g_fake_now = 0;
double fake_clock() {
    return g_fake_now;
}
}  // namespace

TEST(Clock, InjectedSourceAndMonotonicSeconds) {
    fwtime_set_source(fake_clock);
    g_fake_now = 100.75;
    EXPECT_DOUBLE_EQ(fwtime_dbl(-1.0), 100.75);
    EXPECT_DOUBLE_EQ(fwtime_dbl(100.0), 0.75);
    EXPECT_EQ(fwtime_bt_s(0), 100u);
    EXPECT_EQ(fwtime_bt_s(40), 60u);

    g_fake_now = 50;  // the clock steps back: whole seconds must not
    EXPECT_EQ(fwtime_bt_s(0), 100u);
    EXPECT_EQ(fwtime_bt_s(200), 0u);  // a start in the future is no elapsed time
    g_fake_now = 130.2;
    EXPECT_EQ(fwtime_bt_s(0), 130u);

    // Values that do not fit saturate instead of wrapping.
    g_fake_now = 1e300;
    EXPECT_EQ(fwtime_bt_s(0), std::numeric_limits<unsigned>::max());
    fwtime_set_source(fake_clock);  // a new clock starts from its own values
    g_fake_now = std::nan("");
    EXPECT_EQ(fwtime_bt_s(0), 0u);
    g_fake_now = -5;
    EXPECT_EQ(fwtime_bt_s(0), 0u);

    fwtime_set_source(nullptr);
    double a = fwtime_dbl(-1.0);
    EXPECT_GT(a, 0.0);
    EXPECT_GE(fwtime_dbl(-1.0), a);
}

class ConfigTest : public ::testing::Test {
protected:
    TempDir dir;
    std::string path = dir / "config.json";
    ScopedEnv env{"PLATFORM_CONFIG", path};
};

TEST_F(ConfigTest, LookupsByDottedPath) {
    write_file(path, R"({"gps":{"deadreckon":{"enable":true},"name":"ST","n":3},"flag":false})");
    Json::Value v;
    bool b = false;
    EXPECT_EQ(cmd_get_value_bool("gps.deadreckon.enable", &b), 0);
    EXPECT_TRUE(b);
    EXPECT_EQ(cmd_get_value_bool("flag", &b), 0);
    EXPECT_FALSE(b);
    ASSERT_EQ(cmd_get_value_json("gps", v), 0);
    EXPECT_EQ(v["name"].asString(), "ST");

    struct {
        const char* key;
    } missing[] = {{"gps.nothing"}, {"gps.name.deeper"}, {"gps..name"}, {""}, {"gps."}, {".gps"}};
    for (const auto& m : missing) {
        Json::Value untouched("keep");
        EXPECT_NE(cmd_get_value_json(m.key, untouched), 0) << m.key;
        EXPECT_EQ(untouched.asString(), "keep") << m.key;
    }
    EXPECT_NE(cmd_get_value_json(nullptr, v), 0);
    EXPECT_NE(cmd_get_value_bool("gps.name", &b), 0);  // text is not a boolean
    EXPECT_NE(cmd_get_value_bool("gps.n", &b), 0);
}

TEST_F(ConfigTest, MissingAndMalformedFiles) {
    Json::Value v;
    EXPECT_NE(cmd_get_value_json("a", v), 0);  // no file yet

    LogCapture log;
    write_file(path, "{\"a\": tru");
    EXPECT_NE(cmd_get_value_json("a", v), 0);
    EXPECT_NE(cmd_get_value_json("a", v), 0);
    EXPECT_EQ(log.count("is not a valid JSON object"), 1);  // once per state of the file

    write_file(path, "[1, 2]");  // valid JSON but not an object
    EXPECT_NE(cmd_get_value_json("a", v), 0);
    EXPECT_EQ(log.count("is not a valid JSON object"), 2);

    write_file(path, "{\"a\": 1} trailing");
    EXPECT_NE(cmd_get_value_json("a", v), 0);

    write_file(path, "{\"a\": 1}");
    ASSERT_EQ(cmd_get_value_json("a", v), 0);
    EXPECT_EQ(v.asInt(), 1);
}

TEST_F(ConfigTest, RereadWhenReplacedWithSameSize) {
    write_file(path, R"({"v": 1})");
    Json::Value v;
    ASSERT_EQ(cmd_get_value_json("v", v), 0);
    EXPECT_EQ(v.asInt(), 1);
    // Same size and possibly the same timestamp: the new inode must still be noticed.
    write_file(path + ".new", R"({"v": 2})");
    ASSERT_EQ(rename((path + ".new").c_str(), path.c_str()), 0);
    ASSERT_EQ(cmd_get_value_json("v", v), 0);
    EXPECT_EQ(v.asInt(), 2);
    unlink(path.c_str());
    EXPECT_NE(cmd_get_value_json("v", v), 0);  // a removed file is not served from cache
}

TEST(ConfigGet, TypedLookups) {
    Json::Value cfg;
    Json::Reader().parse(
        R"({"i":7,"neg":-3,"big":4294967296,"real":3.5,"whole":3.0,"t":true,"s":"5",
            "o":{"in":{"n":12,"b":false}}})",
        cfg);
    struct {
        const char* path;
        bool found;
        int value;
    } ints[] = {{"i", true, 7},      {"neg", true, -3},   {"big", false, 0},  {"real", false, 0},
                {"whole", false, 0}, {"t", false, 0},     {"s", false, 0},    {"o.in.n", true, 12},
                {"o.in", false, 0},  {"o.x.n", false, 0}, {nullptr, false, 0}};
    for (const auto& c : ints) {
        int out = -999;
        EXPECT_EQ(config_get_int(cfg, &out, c.path) != 0, c.found) << (c.path ? c.path : "null");
        EXPECT_EQ(out, c.found ? c.value : -999) << (c.path ? c.path : "null");
    }
    bool b = true;
    EXPECT_NE(config_get_bool(cfg, &b, "o.in.b"), 0);
    EXPECT_FALSE(b);
    EXPECT_EQ(config_get_bool(cfg, &b, "i"), 0);
    EXPECT_EQ(config_get_bool(Json::Value("text"), &b, "a"), 0);  // not an object
    int i = 0;
    EXPECT_EQ(config_get_int(Json::Value(Json::arrayValue), &i, "0"), 0);
}

TEST(Files, PidFileRoundTripAndValidation) {
    TempDir dir;
    const std::string pid = dir / "run/sub/navmon.pid";  // parent directories are created
    ASSERT_EQ(create_pidfile(pid.c_str()), 0);
    EXPECT_EQ(read_file(pid), std::to_string(getpid()) + "\n");
    EXPECT_EQ(check_pidfile(pid.c_str()), getpid());

    struct {
        std::string content;
        int expected;
    } cases[] = {
        {"42\n", 42},
        {" 42 \n", 42},
        {"", -1},
        {"\n", -1},
        {"abc\n", -1},
        {"42abc\n", -1},
        {"-42\n", -1},
        {"+42\n", -1},
        {"0\n", -1},
        {"99999999999999\n", -1},
        {"2147483648", -1},
        {"4 2\n", -1},
        {std::string("42\0", 3), -1},
    };
    const std::string f = dir / "test.pid";
    for (const auto& c : cases) {
        write_file(f, c.content);
        EXPECT_EQ(check_pidfile(f.c_str()), c.expected) << "content: " << c.content;
    }
    EXPECT_LE(check_pidfile((dir / "absent.pid").c_str()), 0);
    EXPECT_LE(check_pidfile(nullptr), 0);

    EXPECT_EQ(delete_file(pid.c_str()), 0);
    EXPECT_NE(delete_file(pid.c_str()), 0);
}

TEST(Files, TouchCreatesAndRefreshes) {
    TempDir dir;
    const std::string f = dir / "marker";
    ASSERT_EQ(touch_file(f.c_str()), 0);
    ASSERT_TRUE(navtest::file_exists(f));
    struct timespec old_times[2] = {{1000, 0}, {1000, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, f.c_str(), old_times, 0), 0);
    ASSERT_EQ(touch_file(f.c_str()), 0);
    struct stat st;
    ASSERT_EQ(stat(f.c_str(), &st), 0);
    EXPECT_GT(st.st_mtime, 1000);
    EXPECT_NE(touch_file((dir / "no/such/dir/marker").c_str()), 0);
}

class LedTest : public ::testing::Test {
protected:
    TempDir root;
    ScopedEnv env_root{"NAVMON_ROOT", root.path()};
    ScopedEnv env_cfg{"PLATFORM_CONFIG", root / "config.json"};
    std::string led = root / "sys/class/leds/gps";

    void make_led(const std::string& dir, const char* max) {
        navtest::mkdirs(dir);
        for (const char* f : {"trigger", "brightness", "delay_on", "delay_off"})
            write_file(dir + "/" + f, "x");
        if (max) write_file(dir + "/max_brightness", max);
    }
    std::string attr(const char* name) { return read_file(led + "/" + name); }
};

TEST_F(LedTest, EachCodeWritesItsAttributes) {
    make_led(led, "255\n");
    ASSERT_EQ(leds_gps_status(1), 0);
    EXPECT_EQ(attr("trigger"), "none");
    EXPECT_EQ(attr("brightness"), "255");
    ASSERT_EQ(leds_gps_status(2), 0);
    EXPECT_EQ(attr("trigger"), "timer");
    EXPECT_EQ(attr("delay_on"), "500");
    EXPECT_EQ(attr("delay_off"), "500");
    ASSERT_EQ(leds_gps_status(0), 0);
    EXPECT_EQ(attr("trigger"), "none");
    EXPECT_EQ(attr("brightness"), "0");

    for (int bad : {-1, 3, 1000}) {
        write_file(led + "/trigger", "x");
        EXPECT_NE(leds_gps_status(bad), 0);
        EXPECT_EQ(attr("trigger"), "x");  // nothing written
    }
}

TEST_F(LedTest, UnreadableMaxBrightnessAndMissingLed) {
    EXPECT_NE(leds_gps_status(0), 0);  // no LED directory
    make_led(led, "garbage");
    ASSERT_EQ(leds_gps_status(1), 0);
    EXPECT_EQ(attr("brightness"), "1");
    unlink((led + "/delay_on").c_str());  // a failed write is reported
    EXPECT_NE(leds_gps_status(2), 0);
}

TEST_F(LedTest, DirectoryFromConfiguration) {
    const std::string other = root / "leds/status";
    make_led(other, "7");
    write_file(root / "config.json", R"({"hardware":{"leds":{"gps":"/leds/status"}}})");
    ASSERT_EQ(leds_gps_status(1), 0);
    EXPECT_EQ(read_file(other + "/brightness"), "7");
}

TEST(Logging, FileLinesAndVerboseFilter) {
    TempDir dir;
    const std::string file = dir / "navmon.log";
    log_open("navmon-test", LOG_USER, file.c_str(), false);
    nm_log(LOG_DEBUG, "hidden %d", 1);
    nm_log(LOG_NOTICE, "shown %d", 2);
    log_set_verbose(true);
    nm_log(LOG_DEBUG, "now shown");
    nm_log(LOG_ERR, "%s", std::string(5000, 'x').c_str());  // cut, still one line

    // Several threads at once: every line arrives whole.
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([t] {
            for (int i = 0; i < 200; ++i) nm_log(LOG_INFO, "thread %d line %d end", t, i);
        });
    for (auto& th : threads) th.join();
    log_close();
    log_set_verbose(false);

    std::vector<std::string> lines;
    std::string content = read_file(file);
    for (size_t pos = 0, nl; (nl = content.find('\n', pos)) != std::string::npos; pos = nl + 1)
        lines.push_back(content.substr(pos, nl - pos));
    ASSERT_EQ(lines.size(), 3u + 800u);
    EXPECT_EQ(content.find("hidden"), std::string::npos);
    // "YYYY-MM-DDTHH:MM:SS.mmm <prio> text"
    ASSERT_GE(lines[0].size(), 24u);
    EXPECT_EQ(lines[0][4], '-');
    EXPECT_EQ(lines[0][10], 'T');
    EXPECT_EQ(lines[0][19], '.');
    EXPECT_EQ(lines[0].substr(23), " notice shown 2");
    EXPECT_EQ(lines[1].substr(23), " debug now shown");
    EXPECT_EQ(lines[2].substr(23, 6), " err x");
    EXPECT_LT(lines[2].size(), 1200u);
    for (size_t i = 3; i < lines.size(); ++i) {
        EXPECT_NE(lines[i].find(" info thread "), std::string::npos) << lines[i];
        EXPECT_EQ(lines[i].substr(lines[i].size() - 4), " end") << lines[i];
    }
}

TEST(Threads, ScopedSignalBlockRestoresMask) {
    sigset_t before, inside, after;
    pthread_sigmask(SIG_SETMASK, nullptr, &before);
    ASSERT_FALSE(sigismember(&before, SIGUSR1));
    {
        ScopedSignalBlock block;
        pthread_sigmask(SIG_SETMASK, nullptr, &inside);
        EXPECT_TRUE(sigismember(&inside, SIGUSR1));
        EXPECT_TRUE(sigismember(&inside, SIGTERM));
    }
    pthread_sigmask(SIG_SETMASK, nullptr, &after);
    EXPECT_FALSE(sigismember(&after, SIGUSR1));
    EXPECT_FALSE(sigismember(&after, SIGTERM));
}

TEST(MqttKvt, EnvironmentOverridesAreValidated) {
    {
        ScopedEnv host("MQTT_HOST", "127.0.0.1");
        ScopedEnv port("MQTT_PORT", "18884");
        mqtt_kvt c("t", "localhost", 1883, true);
        EXPECT_EQ(c.host(), "127.0.0.1");
        EXPECT_EQ(c.port(), 18884);
    }
    for (const char* bad : {"0", "65536", "12ab", "", "-1", " 80"}) {
        LogCapture log;
        ScopedEnv port("MQTT_PORT", bad);
        ScopedEnv host("MQTT_HOST", "bad host;");
        mqtt_kvt c(nullptr, "localhost", 1883, true);
        EXPECT_EQ(c.port(), 1883) << bad;
        EXPECT_EQ(c.host(), "localhost");
        EXPECT_TRUE(log.contains("MQTT_PORT")) << bad;
        EXPECT_TRUE(log.contains("MQTT_HOST"));
    }
    mqtt_kvt idle("", nullptr, 0, false);  // never started: closing is harmless, twice too
    EXPECT_EQ(idle.send_message(nullptr, "t", "x"), 0);
    EXPECT_EQ(idle.send_message(nullptr, nullptr, "x"), 0);
    idle.close_connection_and_stop_mqtt_thread_blocking();
    idle.close_connection_and_stop_mqtt_thread_blocking();
    Json::Value v;
    v["b"] = 1;
    v["a"] = "x";
    EXPECT_EQ(idle.serialize(v), "{\"a\":\"x\",\"b\":1}\n");
}
