// Placeholder until the platform layer lands.
#include <cstdarg>
#include <cstdio>

#include "platform/gpsd_client.h"
#include "platform/mqtt_kvt.h"
#include "platform/platform.h"
#include "platform/sysdb.h"

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

int sysdb_init(sysdb_context*, int) { return -1; }
int sysdb_txn_start(sysdb_context*, const char*, int) { return -1; }
int sysdb_write_str(sysdb_context*, const char*, const char*, int) { return -1; }
int sysdb_write_int(sysdb_context*, const char*, int, int) { return -1; }
int sysdb_write_dbl(sysdb_context*, const char*, int, double) { return -1; }
int sysdb_write_json(sysdb_context*, const char*, const Json::Value&, int) { return -1; }
int sysdb_txn_end(sysdb_context*) { return -1; }
int sysdb_exit(sysdb_context*) { return -1; }
int sysdb_namedb_read_int(void*, const char*, const char*, int*) { return -1; }
int sysdb_namedb_read_dbl(void*, const char*, const char*, double*) { return -1; }
int sysdb_namedb_read_str(void*, const char*, const char*, char*, size_t) { return -1; }
int sysdb_namedb_write_int(void*, const char*, const char*, int, int) { return -1; }
int sysdb_namedb_write_dbl(void*, const char*, const char*, double, int) { return -1; }
int sysdb_namedb_write_str(void*, const char*, const char*, const char*, int) { return -1; }
int sysdb_namedb_write_json(void*, const char*, const char*, const Json::Value&, int) { return -1; }
int sysdb_namedb_del(void*, const char*, const char*) { return -1; }
int sysdb_namedb_read_value(void*, const char*, const char*, sysdb_value*) { return -1; }
int sysdb_namedb_list(void*, const char*, std::vector<std::pair<std::string, sysdb_value>>*) {
    return -1;
}
const char* sysdb_path() { return ""; }
void sysdb_reset_thread_connection() {}

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

gpsdClient::gpsdClient(const char* name) : name_(name) {}
gpsdClient::~gpsdClient() {}
void gpsdClient::set_polling_timeout(unsigned int) {}
void gpsdClient::set_on_msg_callback_fkt(msg_callback) {}
void gpsdClient::set_timeout_callback_fkt(timeout_callback) {}
void gpsdClient::set_gpsd_stream_flags(unsigned int) {}
int gpsdClient::get_gpsd_forever_non_blocking() { return -1; }
void gpsdClient::stop_loop() {}
int restart_gps_engine() { return -1; }
