// gpsMqtt's hooks and handlers without a broker: publications are recorded instead of sent.
#include <gtest/gtest.h>
#include <mosquitto.h>
#include <signal.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <string>
#include <thread>
#include <vector>

#include "mqtt/gps_mqtt.h"
#include "platform/platform.h"
#include "tests/support/support.h"

namespace {

struct Sent {
    std::string topic;
    std::string text;
    bool retain;
};

class RecordingMqtt : public gpsMqtt {
public:
    RecordingMqtt() : gpsMqtt("test_gps_mqtt", "KVT GPS Daemon connected") {
        enable_wait_tries = 3;
        enable_wait_us = 1000;
    }
    std::vector<Sent> sent;
    int publish_result = 1;

    // Delivers a message as the library would; len < 0 means "use the text's length".
    void deliver(const std::string& topic, const std::string& payload) {
        mosquitto_message m{};
        m.topic = const_cast<char*>(topic.c_str());
        m.payload = payload.empty() ? nullptr : const_cast<char*>(payload.data());
        m.payloadlen = static_cast<int>(payload.size());
        derived_on_message(&m);
    }
    // The one reply sent, parsed; fails the test when there is not exactly one retained reply.
    Json::Value reply_on(const std::string& topic) {
        Json::Value out;
        int n = 0;
        for (const auto& s : sent) {
            if (s.topic != topic) continue;
            ++n;
            EXPECT_TRUE(s.retain);
            EXPECT_TRUE(parse_mqtt_payload(s.text.data(), static_cast<long>(s.text.size()), out))
                << s.text;
        }
        EXPECT_EQ(n, 1) << "replies on " << topic;
        return out;
    }

protected:
    int publish_out(const char* topic, const std::string& text, bool retain) override {
        sent.push_back({topic, text, retain});
        return publish_result;
    }
};

void ignore_signal(int) {}

class GpsMqttTest : public ::testing::Test {
protected:
    void SetUp() override { signal(SIGCONT, ignore_signal); }
    navtest::LogCapture log;
    RecordingMqtt mqtt;
};

const char* const kAck = "v1/device/gps/enable/ack";
const char* const kUpdate = "v1/device/gps/enable/update";

std::vector<std::string> keys(const Json::Value& v) {
    return v.getMemberNames();
}

TEST_F(GpsMqttTest, FreshObjectHasIdleState) {
    EXPECT_FALSE(mqtt.get_svc_req());
    EXPECT_FALSE(mqtt.is_processing_active());
    EXPECT_FALSE(mqtt.xtra_pending.load());
    EXPECT_EQ(mqtt.xtra_session.load(), 0);
    EXPECT_EQ(mqtt.led_state.load(), -1);
}

TEST_F(GpsMqttTest, ConnectHookLogsOnlyOnSuccess) {
    mqtt.derived_on_connect(5);
    EXPECT_FALSE(log.contains("KVT GPS Daemon connected"));
    mqtt.derived_on_connect(0);
    mqtt.derived_on_connect(0);
    EXPECT_EQ(log.count("KVT GPS Daemon connected"), 2);
}

// Payloads that never reach the enable handler: all answered 400 with a null "value".
TEST_F(GpsMqttTest, UnusablePayloadsAreAnsweredAsInvalidJson) {
    const std::string deep_array = std::string(100000, '[') + std::string(100000, ']');
    const std::string deep_object = [] {
        std::string s;
        for (int i = 0; i < 5000; ++i) s += "{\"a\":";
        s += "1";
        return s + std::string(5000, '}');
    }();
    const std::vector<std::pair<const char*, std::string>> cases = {
        {"not json", "hello"},
        {"bare scalar", "true"},
        {"bare number", "12"},
        {"comment", "{\"value\": true /* on */}"},
        {"line comment", "{\"value\": true // on\n}"},
        {"trailing comment", "{\"value\": true} /* on */"},
        {"leading comment", "// x\n{\"value\": true}"},
        {"array root", "[{\"value\": true}]"},
        {"empty", ""},
        {"NUL before the object ends", std::string("{\"value\":\0 true}", 16)},
        {"NUL first", std::string("\0{\"value\":true}", 15)},
        {"deep arrays", deep_array},
        {"deep objects", deep_object},
        {"unterminated", "{\"value\": true"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.first);
        mqtt.sent.clear();
        mqtt.deliver(GPS_ENABLE_APPLY_TOPIC, c.second);
        Json::Value r = mqtt.reply_on(kAck);
        EXPECT_EQ(keys(r), (std::vector<std::string>{"message", "rc", "value"}));
        EXPECT_EQ(r["rc"].asInt(), 400);
        EXPECT_EQ(r["message"].asString(), "Payload is not a valid JSON");
        EXPECT_TRUE(r["value"].isNull());
        EXPECT_EQ(mqtt.sent.size(), 1u);
        EXPECT_FALSE(mqtt.get_svc_req());
    }
}

TEST_F(GpsMqttTest, NulEndsThePayloadForParsingAndLog) {
    mqtt.deliver(GPS_ENABLE_APPLY_TOPIC, std::string("{\"value\":false}\0garbage", 23));
    EXPECT_EQ(mqtt.reply_on(kAck)["rc"].asInt(), 200);
    EXPECT_TRUE(
        log.contains("on_message: topic[v1/device/gps/enable/apply] payload[{\"value\":false}]"));
    EXPECT_FALSE(log.contains("garbage"));
}

TEST_F(GpsMqttTest, EchoRules) {
    struct Case {
        const char* member;
        const char* json;  // the member's value in the request
        const char* echo;  // expected in the reply, nullptr = left out
    };
    const Case cases[] = {
        {"session", "12", "12"},
        {"session", "0", "0"},
        {"session", "4294967295", "4294967295"},
        {"session", "4294967296", nullptr},
        {"session", "-1", nullptr},
        {"session", "1.5", nullptr},
        {"session", "12.0", "12"},
        {"session", "\"12\"", nullptr},
        {"session", "null", nullptr},
        {"ts", "1700000000", "1700000000"},
        {"ts", "-5", nullptr},
        {"ts", "99999999999999999999", nullptr},
        {"ts", "[1]", nullptr},
        {"update", "{\"a\":[1,2]}", "{\"a\":[1,2]}"},
        {"update", "[1]", nullptr},
        {"update", "\"x\"", nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.member) + "=" + c.json);
        mqtt.sent.clear();
        // On a service other than enable, so that nothing waits and "value" stays as sent.
        mqtt.deliver("v1/device/gps/other/apply",
                     std::string("{\"value\":\"v\",\"") + c.member + "\":" + c.json + "}");
        Json::Value r = mqtt.reply_on("v1/device/gps/other/ack");
        EXPECT_EQ(r["rc"].asInt(), 400);
        EXPECT_EQ(r["message"].asString(), "Invalid service");
        EXPECT_EQ(r["value"].asString(), "v");
        if (c.echo == nullptr) {
            EXPECT_FALSE(r.isMember(c.member));
        } else {
            EXPECT_EQ(Json::FastWriter().write(r[c.member]), std::string(c.echo) + "\n");
        }
    }
}

