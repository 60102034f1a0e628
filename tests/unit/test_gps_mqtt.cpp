// gpsMqtt without a broker: publications are recorded instead of sent.
#include <gtest/gtest.h>
#include <mosquitto.h>
#include <sys/stat.h>

#include <climits>
#include <string>
#include <utility>
#include <vector>

#include "mqtt/gps_mqtt.h"
#include "platform/platform.h"
#include "tests/support/support.h"

namespace {

class RecordingMqtt : public gpsMqtt {
public:
    RecordingMqtt() : gpsMqtt("test_gps_mqtt", "connected") {}
    void deliver(const std::string& topic, const std::string& payload) {
        mosquitto_message m{};
        m.topic = const_cast<char*>(topic.c_str());
        m.payload = payload.empty() ? nullptr : const_cast<char*>(payload.data());
        m.payloadlen = static_cast<int>(payload.size());
        derived_on_message(&m);
    }
    // What was published since the last call, as "topic text|", retained ones marked "(r)".
    std::string traffic() { return std::exchange(sent, ""); }
    int publish_result = 1;

protected:
    int publish_out(const char* topic, const std::string& text, bool retain) override {
        sent += std::string(topic) + " " + text + (retain ? "(r)|" : "|");
        return publish_result;
    }

private:
    std::string sent;
};

// The log lines since the last call, as "line|".
std::string logged(navtest::LogCapture& log) {
    std::string out;
    for (const auto& l : log.lines()) out += l + "|";
    log.clear();
    return out;
}

TEST(Broadcast, TopicByReportType) {
    navtest::LogCapture log;
    RecordingMqtt mqtt;
    Json::Value report;
    report["class"] = "SKY";
    const std::string text = " {\"class\":\"SKY\"}\n|";
    for (const char* type : {"SKY", "SKYVIEW", "TPV", "GST", "SK", ""})
        mqtt.broadcast_gps_data(type, report);
    EXPECT_EQ(mqtt.traffic(), GPS_SAT_TOPIC + text + GPS_SAT_TOPIC + text + GPS_TPV_TOPIC + text);
    std::string rejected;
    for (std::string type : {"GST", "SK", ""})
        rejected += "Invalid GPS data type: " + type +
                    ".  Not broadcasting|Failed to broadcast GPS data: " + type + "|";
    EXPECT_EQ(logged(log), rejected);
    mqtt.publish_result = 0;
    mqtt.broadcast_gps_data("TPV", report);
    EXPECT_EQ(logged(log), "Failed to broadcast GPS data: TPV|");
}

class Xtra : public ::testing::Test {
protected:
    // Writes the configuration with `gps_gps` as "gps.gps"; empty: no "gps.gps" at all.
    void config(const std::string& gps_gps) {
        navtest::write_file(root / "config.json", gps_gps.empty()
                                                      ? "{\"gps\":{}}"
                                                      : "{\"gps\":{\"gps\":" + gps_gps + "}}");
    }
    navtest::LogCapture log;
    RecordingMqtt mqtt;
    navtest::TempDir root;
    navtest::ScopedEnv env_root{"NAVMON_ROOT", root.path()};
    navtest::ScopedEnv env_config{"PLATFORM_CONFIG", root / "config.json"};
};

TEST_F(Xtra, ConfigurationDecidesTheRequest) {
    mqtt.xtra_clock = [] { return time_t{1700000000}; };
    auto sent = [](const std::string& url) {
        return FILEPULL_APPLY_TOPIC
               R"( {"filepath":"/data/xtra/bramble_xtra.bin","session":1700000000)" +
               url + "}\n|";
    };
    const std::string on = R"({"xtra_enable":true,"xtra_loading":{"enable":true,"interval":0)";
    const struct {
        std::string gps_gps;
        bool incomplete;  // says so
        std::string sent;
    } cases[] = {
        {"", false, ""},
        {R"({"xtra_enable":false,"xtra_loading":{"enable":true,"interval":1}})", false, ""},
        {R"({"xtra_enable":true})", true, ""},
        {R"({"xtra_enable":true,"xtra_loading":{"enable":false,"interval":1}})", true, ""},
        {R"({"xtra_enable":true,"xtra_loading":{"enable":true}})", false, ""},
        {on + "}}", false, sent("")},
        {on + R"(,"location":"http://127.0.0.1/x"}})", false,
         sent(R"(,"url":"http://127.0.0.1/x")")},
        {on + R"(,"location":["a","b"]}})", false, sent(R"(,"url":["a","b"])")}};
    for (const auto& c : cases) {
        config(c.gps_gps);
        log.clear();
        mqtt.xtra_pending = false;
        mqtt.request_xtra_update();
        EXPECT_EQ(mqtt.traffic(), c.sent) << c.gps_gps;
        EXPECT_EQ(log.count("_get_xtra_interval: required parameters are not in the config"),
                  c.incomplete ? 1 : 0);
    }
}

TEST_F(Xtra, DueOnlyPastTheIntervalToTheSecond) {
    time_t now = 0;
    mqtt.xtra_clock = [&now] { return now; };
    auto interval = [this](long days) {
        config(R"({"xtra_enable":true,"xtra_loading":{"enable":true,"interval":)" +
               std::to_string(days) + "}}");
    };
    interval(7);
    EXPECT_TRUE(mqtt._is_xtra_update_due());  // no file at all
    navtest::mkdirs(root / "data/xtra");
    navtest::write_file(root / "data/xtra/bramble_xtra.bin", "xtra");
    struct stat st;
    ASSERT_EQ(stat((root / "data/xtra/bramble_xtra.bin").c_str(), &st), 0);
    // Interval in days, seconds since the file's status change; 30000 days pass 32 bits.
    const struct {
        long days, after;
        bool due;
    } cases[] = {{7, 604800, false}, {7, 604801, true},     {0, 0, false},          {0, 1, true},
                 {-1, 0, true},      {30000, 86400, false}, {INT_MAX, 86400, false}};
    for (const auto& c : cases) {
        interval(c.days);
        now = st.st_ctime + c.after;
        EXPECT_EQ(mqtt._is_xtra_update_due(), c.due) << c.days << " days, " << c.after << " s";
    }
}

TEST_F(Xtra, Acknowledgements) {
    const char* unreadable = "Failed reading file pull ack message form XTRA update request.|";
    const std::string ok = R"({"session":777,"rc":200})";
    const struct {
        std::string payload;
        bool closes;
        const char* logged;
    } cases[] = {{R"({"session":777,"rc":200,"extra":1})", true, ""},
                 {R"({"session":777,"rc":500})", true,
                  "Failed to update the XTRA file.  rc: 500, session: 777|"},
                 {R"({"session":777,"rc":"200"})", true,
                  "Failed to update the XTRA file.  rc: \"200\", session: 777|"},
                 {R"({"session":778,"rc":200})", false, ""},
                 {R"({"session":777})", false, ""},
                 {R"({"session":1e30,"rc":200})", false, ""},
                 {ok + " \n", true, ""},
                 {ok + std::string(MQTT_PAYLOAD_MAX + 1 - ok.size(), ' '), false, ""},
                 {ok + " x", false, unreadable},
                 {"nope", false, unreadable},
                 {"[777,200]", false, unreadable},
                 {"", false, unreadable}};
    for (const auto& c : cases) {
        mqtt.xtra_session = 777;
        mqtt.xtra_pending = true;
        mqtt.deliver(FILEPULL_ACK_TOPIC, c.payload);
        EXPECT_EQ(mqtt.xtra_pending.load(), !c.closes) << c.payload.substr(0, 40);
        EXPECT_EQ(mqtt.xtra_session.load(), c.closes ? 0 : 777) << c.payload.substr(0, 40);
        EXPECT_EQ(logged(log), c.logged);
    }
    // Nothing outstanding: dropped unread.
    mqtt.xtra_pending = false;
    mqtt.xtra_session = 0;
    mqtt.deliver(FILEPULL_ACK_TOPIC, "nope");
    mqtt.deliver(FILEPULL_ACK_TOPIC, R"({"session":0,"rc":500})");
    EXPECT_EQ(logged(log) + mqtt.traffic(), "");
}

TEST_F(Xtra, UnansweredRequestExpiresAtTheNextCheck) {
    time_t now = 1000;
    mqtt.xtra_clock = [&now] { return now; };
    auto sent = [](int session) {
        return FILEPULL_APPLY_TOPIC R"( {"filepath":"/data/xtra/bramble_xtra.bin","session":)" +
               std::to_string(session) + "}\n|";
    };
    config(R"({"xtra_enable":true,"xtra_loading":{"enable":true,"interval":0}})");
    mqtt.request_xtra_update();
    now = 2000;
    mqtt.request_xtra_update();
    EXPECT_EQ(mqtt.traffic(), sent(1000) + sent(2000));
    EXPECT_EQ(logged(log), "XTRA request 1000 expired without acknowledgement|");
    mqtt.deliver(FILEPULL_ACK_TOPIC, R"({"session":1000,"rc":200})");  // too late
    EXPECT_EQ(mqtt.xtra_session.load(), 2000);
    // Expired when no longer due: closed, and nothing new asked for.
    config(R"({"xtra_enable":false})");
    mqtt.request_xtra_update();
    EXPECT_EQ(logged(log) + mqtt.traffic(), "XTRA request 2000 expired without acknowledgement|");
    EXPECT_FALSE(mqtt.xtra_pending.load());
}

TEST(Routing, RequestsOverTheSizeLimitAreRefusedUnread) {
    navtest::LogCapture log;
    RecordingMqtt mqtt;
    const std::string off = R"({"value":false})";
    mqtt.deliver(GPS_ENABLE_APPLY_TOPIC, off + std::string(MQTT_PAYLOAD_MAX - off.size(), ' '));
    EXPECT_EQ(mqtt.traffic(),
              "v1/device/gps/enable/update 0(r)|v1/device/gps/enable/ack "
              R"({"message":"Successfully disabled GPS processing","rc":200,)"
              R"("value":false})"
              "\n(r)|");
    mqtt.deliver(GPS_ENABLE_APPLY_TOPIC, off + std::string(MQTT_PAYLOAD_MAX + 1 - off.size(), ' '));
    EXPECT_EQ(mqtt.traffic(),
              "v1/device/gps/enable/ack "
              R"({"message":"Payload is not a valid JSON","rc":400,"value":null})"
              "\n(r)|");
}

TEST(Led, CachedOnlyOnceShownSoThatFailuresAreRetried) {
    navtest::TempDir root;
    navtest::ScopedEnv env_root{"NAVMON_ROOT", root.path()};
    navtest::ScopedEnv env_config{"PLATFORM_CONFIG", root / "config.json"};
    navtest::write_file(root / "config.json", "{}");
    const std::string dir = root / "sys/class/leds/gps";
    const std::string create =
        "mkdir -p " + dir + " && cd " + dir + " && touch trigger brightness delay_on delay_off";
    navtest::run_command(create);
    RecordingMqtt mqtt;
    mqtt.update_gps_led(true);
    navtest::write_file(dir + "/trigger", "untouched");
    mqtt.update_gps_led(true);  // same code: not touched
    EXPECT_EQ(navtest::read_file(dir + "/trigger"), "untouched");
    navtest::run_command("rm -rf " + dir);
    mqtt.update_gps_led(false);  // fails: not remembered
    navtest::run_command(create);
    mqtt.update_gps_led(false);
    EXPECT_EQ(navtest::read_file(dir + "/trigger"), "timer");
    mqtt.gps_led_off();
    navtest::write_file(dir + "/brightness", "9");
    mqtt.gps_led_off();  // never cached away
    EXPECT_EQ(navtest::read_file(dir + "/brightness"), "0");
}

double g_uptime = 0;

TEST(Watchdog, KickedOncePerMinuteOfUptime) {
    navtest::LogCapture log;
    RecordingMqtt mqtt;
    fwtime_set_source([] { return g_uptime; });
    const struct {
        double uptime;
        bool kicks;
    } steps[] = {{100, true},  {101, false}, {159.9, false}, {160, true},
                 {170, false}, {219, false}, {500, true},    {560, true}};
    for (const auto& s : steps) {
        log.clear();
        g_uptime = s.uptime;
        mqtt.kick_watchdog();
        EXPECT_EQ(log.count("Kicking watchdog"), s.kicks ? 1 : 0) << s.uptime;
    }
    fwtime_set_source(nullptr);
}

}  // namespace
