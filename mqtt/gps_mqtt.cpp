// gpsMqtt's life cycle and connect hook.
#include "mqtt/gps_mqtt.h"

#include "platform/base/base.h"

gpsMqtt::gpsMqtt(const char* client_id, const char* connect_message, ConfigStore& config,
                 const gpsMqttSetup& setup)
    : mqtt_kvt(client_id, setup.host.c_str(), setup.port, true),
      connect_message(connect_message),
      xtra_file(setup.xtra_file),
      config_(config) {}

gpsMqtt::~gpsMqtt() {
    // Stop the library's thread first: its hooks use members destroyed below.
    close_connection_and_stop_mqtt_thread_blocking();
}

void gpsMqtt::derived_on_connect(int rc) {
    // A failed attempt is the base's to retry; nothing to say or subscribe yet.
    if (rc != 0) return;
    nm_log(LOG_INFO, "%s", connect_message != nullptr ? connect_message : "");
    // Renewed on every connection: a clean session forgets them on reconnect.
    subscribe(nullptr, GPS_ENABLE_APPLY_TOPIC, 0);
    subscribe(nullptr, FILEPULL_ACK_TOPIC, 0);
}

int gpsMqtt::publish_out(const char* topic, const std::string& text, bool retain) {
    return retain ? send_message_retain(nullptr, topic, text.c_str())
                  : send_message(nullptr, topic, text.c_str());
}