TEST_F(GpsMqttTest, ValueOfAnyTypeIsEchoed) {
    for (const char* v : {"1", "\"true\"", "null", "[true]", "{\"a\":1}", "-2.5"}) {
        SCOPED_TRACE(v);
        mqtt.sent.clear();
        mqtt.deliver(GPS_ENABLE_APPLY_TOPIC, std::string("{\"value\":") + v + "}");
        Json::Value r = mqtt.reply_on(kAck);
        EXPECT_EQ(r["rc"].asInt(), 400);
        EXPECT_EQ(r["message"].asString(), "Value can only be true or false");
        EXPECT_EQ(Json::FastWriter().write(r["value"]), std::string(v) + "\n");
        EXPECT_FALSE(mqtt.get_svc_req());
        EXPECT_EQ(mqtt.sent.size(), 1u);  // no state update
    }
}

TEST_F(GpsMqttTest, TopicRouting) {
    struct Case {
        const char* topic;
        const char* reply_topic;  // nullptr: nothing sent
        const char* message;
    };
    const Case cases[] = {
        {"v1/device/gps/enable/apply/x/apply", "v1/device/gps/enable/ack/x/apply",
         "Successfully disabled GPS processing"},
        {"v1/device/gps/reset/apply", "v1/device/gps/reset/ack", "Invalid service"},
        {"pre/v1/device/gps/apply", "pre/v1/device/gps/ack", "Invalid service"},
        {"v1/device/gps/enable/update", nullptr, nullptr},
        {"v1/device/gps/enable", nullptr, nullptr},
        {"v1/device/cell/enable/apply", nullptr, nullptr},
        {"", nullptr, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.topic);
        mqtt.sent.clear();
        mqtt.deliver(c.topic, "{\"value\":false}");
        if (c.reply_topic == nullptr) {
            EXPECT_TRUE(mqtt.sent.empty());
            continue;
        }
        EXPECT_EQ(mqtt.reply_on(c.reply_topic)["message"].asString(), c.message);
    }
    // The state update follows the same first-occurrence replacement.
    mqtt.sent.clear();
    mqtt.deliver("v1/device/gps/enable/apply/x/apply", "{\"value\":false}");
    ASSERT_EQ(mqtt.sent.size(), 2u);
    EXPECT_EQ(mqtt.sent[0].topic, "v1/device/gps/enable/update/x/apply");
}

