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
// Callback of the json_parser client: splits the block into lines, reassembles reports cut
// at block boundaries, stores SKY and complete TPV reports and broadcasts SKY and TPV.
void on_gpsd_json(char* text);
bool parse_gpsd_object(const std::string& candidate, Json::Value* out);
// Tests: the buffered fragment, and emptying it.
const std::string& partial_json_buffer();
void partial_json_clear();

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
