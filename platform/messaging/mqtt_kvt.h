// Messaging base client over libmosquittopp: keeps a background connection to the broker,
// reconnects by itself and hands connection results and messages to the derived_* hooks on
// the library's thread. Publishing is safe from several threads at once.
#pragma once

#include <json/json.h>
#include <mosquittopp.h>

#include <atomic>
#include <mutex>
#include <string>

// The broker of the device itself.
#define KVT_MQTT_LOCAL_HOST "localhost"
#define KVT_MQTT_LOCAL_PORT 1883

enum KVT_MQTT_RC {
    KVT_MQTT_RC_OK = 200,           // "Request successful"
    KVT_MQTT_RC_BAD_REQUEST = 400,  // "Error sending request, check the topic and payload format"
    KVT_MQTT_RC_FAILED = 500,       // "Request unsuccessful"
    KVT_MQTT_RC_BUSY = 503,         // "Service is busy, try again later"
};
const char* kvt_mqtt_rc_text(int rc);

class mqtt_kvt : public mosqpp::mosquittopp {
public:
    mqtt_kvt(const char* client_id, const char* host, int port, bool clean_session);
    virtual ~mqtt_kvt();

    // Starts the background connection; returns 0 when the library's thread is running.
    int start_mqtt_connection();
    // Non-zero = the message was accepted for sending, 0 = failed. QoS 0, not retained.
    int send_message(int* mid, const char* topic, const char* text);
    // Published retained, QoS 0. Non-zero = accepted.
    int send_message_retain(int* mid, const char* topic, const char* text);
    std::string serialize(Json::Value& value);
    // Disconnects and returns only after the library's thread has stopped; no hook runs
    // afterwards. Safe to call more than once.
    void close_connection_and_stop_mqtt_thread_blocking();

    bool is_connected() const { return connected_.load(); }
    const std::string& host() const { return host_; }
    int port() const { return port_; }

    void on_connect(int rc) override;
    void on_disconnect(int rc) override;
    void on_publish(int mid) override;
    void on_message(const struct mosquitto_message* message) override;

    virtual void derived_on_connect(int rc);
    virtual void derived_on_disconnect(int rc);
    virtual void derived_on_message(const struct mosquitto_message* message);

private:
    int publish_text(int* mid, const char* topic, const char* text, bool retain);

    std::string client_id_;
    std::string host_;
    int port_;
    std::atomic<bool> connected_{false};
    std::atomic<bool> started_{false};
    std::atomic<bool> stopped_{false};
    std::mutex close_mutex_;  // keeps two closers from racing
};