TEST_F(GpsMqttTest, EnableConfirmedDuringTheWait) {
    mqtt.enable_wait_tries = 50;
    mqtt.enable_wait_us = 100000;
    std::thread loop([this] {
        // Like the session loop: starts processing once it sees the request.
        navtest::wait_for([this] { return mqtt.get_svc_req(); }, 5000);
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        mqtt.set_processing_active(true);
    });
    int rc = 400;
    std::string message;
    mqtt.handle_enable(Json::Value(Json::objectValue), &rc, &message);
    EXPECT_EQ(message, "Value can only be true or false");
    EXPECT_EQ(rc, 400);
    Json::Value request;
    request["value"] = true;
    mqtt.handle_enable(request, &rc, &message);
    loop.join();
    EXPECT_EQ(rc, 200);
    EXPECT_EQ(message, "Successfully enabled GPS processing");
    // Outputs may be left out.
    mqtt.handle_enable(request, nullptr, nullptr);
}

TEST_F(GpsMqttTest, BroadcastTopics) {
    Json::Value report;
    report["class"] = "SKY";
    report["ts"] = 12.5;
    const struct {
        const char* type;
        const char* topic;
    } cases[] = {{"SKY", GPS_SAT_TOPIC}, {"SKYVIEW", GPS_SAT_TOPIC},
                 {"TPV", GPS_TPV_TOPIC}, {"GST", nullptr},
                 {"SK", nullptr},        {"", nullptr}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.type);
        mqtt.sent.clear();
        log.clear();
        mqtt.broadcast_gps_data(c.type, report);
        if (c.topic != nullptr) {
            ASSERT_EQ(mqtt.sent.size(), 1u);
            EXPECT_EQ(mqtt.sent[0].topic, c.topic);
            EXPECT_EQ(mqtt.sent[0].text, "{\"class\":\"SKY\",\"ts\":12.5}\n");
            EXPECT_FALSE(mqtt.sent[0].retain);
            EXPECT_TRUE(log.lines().empty());
        } else {
            EXPECT_TRUE(mqtt.sent.empty());
            EXPECT_EQ(
                log.count(std::string("Invalid GPS data type: ") + c.type + ".  Not broadcasting"),
                1);
            EXPECT_EQ(log.count(std::string("Failed to broadcast GPS data: ") + c.type), 1);
        }
    }
    log.clear();
    mqtt.publish_result = 0;
    mqtt.broadcast_gps_data("TPV", report);
    EXPECT_EQ(log.lines(), std::vector<std::string>{"Failed to broadcast GPS data: TPV"});
}

