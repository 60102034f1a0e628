// Closing the messaging base. Publishing from several threads, retention, a broker that appears
// late and subscriptions after a restart are proven through gpsMqtt in it_gps_mqtt.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "platform/mqtt_kvt.h"
#include "tests/support/support.h"

namespace {

// Counts the hook calls made after close returned: each one is a fault.
class Probe : public mqtt_kvt {
public:
    explicit Probe(int port) : mqtt_kvt("probe", "127.0.0.1", port, true) {}
    ~Probe() override { close_connection_and_stop_mqtt_thread_blocking(); }
    void derived_on_connect(int rc) override {
        late += closed.load();
        if (rc == 0) subscribe(nullptr, "probe/in", 0);
    }
    void derived_on_disconnect(int) override { late += closed.load(); }
    void derived_on_message(const struct mosquitto_message*) override { late += closed.load(); }
    std::atomic<bool> closed{false};
    std::atomic<int> late{0};
};

TEST(MqttKvtBroker, CloseIsPromptAndFinal) {
    for (bool with_broker : {true, false}) {
        SCOPED_TRACE(with_broker ? "connected" : "no broker");
        navtest::Broker broker;
        ASSERT_TRUE(!with_broker || broker.start());
        Probe client(with_broker ? broker.port() : navtest::free_port());
        ASSERT_EQ(client.start_mqtt_connection(), 0);
        // Connected, or in the library's back-off wait between refused attempts.
        ASSERT_EQ(navtest::wait_for([&] { return client.is_connected(); }, 2500), with_broker);
        const auto start = std::chrono::steady_clock::now();
        client.close_connection_and_stop_mqtt_thread_blocking();
        client.closed = true;
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
        EXPECT_FALSE(client.is_connected());
        EXPECT_EQ(client.send_message(nullptr, "probe/out", "x"), 0);
        if (with_broker) navtest::publish(broker.port(), "probe/in", "after close");
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        EXPECT_EQ(client.late.load(), 0);
        client.close_connection_and_stop_mqtt_thread_blocking();  // again: no effect
        EXPECT_EQ(client.start_mqtt_connection(), -1);
    }
}

}  // namespace
