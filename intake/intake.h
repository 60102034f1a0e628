// gpsd report intake: reassembly of gpsd's JSON stream, FixState and the per-pass validity
// and time processing.
#pragma once

#include <json/json.h>
#include <time.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

class GpsLed;

// FixState: the latest gpsd reports and verdict, filled on the json_parser thread and read by
// the main thread's pass, which also judges validity and runs the fix clock. All of it is kept
// across sessions.
class FixState {
public:
    // Replaces one member with a copy of the value; any thread.
    void fixstate_store(const char* member, const Json::Value& value);
    // Told of every store once it is done, on the storing thread; set before the first store.
    using StoreListener = std::function<void(const char* member, const Json::Value& value)>;
    void set_store_listener(StoreListener listener) { listener_ = std::move(listener); }
    // A copy of the whole state (null before the first store); any thread.
    Json::Value fixstate_snapshot();

    // Main thread, once per pass: decides validity, runs the fix clock, adds "validity",
    // "iso8601", "ts", "calc_hhmmss" and "calc_ddmmyy" to the snapshot and drives the LED.
    void process_gps_data(Json::Value& snapshot, GpsLed* led);
    // Records validity, logging a change (and the first call whatever it says).
    void set_gps_valid(bool valid);
    bool gps_valid() const { return gps_valid_.load(); }
    // Session start: not valid, without a word.
    void clear_gps_valid() { gps_valid_.store(false); }

private:
    StoreListener listener_;
    std::mutex mutex_;      // guards fixstate_ only
    Json::Value fixstate_;  // null until the first store; never cleared
    std::atomic<bool> gps_valid_{false};
    // Position of the last valid pass in millionths of a degree, for the validity log line.
    std::atomic<int32_t> fix_lat_e6_{0};
    std::atomic<int32_t> fix_lon_e6_{0};
    // Main thread only.
    uint8_t stale_passes_ = 0;  // passes since the last fresh report, held at the grace
    double last_tpv_ts_ = 0.0;
    struct tm fix_time_ {};
    bool clock_from_system_ = true;  // no fresh fix yet: invalid passes show the system clock
    bool force_valid_log_ = true;
};

// Where every SKY and TPV report goes besides FixState: the location broadcast. Empty: nowhere.
using ReportSink = std::function<void(const char* type, const Json::Value& report)>;

// Reassembly of gpsd's JSON stream on the json_parser client's thread: one report per line,
// lines possibly cut at the end of a received block and completed by the next one.
class JsonIntake {
public:
    JsonIntake(FixState& state, ReportSink sink) : state_(state), sink_(std::move(sink)) {}
    // The client's message callback: splits the block into lines, stores SKY and complete TPV
    // reports and hands every SKY and TPV report to the sink.
    void on_gpsd_json(char* text);
    // The fragment waiting for its continuation; kept across sessions.
    const std::string& partial_json() const { return partial_json_; }

private:
    void handle_line(const std::string& line);
    void dispatch(const Json::Value& report);

    FixState& state_;
    ReportSink sink_;
    std::string partial_json_;
};

// Longest buffered fragment; a longer one is discarded.
#define PARTIAL_JSON_LIMIT 8192
// Candidates nested deeper than this are rejected before they reach the JSON reader.
#define GPSD_JSON_MAX_DEPTH 64
// True when the candidate holds one JSON object (strict mode); it is then in *out with "ts" set
// to its reception time.
bool parse_gpsd_object(const std::string& candidate, Json::Value* out);
