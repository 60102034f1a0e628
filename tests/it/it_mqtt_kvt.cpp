#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/mqtt_kvt.h"
#include "platform/platform.h"
#include "tests/support/support.h"

using navtest::Broker;
using navtest::ScopedEnv;
using navtest::Subscriber;
using navtest::wait_for;

namespace {

// Records every hook call; `closed` marks the moment close returned, so a hook seen after it
// is a fault.
class Probe : public mqtt_kvt {
public:
    explicit Probe(int port) : mqtt_kvt("probe", "127.0.0.1", port, true) {}
    ~Probe() override { close_connection_and_stop_mqtt_thread_blocking(); }

    void derived_on_connect(int rc) override {
        if (closed) late_hooks++;
        {
            std::lock_guard<std::mutex> lock(mutex);
            connect_rcs.push_back(rc);
        }
        if (rc == 0) subscribe(nullptr, "probe/in", 0);
    }
    void derived_on_disconnect(int) override {
        if (closed) late_hooks++;
        disconnects++;
    }
    void derived_on_message(const struct mosquitto_message* m) override {
        if (closed) late_hooks++;
        std::lock_guard<std::mutex> lock(mutex);
        messages.emplace_back(static_cast<const char*>(m->payload), m->payloadlen);
    }

    int connects_ok() {
        std::lock_guard<std::mutex> lock(mutex);
        int n = 0;
        for (int rc : connect_rcs) n += rc == 0;
        return n;
    }
    std::vector<int> rcs() {
        std::lock_guard<std::mutex> lock(mutex);
        return connect_rcs;
    }
    std::vector<std::string> received() {
        std::lock_guard<std::mutex> lock(mutex);
        return messages;
    }

    // Closes with a hang guard; a stop that never returns fails instead of blocking ctest.
    bool close_within(int seconds) {
        auto done = std::async(std::launch::async,
                               [this] { close_connection_and_stop_mqtt_thread_blocking(); });
        bool ok = done.wait_for(std::chrono::seconds(seconds)) == std::future_status::ready;
        closed = true;
        return ok;
    }

    std::atomic<bool> closed{false};
    std::atomic<int> late_hooks{0};
    std::atomic<int> disconnects{0};

private:
    std::mutex mutex;
    std::vector<int> connect_rcs;
    std::vector<std::string> messages;
};

}  // namespace

TEST(MqttKvtBroker, ConnectsReceivesAndReconnectsAfterBrokerRestart) {
    Broker broker;
    ASSERT_TRUE(broker.start());
    Probe client(broker.port());
    ASSERT_EQ(client.start_mqtt_connection(), 0);
    ASSERT_TRUE(wait_for([&] { return client.connects_ok() == 1; }, 5000));
    EXPECT_TRUE(client.is_connected());
    EXPECT_EQ(client.rcs(), std::vector<int>{0});

    // The subscription made in the hook delivers messages to the message hook.
    ASSERT_TRUE(wait_for(
        [&] {
            navtest::publish(broker.port(), "probe/in", "hello");
            return !client.received().empty();
        },
        5000));
    EXPECT_EQ(client.received().front(), "hello");

    broker.stop();
    ASSERT_TRUE(wait_for([&] { return client.disconnects.load() >= 1; }, 5000));
    EXPECT_FALSE(client.is_connected());
    EXPECT_EQ(client.send_message(nullptr, "probe/out", "x"), 0);  // failure is reported

    ASSERT_TRUE(broker.start());
    ASSERT_TRUE(wait_for([&] { return client.connects_ok() == 2; }, 15000));
    EXPECT_TRUE(client.close_within(10));
}