TEST_F(GpsMqttTest, FilepullAcknowledgements) {
    struct Case {
        const char* name;
        const char* payload;
        bool closes;
        const char* logged;  // expected error text, nullptr = nothing logged
    };
    const Case cases[] = {
        {"success", "{\"session\":777,\"rc\":200,\"extra\":1}", true, nullptr},
        {"failure", "{\"session\":777,\"rc\":500}", true,
         "Failed to update the XTRA file.  rc: 500, session: 777"},
        {"other session", "{\"session\":778,\"rc\":200}", false, nullptr},
        {"no rc", "{\"session\":777}", false, nullptr},
        {"no session", "{\"rc\":200}", false, nullptr},
        {"session text", "{\"session\":\"777\",\"rc\":200}", false, nullptr},
        {"session too big", "{\"session\":1e30,\"rc\":200}", false, nullptr},
        {"rc text", "{\"session\":777,\"rc\":\"200\"}", false, nullptr},
        {"rc object", "{\"session\":777,\"rc\":{}}", false, nullptr},
        {"not json", "nope", false,
         "Failed reading file pull ack message form XTRA update request."},
        {"array", "[777,200]", false,
         "Failed reading file pull ack message form XTRA update request."},
        {"empty", "", false, "Failed reading file pull ack message form XTRA update request."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        log.clear();
        mqtt.xtra_session = 777;
        mqtt.xtra_pending = true;
        mqtt.deliver(FILEPULL_ACK_TOPIC, c.payload);
        EXPECT_EQ(mqtt.xtra_pending.load(), !c.closes);
        EXPECT_EQ(mqtt.xtra_session.load(), c.closes ? 0 : 777);
        if (c.logged != nullptr) {
            EXPECT_EQ(log.lines(), std::vector<std::string>{c.logged});
        } else {
            EXPECT_TRUE(log.lines().empty());
        }
        EXPECT_TRUE(mqtt.sent.empty());
    }
    // Nothing outstanding: dropped unread, whatever it holds.
    log.clear();
    mqtt.xtra_pending = false;
    mqtt.xtra_session = 0;
    mqtt.deliver(FILEPULL_ACK_TOPIC, "nope");
    mqtt.deliver(FILEPULL_ACK_TOPIC, "{\"session\":0,\"rc\":500}");
    mqtt.handle_filepull_ack(Json::Value(Json::arrayValue));
    EXPECT_TRUE(log.lines().empty());
}

TEST(PayloadParse, StrictModeAndDepth) {
    Json::Value v;
    const std::string nested_ok =
        std::string(MQTT_JSON_MAX_DEPTH, '[') + std::string(MQTT_JSON_MAX_DEPTH, ']');
    const std::string nested_deep =
        std::string(MQTT_JSON_MAX_DEPTH + 1, '[') + std::string(MQTT_JSON_MAX_DEPTH + 1, ']');
    const struct {
        std::string text;
        bool ok;
    } cases[] = {
        {"{}", true},
        {"[1,2]", true},
        {nested_ok, true},
        {nested_deep, false},
        {"{\"s\":\"[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[\"}", true},
        {"{\"s\":\"\\\"[\"}", true},
        {"{\"url\":\"http://h/x\"}", true},
        {"[1 /* c */]", false},
        {"\"text\"", false},
        {"1", false},
        {"{'a':1}", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text.substr(0, 40));
        EXPECT_EQ(parse_mqtt_payload(c.text.data(), static_cast<long>(c.text.size()), v), c.ok);
        if (!c.ok) {
            EXPECT_TRUE(v.isNull());
        }
    }
    // Length bounds the read: the text is not terminated here.
    const char unterminated[] = {'{', '}', '{'};
    EXPECT_TRUE(parse_mqtt_payload(unterminated, 2, v));
    EXPECT_FALSE(parse_mqtt_payload(nullptr, 0, v));
    EXPECT_FALSE(parse_mqtt_payload(unterminated, -3, v));
}

}  // namespace

