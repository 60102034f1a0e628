// Placeholder until the MQTT services land.
#include "mqtt/gps_mqtt.h"
gpsMqtt::gpsMqtt(const char* id, const char* msg)
    : mqtt_kvt(id, KVT_MQTT_LOCAL_HOST, KVT_MQTT_LOCAL_PORT, true), connect_message(msg) {}
gpsMqtt::~gpsMqtt() { close_connection_and_stop_mqtt_thread_blocking(); }
void gpsMqtt::derived_on_connect(int) {}
void gpsMqtt::derived_on_message(const struct mosquitto_message*) {}
void gpsMqtt::broadcast_gps_data(const char*, const Json::Value&) {}
void gpsMqtt::request_xtra_update() {}
void gpsMqtt::update_gps_led(bool) {}
void gpsMqtt::gps_led_off() {}
void gpsMqtt::kick_watchdog() {}