TEST(MqttKvtBroker, RetainedMessageReachesLaterSubscriber) {
    Broker broker;
    ASSERT_TRUE(broker.start());
    Probe client(broker.port());
    ASSERT_EQ(client.start_mqtt_connection(), 0);
    ASSERT_TRUE(wait_for([&] { return client.is_connected(); }, 5000));
    Subscriber early(broker.port(), {"probe/plain"});
    ASSERT_TRUE(wait_for([&] { return early.connected(); }, 5000));
    ASSERT_NE(client.send_message_retain(nullptr, "probe/state", "{\"enabled\":1}"), 0);
    ASSERT_NE(client.send_message(nullptr, "probe/plain", "gone"), 0);
    // Publications are ordered: once the plain one arrived, the retained one is stored.
    ASSERT_TRUE(early.wait_message("probe/plain", 5000));

    navtest::Message m;
    Subscriber late(broker.port(), {"probe/state", "probe/plain"});
    ASSERT_TRUE(late.wait_message("probe/state", 5000, &m));
    EXPECT_EQ(m.payload, "{\"enabled\":1}");
    EXPECT_TRUE(m.retained);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    for (const auto& msg : late.messages()) EXPECT_NE(msg.topic, "probe/plain");
}

TEST(MqttKvtBroker, PublishingFromSeveralThreadsLosesNothing) {
    Broker broker;
    ASSERT_TRUE(broker.start());
    Subscriber sub(broker.port(), {"probe/multi"});
    ASSERT_TRUE(wait_for([&] { return sub.connected(); }, 5000));
    Probe client(broker.port());
    ASSERT_EQ(client.start_mqtt_connection(), 0);
    ASSERT_TRUE(wait_for([&] { return client.is_connected(); }, 5000));

    constexpr int kThreads = 4, kEach = 250;
    std::atomic<int> accepted{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < kEach; ++i) {
                std::string text = std::to_string(t) + ":" + std::to_string(i);
                accepted += client.send_message(nullptr, "probe/multi", text.c_str()) != 0;
            }
        });
    for (auto& th : threads) th.join();
    EXPECT_EQ(accepted.load(), kThreads * kEach);
    ASSERT_TRUE(wait_for([&] { return sub.messages().size() >= kThreads * kEach; }, 10000));

    std::vector<int> next(kThreads, 0);  // per thread, in order and complete
    for (const auto& m : sub.messages()) {
        int t = std::stoi(m.payload.substr(0, m.payload.find(':')));
        int i = std::stoi(m.payload.substr(m.payload.find(':') + 1));
        ASSERT_EQ(i, next[t]) << m.payload;
        next[t]++;
    }
}

TEST(MqttKvtBroker, CloseIsPromptAndFinal) {
    Broker broker;
    ASSERT_TRUE(broker.start());
    Probe client(broker.port());
    ASSERT_EQ(client.start_mqtt_connection(), 0);
    ASSERT_TRUE(wait_for([&] { return client.is_connected(); }, 5000));
    ASSERT_TRUE(client.close_within(10));
    EXPECT_FALSE(client.is_connected());
    EXPECT_EQ(client.send_message(nullptr, "probe/out", "x"), 0);
    navtest::publish(broker.port(), "probe/in", "after close");
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(client.late_hooks.load(), 0);
    client.close_connection_and_stop_mqtt_thread_blocking();  // again: no effect
    EXPECT_EQ(client.start_mqtt_connection(), -1);
}

TEST(MqttKvtNoBroker, CloseWhileWaitingToReconnect) {
    const int port = navtest::free_port();
    Probe client(port);
    ASSERT_EQ(client.start_mqtt_connection(), 0);
    // Long enough for a few refused attempts, so the library is in its back-off wait.
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    EXPECT_FALSE(client.is_connected());
    EXPECT_TRUE(client.close_within(10));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(client.late_hooks.load(), 0);
}

TEST(MqttKvtNoBroker, ConnectsOnceBrokerAppears) {
    const int port = navtest::free_port();
    Probe client(port);
    ASSERT_EQ(client.start_mqtt_connection(), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    EXPECT_EQ(client.connects_ok(), 0);

    // A private broker on the port the client keeps trying.
    navtest::TempDir dir;
    navtest::write_file(dir / "m.conf", "listener " + std::to_string(port) +
                                            " 127.0.0.1\nallow_anonymous true\n"
                                            "persistence false\nlog_dest stderr\n");
    navtest::Process mosq;
    ASSERT_TRUE(mosq.start({"/usr/sbin/mosquitto", "-c", dir / "m.conf"}));
    EXPECT_TRUE(wait_for([&] { return client.connects_ok() == 1; }, 15000));
    EXPECT_TRUE(client.close_within(10));
    mosq.stop();
}
