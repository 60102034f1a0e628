// gpsMqtt against a private mosquitto: requests and replies as other services see them.
#include <gtest/gtest.h>
#include <signal.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "mqtt/gps_mqtt.h"
#include "platform/platform.h"
#include "tests/support/support.h"

namespace {

const char* const kAck = "v1/device/gps/enable/ack";
const char* const kUpdate = "v1/device/gps/enable/update";
const char* const kConnected = "KVT GPS Daemon connected";
const char* const kMarker = "test/v1/device/gps/marker/apply";
const char* const kMarkerAck = "test/v1/device/gps/marker/ack";

void ignore_signal(int) {}

Json::Value parse(const std::string& text) {
    Json::Value v;
    EXPECT_TRUE(parse_mqtt_payload(text.data(), static_cast<long>(text.size()), v)) << text;
    return v;
}

class GpsMqttBrokerTest : public ::testing::Test {
protected:
    void SetUp() override {
        signal(SIGCONT, ignore_signal);
        ASSERT_TRUE(broker.start());
        env_host = std::make_unique<navtest::ScopedEnv>("MQTT_HOST", "127.0.0.1");
        env_port = std::make_unique<navtest::ScopedEnv>("MQTT_PORT", std::to_string(broker.port()));
        sub = std::make_unique<navtest::Subscriber>(broker.port(), std::vector<std::string>{"#"});
        ASSERT_TRUE(sub->connected());
    }
    void TearDown() override { mqtt.reset(); }

    // Creates and connects the client; returns once it answers requests. The client also
    // hears "test/#", so that odd GPS topics (matched by substring) reach its hook.
    // The wait is set before the messaging thread starts, which reads it.
    void start_client(int wait_tries = 5, unsigned int wait_us = 20000) {
        mqtt = std::make_unique<gpsMqtt>("it_gps_mqtt", kConnected);
        mqtt->enable_wait_tries = wait_tries;
        mqtt->enable_wait_us = wait_us;
        mqtt->start_mqtt_connection();
        ASSERT_TRUE(answering());
        mqtt->subscribe(nullptr, "test/#", 0);
        ASSERT_TRUE(navtest::wait_for(
            [this] {
                sub->clear();
                settle(300);
                return sub->wait_message(kMarkerAck, 0);
            },
            10000));
        sub->clear();
    }

    // True once a request without "value" is answered: the subscriptions are in.
    bool answering() {
        return navtest::wait_for(
            [this] {
                sub->clear();
                if (!navtest::publish(broker.port(), GPS_ENABLE_APPLY_TOPIC, "{}")) return false;
                return sub->wait_message(kAck, 300);
            },
            10000);
    }

    // Publishes a marker request and waits for its reply, so that everything published before
    // it has been handled; returns the messages seen before the marker's reply, requests left
    // out.
    std::vector<navtest::Message> settle(int timeout_ms = 5000) {
        EXPECT_TRUE(navtest::publish(broker.port(), kMarker, "{}"));
        sub->wait_message(kMarkerAck, timeout_ms);
        std::vector<navtest::Message> out;
        for (const auto& m : sub->messages()) {
            if (m.topic == kMarkerAck) break;
            if (m.topic != kMarker) out.push_back(m);
        }
        return out;
    }

    // Messages seen (besides requests) until the reply on `topic`, that reply included.
    std::vector<navtest::Message> until_reply(const std::string& topic) {
        EXPECT_TRUE(sub->wait_message(topic, 5000)) << topic;
        std::vector<navtest::Message> out;
        for (const auto& m : sub->messages()) {
            if (m.topic.find("/apply") != std::string::npos) continue;
            out.push_back(m);
            if (m.topic == topic) break;
        }
        return out;
    }