namespace {

class XtraTest : public GpsMqttTest {
protected:
    void SetUp() override {
        GpsMqttTest::SetUp();
        config("{}");
    }
    void config(const std::string& gps_gps) {
        navtest::write_file(root / "config.json", "{\"gps\":{\"gps\":" + gps_gps + "}}");
    }
    // Creates the XTRA file and returns its status-change time.
    time_t make_file() {
        const std::string path = root / "data/xtra/bramble_xtra.bin";
        navtest::mkdirs(root / "data/xtra");
        navtest::write_file(path, "xtra");
        struct stat st;
        EXPECT_EQ(stat(path.c_str(), &st), 0);
        return st.st_ctime;
    }
    navtest::TempDir root;
    navtest::ScopedEnv env_root{"NAVMON_ROOT", root.path()};
    navtest::ScopedEnv env_config{"PLATFORM_CONFIG", root / "config.json"};
};

const char* const kIncomplete = "_get_xtra_interval: required parameters are not in the config";

TEST_F(XtraTest, ConfigurationDecidesWhetherToCheck) {
    const struct {
        const char* gps_gps;  // nullptr: no "gps.gps" at all
        bool sends;
        bool complains;
    } cases[] = {
        {nullptr, false, false},
        {"{}", false, false},
        {"{\"xtra_enable\":false,\"xtra_loading\":{\"enable\":true,\"interval\":1}}", false, false},
        {"{\"xtra_enable\":\"yes\",\"xtra_loading\":{\"enable\":true,\"interval\":1}}", false,
         false},
        {"{\"xtra_enable\":true}", false, true},
        {"{\"xtra_enable\":true,\"xtra_loading\":{\"enable\":false,\"interval\":1}}", false, true},
        {"{\"xtra_enable\":true,\"xtra_loading\":{\"interval\":1}}", false, true},
        {"{\"xtra_enable\":true,\"xtra_loading\":{\"enable\":true}}", false, false},
        {"{\"xtra_enable\":true,\"xtra_loading\":{\"enable\":true,\"interval\":1}}", true, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.gps_gps ? c.gps_gps : "none");
        if (c.gps_gps != nullptr)
            config(c.gps_gps);
        else
            navtest::write_file(root / "config.json", "{\"gps\":{}}");
        log.clear();
        mqtt.sent.clear();
        mqtt.xtra_pending = false;
        mqtt.request_xtra_update();
        EXPECT_EQ(mqtt.sent.size(), c.sends ? 1u : 0u);
        EXPECT_EQ(log.count(kIncomplete), c.complains ? 1 : 0);
    }
}

TEST_F(XtraTest, DueWhenOlderThanTheInterval) {
    config("{\"xtra_enable\":true,\"xtra_loading\":{\"enable\":true,\"interval\":7}}");
    time_t now = 0;
    mqtt.xtra_clock = [&now] { return now; };
    EXPECT_TRUE(mqtt._is_xtra_update_due());  // no file at all

    const time_t ctime = make_file();
    const struct {
        int interval;
        time_t now;
        bool due;
    } cases[] = {
        {7, ctime + 7 * 86400, false},
        {7, ctime + 7 * 86400 + 1, true},
        {7, ctime, false},
        {0, ctime, false},
        {0, ctime + 1, true},
        {-1, ctime, true},
        // Past 32 bits of seconds: a file renewed for ages to come is not due.
        {30000, ctime + 86400, false},
        {INT_MAX, ctime + 86400, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.interval);
        config("{\"xtra_enable\":true,\"xtra_loading\":{\"enable\":true,\"interval\":" +
               std::to_string(c.interval) + "}}");
        now = c.now;
        EXPECT_EQ(mqtt._is_xtra_update_due(), c.due);
    }
}

TEST_F(XtraTest, RequestMembersAndOneAtATime) {
    mqtt.xtra_clock = [] { return time_t{1700000000}; };
    const struct {
        const char* loading;
        const char* url;  // serialised, nullptr: no "url"
    } cases[] = {
        {"{\"enable\":true,\"interval\":0}", nullptr},
        {"{\"enable\":true,\"interval\":0,\"location\":\"http://127.0.0.1/x\"}",
         "\"http://127.0.0.1/x\""},
        {"{\"enable\":true,\"interval\":0,\"location\":[\"a\",\"b\"]}", "[\"a\",\"b\"]"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.loading);
        config(std::string("{\"xtra_enable\":true,\"xtra_loading\":") + c.loading + "}");
        mqtt.sent.clear();
        mqtt.xtra_pending = false;
        mqtt.request_xtra_update();
        mqtt.request_xtra_update();  // outstanding: nothing more
        ASSERT_EQ(mqtt.sent.size(), 1u);
        EXPECT_EQ(mqtt.sent[0].topic, FILEPULL_APPLY_TOPIC);
        EXPECT_FALSE(mqtt.sent[0].retain);
        Json::Value r;
        ASSERT_TRUE(parse_mqtt_payload(mqtt.sent[0].text.data(),
                                       static_cast<long>(mqtt.sent[0].text.size()), r));
        EXPECT_EQ(r["filepath"].asString(), "/data/xtra/bramble_xtra.bin");
        EXPECT_EQ(r["session"].asInt(), 1700000000);
        EXPECT_EQ(mqtt.xtra_session.load(), 1700000000);
        EXPECT_TRUE(mqtt.xtra_pending.load());
        if (c.url == nullptr) {
            EXPECT_FALSE(r.isMember("url"));
        } else {
            EXPECT_EQ(Json::FastWriter().write(r["url"]), std::string(c.url) + "\n");
        }
    }
    // A failure closes the request; the next due check asks again.
    mqtt.deliver(FILEPULL_ACK_TOPIC, "{\"session\":1700000000,\"rc\":500}");
    EXPECT_TRUE(log.contains("Failed to update the XTRA file.  rc: 500, session: 1700000000"));
    mqtt.sent.clear();
    mqtt.request_xtra_update();
    EXPECT_EQ(mqtt.sent.size(), 1u);
}

}  // namespace

