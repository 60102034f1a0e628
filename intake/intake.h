// gpsd report intake: reassembly of gpsd's JSON stream, FixState and the per-pass validity
// and time processing.
#pragma once

#include <json/json.h>

#include <atomic>
#include <cstdint>
#include <string>

class gpsMqtt;

// ---- JSON stream reassembly (intake/json_stream.cpp) ------------------------------------
#define PARTIAL_JSON_LIMIT 8192
// Candidates nested deeper than this are rejected before they reach the JSON reader.
#define GPSD_JSON_MAX_DEPTH 64
// Callback of the json_parser client: splits the block into lines, reassembles reports cut
// at block boundaries, stores SKY and complete TPV reports and broadcasts SKY and TPV.
void on_gpsd_json(char* text);
bool parse_gpsd_object(const std::string& candidate, Json::Value* out);
// Tests: the buffered fragment, and emptying it.
const std::string& partial_json_buffer();
void partial_json_clear();
// Tests: receives the broadcasts instead of the gpsMqtt client while set (nullptr = client).
using intake_broadcast_hook_fn = void (*)(const char* type, const Json::Value& report);
void intake_set_broadcast_hook(intake_broadcast_hook_fn hook);

// ---- FixState and processing (intake/fix_state.cpp) -------------------------------------
extern std::atomic<bool> gps_valid;
extern std::atomic<int32_t> fix_lat_e6;
extern std::atomic<int32_t> fix_lon_e6;

void fixstate_store(const char* member, const Json::Value& value);
Json::Value fixstate_snapshot();
void process_gps_data(Json::Value& snapshot, gpsMqtt* client);
void set_gps_valid(bool valid);
// Tests: back to the state of a freshly started process.
void intake_reset_for_test();
