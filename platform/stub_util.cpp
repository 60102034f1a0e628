// Placeholder until the platform utilities land.
#include "platform/mqtt_kvt.h"
#include "platform/platform.h"

int cmd_get_value_json(const char*, Json::Value&) { return -1; }
int cmd_get_value_bool(const char*, bool*) { return -1; }
int config_get_int(const Json::Value&, int*, const char*) { return 0; }
int config_get_bool(const Json::Value&, bool*, const char*) { return 0; }
const char* platform_config_path() { return ""; }
int leds_gps_status(int) { return -1; }

const char* kvt_mqtt_rc_text(int) { return ""; }
mqtt_kvt::mqtt_kvt(const char* id, const char*, int port, bool clean)
    : mosqpp::mosquittopp(id, clean), port_(port) {}
mqtt_kvt::~mqtt_kvt() {}
int mqtt_kvt::start_mqtt_connection() { return -1; }
int mqtt_kvt::send_message(int*, const char*, const char*) { return 0; }
int mqtt_kvt::send_message_retain(int*, const char*, const char*) { return 0; }
std::string mqtt_kvt::serialize(Json::Value&) { return ""; }
int mqtt_kvt::ping_watchdog() { return 0; }
void mqtt_kvt::close_connection_and_stop_mqtt_thread_blocking() {}
void mqtt_kvt::on_connect(int) {}
void mqtt_kvt::on_disconnect(int) {}
void mqtt_kvt::on_publish(int) {}
void mqtt_kvt::on_message(const struct mosquitto_message*) {}
void mqtt_kvt::derived_on_connect(int) {}
void mqtt_kvt::derived_on_disconnect(int) {}
void mqtt_kvt::derived_on_message(const struct mosquitto_message*) {}