    navtest::LogCapture log;
    navtest::Broker broker;
    std::unique_ptr<navtest::ScopedEnv> env_host, env_port;
    std::unique_ptr<navtest::Subscriber> sub;
    std::unique_ptr<gpsMqtt> mqtt;
};

TEST_F(GpsMqttBrokerTest, EnableOutcomes) {
    start_client();
    struct Case {
        const char* name;
        const char* payload;
        bool active;  // processing_active while the request waits
        int rc;
        const char* message;
        const char* update;  // nullptr: no state update
        const char* value;   // the reply's "value", serialised
    };
    const Case cases[] = {
        {"not json", "{value: true}", false, 400, "Payload is not a valid JSON", nullptr, "null"},
        {"value text", "{\"value\":\"true\"}", false, 400, "Value can only be true or false",
         nullptr, "\"true\""},
        {"no value", "{}", false, 400, "Value can only be true or false", nullptr, "null"},
        {"enable confirmed", "{\"value\":true}", true, 200, "Successfully enabled GPS processing",
         "1", "true"},
        {"enable unconfirmed", "{\"value\":true}", false, 500, "Failed to enabled GPS processing",
         nullptr, "true"},
        {"disable confirmed", "{\"value\":false}", false, 200,
         "Successfully disabled GPS processing", "0", "false"},
        {"disable unconfirmed", "{\"value\":false}", true, 500, "Failed to disable GPS processing",
         nullptr, "false"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        sub->clear();
        mqtt->set_processing_active(c.active);
        mqtt->set_svc_req(!c.active);
        ASSERT_TRUE(navtest::publish(broker.port(), GPS_ENABLE_APPLY_TOPIC, c.payload));
        auto seen = until_reply(kAck);
        ASSERT_FALSE(seen.empty());
        if (c.update != nullptr) {
            ASSERT_EQ(seen.size(), 2u);
            EXPECT_EQ(seen[0].topic, kUpdate);
            EXPECT_EQ(seen[0].payload, c.update);
        } else {
            EXPECT_EQ(seen.size(), 1u);
        }
        Json::Value r = parse(seen.back().payload);
        EXPECT_EQ(r.getMemberNames(), (std::vector<std::string>{"message", "rc", "value"}));
        EXPECT_EQ(r["rc"].asInt(), c.rc);
        EXPECT_EQ(r["message"].asString(), c.message);
        EXPECT_EQ(Json::FastWriter().write(r["value"]), std::string(c.value) + "\n");
        if (c.rc != 400) {
            EXPECT_EQ(mqtt->get_svc_req(), std::string(c.value) == "true");
        }
    }
}

TEST_F(GpsMqttBrokerTest, EchoedMembers) {
    start_client();
    const struct {
        const char* request;
        const char* reply;
    } cases[] = {
        {"{\"value\":false,\"session\":12,\"ts\":1700000000,\"update\":{\"k\":[1]}}",
         "{\"message\":\"Successfully disabled GPS processing\",\"rc\":200,\"session\":12,"
         "\"ts\":1700000000,\"update\":{\"k\":[1]},\"value\":false}\n"},
        {"{\"value\":false,\"session\":-1,\"ts\":1.5,\"update\":[1]}",
         "{\"message\":\"Successfully disabled GPS processing\",\"rc\":200,\"value\":false}\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.request);
        sub->clear();
        ASSERT_TRUE(navtest::publish(broker.port(), GPS_ENABLE_APPLY_TOPIC, c.request));
        auto seen = until_reply(kAck);
        EXPECT_EQ(seen.back().payload, c.reply);
    }
}

TEST_F(GpsMqttBrokerTest, TopicsAndRetainedState) {
    start_client();
    // "/apply" twice; another GPS service; no "/apply"; not a GPS topic.
    for (const char* topic :
         {"test/v1/device/gps/enable/apply/x/apply", "test/v1/device/gps/reset/apply",
          "test/v1/device/gps/enable/status", "test/v1/device/cell/enable/apply"})
        ASSERT_TRUE(navtest::publish(broker.port(), topic, "{\"value\":false}"));
    std::vector<std::string> answered;
    for (const auto& m : settle())
        if (m.topic.rfind("test/", 0) == 0 && m.payload != "{\"value\":false}")
            answered.push_back(m.topic);
    EXPECT_EQ(answered, (std::vector<std::string>{"test/v1/device/gps/enable/update/x/apply",
                                                  "test/v1/device/gps/enable/ack/x/apply",
                                                  "test/v1/device/gps/reset/ack"}));
    navtest::Message reset;
    ASSERT_TRUE(sub->wait_message("test/v1/device/gps/reset/ack", 0, &reset));
    EXPECT_EQ(reset.payload, "{\"message\":\"Invalid service\",\"rc\":400,\"value\":false}\n");

    sub->clear();
    mqtt->set_processing_active(true);
    ASSERT_TRUE(navtest::publish(broker.port(), GPS_ENABLE_APPLY_TOPIC, "{\"value\":true}"));
    until_reply(kAck);

    // A service connecting afterwards finds the last reply and the state, both retained.
    navtest::Subscriber late(broker.port(), {kAck, kUpdate});
    navtest::Message ack, update;
    ASSERT_TRUE(late.wait_message(kAck, 5000, &ack));
    ASSERT_TRUE(late.wait_message(kUpdate, 5000, &update));
    EXPECT_TRUE(ack.retained);
    EXPECT_TRUE(update.retained);
    EXPECT_EQ(update.payload, "1");
    EXPECT_EQ(parse(ack.payload)["rc"].asInt(), 200);
}

TEST_F(GpsMqttBrokerTest, EnableConfirmedByTheLoopWithinTheWait) {
    start_client(50, 100000);
    std::thread loop([this] {
        // What the session loop does: see the request, attach the clients, report running.
        navtest::wait_for([this] { return mqtt->get_svc_req(); }, 10000);
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        mqtt->set_processing_active(true);
    });
    ASSERT_TRUE(navtest::publish(broker.port(), GPS_ENABLE_APPLY_TOPIC, "{\"value\":true}"));
    auto seen = until_reply(kAck);
    loop.join();
    EXPECT_EQ(parse(seen.back().payload)["rc"].asInt(), 200);
    EXPECT_EQ(seen.front().payload, "1");
}

TEST_F(GpsMqttBrokerTest, HostilePayloadsLeaveTheClientAnswering) {
    start_client();
    const std::string deep = std::string(200000, '[') + std::string(200000, ']');
    const std::vector<std::string> payloads = {
        "true",
        "[1,2]",
        "{\"value\":true /* c */}",
        std::string("{\"va\0lue\":true}", 15),
        deep,
        "{\"value\":false,\"pad\":\"" + std::string(1 << 20, 'x') + "\"}",
    };
    // Messages without any payload: mosquitto_pub -s refuses empty input.
    const std::string empty =
        "mosquitto_pub -h 127.0.0.1 -p " + std::to_string(broker.port()) + " -n -t ";
    auto publish_empty = [&](const char* topic) {
        return navtest::run_command(empty + topic) == 0;
    };
    ASSERT_TRUE(publish_empty(GPS_ENABLE_APPLY_TOPIC));
    ASSERT_TRUE(publish_empty(FILEPULL_ACK_TOPIC));
    for (const auto& p : payloads) {
        ASSERT_TRUE(navtest::publish(broker.port(), GPS_ENABLE_APPLY_TOPIC, p));
        ASSERT_TRUE(navtest::publish(broker.port(), FILEPULL_ACK_TOPIC, p));
    }
    mqtt->xtra_pending = true;
    mqtt->xtra_session = 5;
    for (const auto& p : payloads)
        ASSERT_TRUE(navtest::publish(broker.port(), FILEPULL_ACK_TOPIC, p));
    ASSERT_TRUE(navtest::publish(broker.port(), FILEPULL_ACK_TOPIC, "{\"session\":5.5,\"rc\":1}"));
    settle();
    int replies = 0;
    for (const auto& m : sub->messages())
        if (m.topic == kAck) ++replies;
    EXPECT_EQ(replies, static_cast<int>(payloads.size()) + 1);
    EXPECT_TRUE(mqtt->xtra_pending.load());
    EXPECT_FALSE(log.contains("exception"));
}

TEST_F(GpsMqttBrokerTest, XtraRequestAndAcknowledgement) {
    navtest::TempDir root;
    navtest::ScopedEnv env_root("NAVMON_ROOT", root.path());
    navtest::write_file(root / "config.json",
                        R"({"gps":{"gps":{"xtra_enable":true,"xtra_loading":{"enable":true,)"
                        R"("interval":7,"location":"http://127.0.0.1/x.bin"}}}})");
    navtest::ScopedEnv env_config("PLATFORM_CONFIG", root / "config.json");
    start_client();
    mqtt->xtra_clock = [] { return time_t{1700000000}; };

    mqtt->request_xtra_update();
    navtest::Message req;
    ASSERT_TRUE(sub->wait_message(FILEPULL_APPLY_TOPIC, 5000, &req));
    EXPECT_FALSE(req.retained);
    Json::Value r = parse(req.payload);
    EXPECT_EQ(r["filepath"].asString(), XTRA_FILE_PATH);
    EXPECT_EQ(r["url"].asString(), "http://127.0.0.1/x.bin");
    EXPECT_EQ(r["session"].asInt(), 1700000000);
    EXPECT_TRUE(mqtt->xtra_pending.load());

    // Outstanding: no second request; other sessions leave it open.
    sub->clear();
    mqtt->request_xtra_update();
    ASSERT_TRUE(
        navtest::publish(broker.port(), FILEPULL_ACK_TOPIC, "{\"session\":1700000001,\"rc\":200}"));
    auto seen = settle();
    for (const auto& m : seen) EXPECT_NE(m.topic, FILEPULL_APPLY_TOPIC);
    EXPECT_TRUE(mqtt->xtra_pending.load());

    ASSERT_TRUE(
        navtest::publish(broker.port(), FILEPULL_ACK_TOPIC, "{\"session\":1700000000,\"rc\":404}"));
    ASSERT_TRUE(navtest::wait_for([this] { return !mqtt->xtra_pending.load(); }, 5000));
    EXPECT_EQ(mqtt->xtra_session.load(), 0);
    EXPECT_TRUE(log.contains("Failed to update the XTRA file.  rc: 404, session: 1700000000"));
}

TEST_F(GpsMqttBrokerTest, SubscribesAgainAfterBrokerRestart) {
    broker.stop();
    mqtt = std::make_unique<gpsMqtt>("it_gps_mqtt", kConnected);
    mqtt->start_mqtt_connection();
    // Attempts against a stopped broker say nothing and subscribe nothing.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_EQ(log.count(kConnected), 0);

    ASSERT_TRUE(broker.start());
    ASSERT_TRUE(navtest::wait_for([this] { return log.count(kConnected) == 1; }, 15000));
    sub = std::make_unique<navtest::Subscriber>(broker.port(), std::vector<std::string>{"#"});
    ASSERT_TRUE(answering());

    broker.stop();
    ASSERT_TRUE(broker.start());
    ASSERT_TRUE(navtest::wait_for([this] { return log.count(kConnected) == 2; }, 15000));
    sub = std::make_unique<navtest::Subscriber>(broker.port(), std::vector<std::string>{"#"});
    EXPECT_TRUE(answering());
}

}  // namespace
