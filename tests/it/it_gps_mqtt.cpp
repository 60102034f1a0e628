// gpsMqtt against a private mosquitto: requests and replies as other services see them.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "mqtt/gps_mqtt.h"
#include "tests/support/support.h"

namespace {

const char* const kApply = GPS_ENABLE_APPLY_TOPIC;
const char* const kAck = "v1/device/gps/enable/ack";
const char* const kUpdate = "v1/device/gps/enable/update";
const char* const kMarker = "test/v1/device/gps/marker/apply";
const char* const kMarkerAck = "test/v1/device/gps/marker/ack";
// Request topics the client hears besides its own, so that odd GPS topics (matched by
// substring) reach its hook. Exact topics, not "test/#": the client must not hear its own
// replies, some of which contain "/apply" again and would be answered once more.
const char* const kOddTopics[] = {
    "test/v1/device/gps/marker/apply", "test/v1/device/gps/enable/apply/x/apply",
    "test/v1/device/gps/reset/apply", "test/v1/device/gps/enable/status",
    "test/v1/device/cell/enable/apply"};
const char* const kConnected = "KVT GPS Daemon connected";
const std::string kOn = "v1/device/gps/enable/update 1|", kOff = "v1/device/gps/enable/update 0|";

std::string ack(const std::string& reply) {
    return kAck + (" " + reply) + "\n|";
}
const std::string kEnabled =
    ack(R"({"message":"Successfully enabled GPS processing","rc":200,"value":true})");
const std::string kDisabled =
    ack(R"({"message":"Successfully disabled GPS processing","rc":200,"value":false})");
const std::string kNotJson =
    ack(R"({"message":"Payload is not a valid JSON","rc":400,"value":null})");

class GpsMqttBroker : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(broker.start());
        env_port = std::make_unique<navtest::ScopedEnv>("MQTT_PORT", std::to_string(broker.port()));
        sub = std::make_unique<navtest::Subscriber>(broker.port(), std::vector<std::string>{"#"});
    }
    // Returns once the client answers. The wait is read by the messaging thread: set before it
    // runs.
    void start_client(int wait_tries = 5, unsigned int wait_us = 20000) {
        mqtt = std::make_unique<gpsMqtt>("it_gps_mqtt", kConnected);
        mqtt->enable_wait_tries = wait_tries;
        mqtt->enable_wait_us = wait_us;
        mqtt->start_mqtt_connection();
        ASSERT_TRUE(navtest::wait_for([this] { return mqtt->is_connected(); }, 10000));
        for (const char* topic : kOddTopics) mqtt->subscribe(nullptr, topic, 0);
        ASSERT_TRUE(
            navtest::wait_for([this] { return exchange(kMarker, "{}", 300) != "?"; }, 10000));
    }
    // Publishes a request, then a marker request; returns what the client published since the
    // last call until the marker's reply, as "topic payload|" ("?" without that reply). Each
    // marker carries its own session, so a late reply to an earlier marker is never taken for it.
    std::string exchange(const std::string& topic, const std::string& payload, int ms = 10000) {
        const std::string pub = "mosquitto_pub -h 127.0.0.1 -p " + std::to_string(broker.port());
        EXPECT_TRUE(payload.empty() ? navtest::run_command(pub + " -n -t " + topic) == 0
                                    : navtest::publish(broker.port(), topic, payload));
        const std::string session = "\"session\":" + std::to_string(++markers);
        EXPECT_TRUE(navtest::publish(broker.port(), kMarker, "{" + session + "}"));
        std::string out;
        bool answered = navtest::wait_for(
            [&] {
                out.clear();
                for (const auto& m : sub->messages()) {
                    if (m.topic == kMarkerAck && m.payload.find(session) != std::string::npos)
                        return true;
                    if (m.topic != topic && m.topic != kMarker && m.topic != kMarkerAck)
                        out += m.topic + " " + m.payload + "|";
                }
                return false;
            },
            ms);
        sub->clear();
        return answered ? out : "?";
    }

    int markers = 0;
    navtest::LogCapture log;
    navtest::Broker broker;
    navtest::ScopedEnv env_host{"MQTT_HOST", "127.0.0.1"};
    std::unique_ptr<navtest::ScopedEnv> env_port;
    std::unique_ptr<navtest::Subscriber> sub;
    std::unique_ptr<gpsMqtt> mqtt;
};

