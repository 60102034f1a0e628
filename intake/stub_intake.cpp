// Placeholder until the intake lands.
#include "intake/intake.h"
std::atomic<bool> gps_valid{false};
std::atomic<int32_t> fix_lat_e6{0};
std::atomic<int32_t> fix_lon_e6{0};
static std::string g_partial;
void on_gpsd_json(char*) {}
bool parse_gpsd_object(const std::string&, Json::Value*) { return false; }
const std::string& partial_json_buffer() { return g_partial; }
void partial_json_clear() {}
void fixstate_store(const char*, const Json::Value&) {}
Json::Value fixstate_snapshot() { return Json::Value(); }
void process_gps_data(Json::Value&, gpsMqtt*) {}
void set_gps_valid(bool) {}
void intake_reset_for_test() {}
