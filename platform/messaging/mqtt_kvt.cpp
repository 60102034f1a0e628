// Messaging base client over libmosquittopp.
#include "platform/messaging/mqtt_kvt.h"

#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "platform/base/base.h"

namespace {

// Runs before the mosquittopp base is constructed: the library must be initialised before
// the first mosquitto_new().
const char* init_library() {
    static std::once_flag once;
    std::call_once(once, [] { mosqpp::lib_init(); });
    return nullptr;
}

std::string make_client_id(const char* requested) {
    if (requested && *requested) return requested;
    static std::atomic<unsigned> counter{0};
    char id[32];
    snprintf(id, sizeof id, "navmon-%d-%u", static_cast<int>(getpid()), counter.fetch_add(1));
    return id;
}

}  // namespace

const char* kvt_mqtt_rc_text(int rc) {
    switch (rc) {
        case KVT_MQTT_RC_OK:
            return "Request successful";
        case KVT_MQTT_RC_BAD_REQUEST:
            return "Error sending request, check the topic and payload format";
        case KVT_MQTT_RC_FAILED:
            return "Request unsuccessful";
        case KVT_MQTT_RC_BUSY:
            return "Service is busy, try again later";
        default:
            return "Unknown result";
    }
}

mqtt_kvt::mqtt_kvt(const char* client_id, const char* host, int port, bool clean_session)
    : mosqpp::mosquittopp(init_library(), true),
      client_id_(make_client_id(client_id)),
      host_(host && *host ? host : KVT_MQTT_LOCAL_HOST),
      port_(port > 0 && port <= 65535 ? port : KVT_MQTT_LOCAL_PORT) {
    // The base was created with a throwaway id so that it always exists; now the real one.
    int rc = reinitialise(client_id_.c_str(), clean_session);
    if (rc != MOSQ_ERR_SUCCESS)
        nm_log(LOG_ERR, "MQTT client %s: %s", client_id_.c_str(), mosqpp::strerror(rc));
}

mqtt_kvt::~mqtt_kvt() {
    close_connection_and_stop_mqtt_thread_blocking();
}

int mqtt_kvt::start_mqtt_connection() {
    if (stopped_.load()) return -1;
    if (started_.exchange(true)) return 0;

    // The broker is the device's own: retrying it every few seconds costs nothing, and a long
    // back-off would leave the daemon deaf for up to that long after the broker comes back.
    reconnect_delay_set(1, 5, true);
    // The thread is started before the first connection attempt: when the broker refuses
    // the very first connect before the loop runs, the library's thread would wait for a
    // connection state that never comes and never retry.
    int rc;
    {
        ScopedSignalBlock block;
        rc = loop_start();
    }
    if (rc != MOSQ_ERR_SUCCESS) {
        nm_log(LOG_ERR, "MQTT thread not started: %s", mosqpp::strerror(rc));
        started_.store(false);
        return -1;
    }
    rc = connect_async(host_.c_str(), port_, 30);
    if (rc != MOSQ_ERR_SUCCESS)
        nm_log(LOG_ERR, "MQTT connect to %s:%d: %s", host_.c_str(), port_, mosqpp::strerror(rc));
    return 0;
}

int mqtt_kvt::publish_text(int* mid, const char* topic, const char* text, bool retain) {
    if (!topic || !text || stopped_.load()) return 0;
    size_t len = strlen(text);
    if (len > static_cast<size_t>(INT_MAX)) return 0;
    int rc = publish(mid, topic, static_cast<int>(len), text, 0, retain);
    if (rc != MOSQ_ERR_SUCCESS) {
        nm_log(LOG_DEBUG, "MQTT publish on %s: %s", topic, mosqpp::strerror(rc));
        return 0;
    }
    return 1;
}

int mqtt_kvt::send_message(int* mid, const char* topic, const char* text) {
    return publish_text(mid, topic, text, false);
}

int mqtt_kvt::send_message_retain(int* mid, const char* topic, const char* text) {
    return publish_text(mid, topic, text, true);
}

std::string mqtt_kvt::serialize(Json::Value& value) {
    Json::FastWriter writer;
    return writer.write(value);
}

void mqtt_kvt::close_connection_and_stop_mqtt_thread_blocking() {
    std::lock_guard<std::mutex> lock(close_mutex_);
    if (stopped_.exchange(true)) return;
    if (!started_.load()) return;
    // With the state set to disconnected the library's loop ends by itself: after sending
    // DISCONNECT when connected, or on waking from its reconnect wait, which loop_stop()
    // interrupts. A forced stop (thread cancellation) is not used: cancelled inside the
    // library it can leave an internal mutex locked and hang the destructor.
    disconnect();
    loop_stop(false);
    connected_.store(false);
}

void mqtt_kvt::on_connect(int rc) {
    if (stopped_.load()) {
        // A reconnect that raced with the close: undo it so the loop ends.
        disconnect();
        return;
    }
    connected_.store(rc == 0);
    derived_on_connect(rc);
}

void mqtt_kvt::on_disconnect(int rc) {
    connected_.store(false);
    if (stopped_.load()) {
        disconnect();  // keeps the loop from scheduling another reconnect
        return;
    }
    derived_on_disconnect(rc);
}

void mqtt_kvt::on_publish(int) {}

void mqtt_kvt::on_message(const struct mosquitto_message* message) {
    if (stopped_.load() || !message) return;
    derived_on_message(message);
}

void mqtt_kvt::derived_on_connect(int rc) {
    if (rc == 0)
        nm_log(LOG_INFO, "MQTT connected to %s:%d", host_.c_str(), port_);
    else
        nm_log(LOG_INFO, "MQTT connection to %s:%d refused: %s", host_.c_str(), port_,
               mosqpp::connack_string(rc));
}

void mqtt_kvt::derived_on_disconnect(int rc) {
    nm_log(LOG_INFO, "MQTT disconnected from %s:%d (%d)", host_.c_str(), port_, rc);
}

void mqtt_kvt::derived_on_message(const struct mosquitto_message* message) {
    nm_log(LOG_DEBUG, "MQTT message on %s (%d bytes)", message->topic ? message->topic : "",
           message->payloadlen);
}