TEST_F(GpsMqttBroker, RequestsAndReplies) {
    start_client();
    const std::string t = "test/v1/device/gps/";
    const struct {
        std::string topic;
        const char* payload;
        bool active;  // processing_active while the request waits
        int svc;      // svc_req afterwards; -1: untouched
        std::string seen;
    } cases[] = {
        {kApply, "{value: true}", false, -1, kNotJson},
        {kApply, R"({"value":"true"})", false, -1,
         ack(R"({"message":"Value can only be true or false","rc":400,"value":"true"})")},
        {kApply, R"({"value":true})", true, 1, kOn + kEnabled},
        {kApply, R"({"value":true})", false, 1,
         ack(R"({"message":"Failed to enabled GPS processing","rc":500,"value":true})")},
        {kApply, R"({"value":false})", false, 0, kOff + kDisabled},
        {kApply, R"({"value":false})", true, 0,
         ack(R"({"message":"Failed to disable GPS processing","rc":500,"value":false})")},
        // Echoed: whole numbers within 32 unsigned bits, an object "update" (its strings are text).
        {kApply, R"({"value":false,"session":4294967295,"ts":12.0,"update":{"u":"http://h/[\"x"}})",
         false, 0,
         kOff +
             ack(R"({"message":"Successfully disabled GPS processing","rc":200,)"
                 R"("session":4294967295,"ts":12,"update":{"u":"http://h/[\"x"},"value":false})")},
        {kApply, R"({"value":false,"session":4294967296,"ts":-1,"update":[1]})", false, 0,
         kOff + kDisabled},
        {kApply, R"({"value":false,"session":1.5,"ts":"12","update":"x"})", false, 0,
         kOff + kDisabled},
        // Topics: only the first "/apply" is replaced; other services; no "/apply"; not GPS.
        {t + "enable/apply/x/apply", R"({"value":false})", false, 0,
         t + "enable/update/x/apply 0|" + t + "enable/ack/x/apply " +
             R"({"message":"Successfully disabled GPS processing","rc":200,"value":false})" +
             "\n|"},
        {t + "reset/apply", R"({"value":[1],"session":3})", false, -1,
         t + R"(reset/ack {"message":"Invalid service","rc":400,"session":3,"value":[1]})" + "\n|"},
        {t + "enable/status", R"({"value":false})", false, -1, ""},
        {"test/v1/device/cell/enable/apply", R"({"value":false})", false, -1, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.topic + " " + c.payload);
        mqtt->set_processing_active(c.active);
        mqtt->set_svc_req(c.svc != 1);
        EXPECT_EQ(exchange(c.topic, c.payload), c.seen);
        EXPECT_EQ(mqtt->get_svc_req(), c.svc == -1 || c.svc == 1);
    }
    // Not JSON, bare scalars, comments, array root, NUL inside, empty, deep nesting.
    std::string deep_objects;
    for (int i = 0; i < 5000; ++i) deep_objects += "{\"a\":";
    for (const auto& p : std::vector<std::string>{
             "hello", "true", "12", R"({"value":true /* c */})", R"({"value":true} // c)",
             R"([{"value":true}])", std::string("{\"va\0lue\":true}", 15), "",
             std::string(200000, '[') + std::string(200000, ']'),
             deep_objects + "1" + std::string(5000, '}')})
        EXPECT_EQ(exchange(kApply, p), kNotJson) << p.substr(0, 40);
    mqtt->set_processing_active(true);
    EXPECT_EQ(exchange(kApply, R"({"value":true,"pad":")" + std::string(60000, 'x') + "\"}"),
              kOn + kEnabled);

    // A service connecting afterwards finds the last reply and state, both retained.
    navtest::Subscriber late(broker.port(), {kAck, kUpdate});
    navtest::Message reply, update;
    ASSERT_TRUE(late.wait_message(kAck, 5000, &reply));
    ASSERT_TRUE(late.wait_message(kUpdate, 5000, &update));
    EXPECT_TRUE(reply.retained && update.retained);
    EXPECT_EQ(kAck + (" " + reply.payload) + "|" + update.payload, kEnabled + "1");
}

TEST_F(GpsMqttBroker, EnableConfirmedByTheSessionLoopWithinTheWait) {
    start_client(50, 100000);
    std::thread loop([this] {
        navtest::wait_for([this] { return mqtt->get_svc_req(); }, 10000);
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        mqtt->set_processing_active(true);
    });
    EXPECT_EQ(exchange(kApply, R"({"value":true})"), kOn + kEnabled);
    loop.join();
}

// Broadcasts come from the gpsd client's thread while other threads publish too.
TEST_F(GpsMqttBroker, PublishingFromSeveralThreadsLosesNothing) {
    start_client();
    constexpr int kThreads = 4, kEach = 250;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([this, t] {
            Json::Value report;
            report["t"] = t;
            for (int i = 0; i < kEach; ++i) {
                report["i"] = i;
                mqtt->broadcast_gps_data("TPV", report);
            }
        });
    for (auto& th : threads) th.join();
    ASSERT_TRUE(
        navtest::wait_for([this] { return sub->messages().size() >= kThreads * kEach; }, 10000));
    std::vector<int> next(kThreads, 0);  // per thread: complete and in order
    for (const auto& m : sub->messages()) {
        int t = -1, i = -1;
        ASSERT_EQ(sscanf(m.payload.c_str(), "{\"i\":%d,\"t\":%d}", &i, &t), 2) << m.payload;
        ASSERT_EQ(i, next[t]++) << m.payload;
    }
    EXPECT_FALSE(log.contains("Failed to broadcast"));
}

TEST_F(GpsMqttBroker, XtraRequestAndAcknowledgement) {
    navtest::TempDir root;
    navtest::write_file(root / "config.json",
                        R"({"gps":{"gps":{"xtra_enable":true,"xtra_loading":{"enable":true,)"
                        R"("interval":7,"location":"http://127.0.0.1/x.bin"}}}})");
    navtest::ScopedEnv env_root("NAVMON_ROOT", root.path());
    navtest::ScopedEnv env_config("PLATFORM_CONFIG", root / "config.json");
    start_client();
    mqtt->xtra_clock = [] { return time_t{1700000000}; };
    mqtt->request_xtra_update();
    EXPECT_EQ(exchange(FILEPULL_ACK_TOPIC, R"({"session":1700000000,"rc":404})"),
              FILEPULL_APPLY_TOPIC R"( {"filepath":"/data/xtra/bramble_xtra.bin",)"
                                   R"("session":1700000000,"url":"http://127.0.0.1/x.bin"})"
                                   "\n|");
    EXPECT_FALSE(mqtt->xtra_pending.load());
    EXPECT_TRUE(log.contains("Failed to update the XTRA file.  rc: 404, session: 1700000000"));
}

// Absent at the start, then restarted: the client connects, and subscribes anew each time.
TEST_F(GpsMqttBroker, SubscribesAgainAfterBrokerRestart) {
    broker.stop();
    mqtt = std::make_unique<gpsMqtt>("it_gps_mqtt", kConnected);
    mqtt->start_mqtt_connection();
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_EQ(log.count(kConnected), 0);  // failed attempts say nothing
    for (int connects = 1; connects <= 2; ++connects) {
        if (connects == 2) broker.stop();
        ASSERT_TRUE(broker.start());
        ASSERT_TRUE(navtest::wait_for([&] { return log.count(kConnected) == connects; }, 15000));
        sub = std::make_unique<navtest::Subscriber>(broker.port(), std::vector<std::string>{kAck});
        EXPECT_TRUE(navtest::wait_for(
            [this] {
                return navtest::publish(broker.port(), kApply, "{}") &&
                       sub->wait_message(kAck, 300);
            },
            10000));
    }
}

}  // namespace
