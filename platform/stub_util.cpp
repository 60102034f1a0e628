// Placeholder until the platform utilities land.
#include <cstdarg>
#include <cstdio>

#include "platform/mqtt_kvt.h"
#include "platform/platform.h"

void log_open(const char*, int, const char*, bool) {}
void log_close() {}
void log_set_verbose(bool) {}
bool log_is_verbose() { return true; }
static log_hook_fn g_hook = nullptr;
void log_set_hook(log_hook_fn h) { g_hook = h; }
void nm_log(int prio, const char* fmt, ...) {
    char buf[1024];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    if (g_hook) g_hook(prio, buf);
}
std::string navmon_path(const char* p) { return p; }
double fwtime_dbl(double) { return 0; }
unsigned int fwtime_bt_s(unsigned int) { return 0; }
void fwtime_set_source(clock_source_fn) {}
int cmd_get_value_json(const char*, Json::Value&) { return -1; }
int cmd_get_value_bool(const char*, bool*) { return -1; }
int config_get_int(const Json::Value&, int*, const char*) { return 0; }
int config_get_bool(const Json::Value&, bool*, const char*) { return 0; }
const char* platform_config_path() { return ""; }
int create_pidfile(const char*) { return -1; }
int check_pidfile(const char*) { return -1; }
int delete_file(const char*) { return -1; }
int touch_file(const char*) { return -1; }
int leds_gps_status(int) { return -1; }
int notify_ready() { return 0; }
int notify_watchdog() { return 0; }
int calculate_nmea_checksum(const char*) { return 0; }
ScopedSignalBlock::ScopedSignalBlock() {}
ScopedSignalBlock::~ScopedSignalBlock() {}

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