namespace {

class LedTest : public GpsMqttTest {
protected:
    void SetUp() override {
        GpsMqttTest::SetUp();
        navtest::write_file(root / "config.json", "{}");
        create_led();
    }
    std::string dir() const { return root / "sys/class/leds/gps"; }
    void create_led() {
        navtest::mkdirs(dir());
        for (const char* f : {"trigger", "brightness", "delay_on", "delay_off"})
            navtest::write_file(dir() + "/" + f, "");
    }
    std::string attr(const char* name) const { return navtest::read_file(dir() + "/" + name); }
    navtest::TempDir root;
    navtest::ScopedEnv env_root{"NAVMON_ROOT", root.path()};
    navtest::ScopedEnv env_config{"PLATFORM_CONFIG", root / "config.json"};
};

TEST_F(LedTest, UpdateCachesAndRetriesAfterFailure) {
    mqtt.update_gps_led(true);
    EXPECT_EQ(mqtt.led_state.load(), 1);
    EXPECT_EQ(attr("trigger"), "none");
    // Same code again: the LED is not touched.
    navtest::write_file(dir() + "/trigger", "untouched");
    mqtt.update_gps_led(true);
    EXPECT_EQ(attr("trigger"), "untouched");

    // A failing call leaves the cache as it was, so the next update tries again.
    navtest::run_command("rm -rf '" + dir() + "'");
    mqtt.update_gps_led(false);
    EXPECT_EQ(mqtt.led_state.load(), 1);
    create_led();
    mqtt.update_gps_led(false);
    EXPECT_EQ(mqtt.led_state.load(), 2);
    EXPECT_EQ(attr("trigger"), "timer");

    // Off is never cached away.
    mqtt.gps_led_off();
    EXPECT_EQ(mqtt.led_state.load(), 0);
    navtest::write_file(dir() + "/brightness", "9");
    mqtt.gps_led_off();
    EXPECT_EQ(attr("brightness"), "0");
    navtest::run_command("rm -rf '" + dir() + "'");
    mqtt.update_gps_led(true);
    mqtt.gps_led_off();
    EXPECT_EQ(mqtt.led_state.load(), 0);
}

double g_uptime = 0;
double fake_uptime() {
    return g_uptime;
}

TEST_F(GpsMqttTest, WatchdogKicksOncePerMinuteOfUptime) {
    fwtime_set_source(fake_uptime);
    const struct {
        double uptime;
        bool kicks;
    } steps[] = {{100, true},  {101, false}, {159.9, false}, {160, true},
                 {170, false}, {219, false}, {500, true},    {560, true}};
    for (const auto& s : steps) {
        SCOPED_TRACE(s.uptime);
        log.clear();
        g_uptime = s.uptime;
        mqtt.kick_watchdog();
        EXPECT_EQ(log.count("Kicking watchdog"), s.kicks ? 1 : 0);
    }
    fwtime_set_source(nullptr);
}

}  // namespace
