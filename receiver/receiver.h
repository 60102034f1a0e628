// Receiver sentence intake: raw receiver lines, satellites-in-view groups, signal quality and
// the receiver's proprietary "$PSTM" sentences.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

namespace sysdb {
class Database;
}

// The receiver's raw lines as the nmea_parser client delivers them, on that client's thread
// (the only feeder of the group); the counters are read by the main thread.
class ReceiverIntake {
public:
    // Where the groups, the index and the proprietary values go.
    explicit ReceiverIntake(sysdb::Database& db) : db_(db) {}

    // The client's message callback: splits the block in place.
    void on_nmea_message(char* text);
    void handle_gp_sentence(const char* line);
    void collect_gsv_sentence(const char* line);

    // With dead reckoning on, lines other than "$GP" go to the proprietary handlers.
    void set_deadreckon_enabled(bool on) { deadreckon_enabled_.store(on); }
    // Polling timeouts of the client since the last "$GP" line: the receiver's silence.
    void count_timeout() { nmea_timeout_count_.fetch_add(1); }
    int32_t nmea_timeout_count() const { return nmea_timeout_count_.load(); }
    void reset_nmea_timeout_count() { nmea_timeout_count_.store(0); }
    // The index of the last stored group (0-100), -1 before the first.
    int latest_gps_sqi() const { return latest_sqi_.load(); }

private:
    struct GsvGroup {
        std::vector<std::string> lines;
        // Strings of earlier groups, kept with their buffers so that a steady stream of
        // groups does not allocate.
        std::vector<std::string> spare;
        int next = 0;
        int total = 0;
        bool idle = true;
    };
    void start_group(const char* line, int count);
    void complete_group();

    sysdb::Database& db_;
    GsvGroup group_;
    std::atomic<int32_t> nmea_timeout_count_{0};
    std::atomic<bool> deadreckon_enabled_{false};
    std::atomic<int> latest_sqi_{-1};
};

// A complete group's normalised text under "GPS_NMEA_GPGSV", and its signal quality index
// under "GPS_SQI" (returned too).
void store_gsv_group(sysdb::Database& db, const std::vector<std::string>& lines);
int store_gps_sqi(sysdb::Database& db, const std::vector<std::string>& lines);

// Picks the proprietary handler by the line's prefix; other lines are ignored.
void handle_pstm_sentence(sysdb::Database& db, const char* line);
void handle_pstm_antenna_status(sysdb::Database& db, const char* line);
void handle_pstm_agps_status(sysdb::Database& db, const char* line);
void handle_pstm_dr_cal(sysdb::Database& db, const char* line);
void handle_pstm_dr_pva(sysdb::Database& db, const char* line);
void handle_pstm_dr_senmsg_14(sysdb::Database& db, const char* line);
void handle_pstm_dr_confid(sysdb::Database& db, const char* line);
void handle_pstm_dr_gps(sysdb::Database& db, const char* line);
void handle_pstm_dr_ahrs(sysdb::Database& db, const char* line);
void handle_pstm_dr_debug(sysdb::Database& db, const char* line);
// Stores the whole line under "DR"/key.
void store_pstm_raw(sysdb::Database& db, const char* line, const char* key);

// sscanf over a NUL-terminated text for the directives %d %u %x %lf %c %s (with '*' to
// suppress) and literal characters: same acceptance and same count of converted fields, but
// integers out of range saturate instead of being undefined. A format with any other directive
// is a program error: nothing is read and the result is -1.
int scan_fields(const char* input, const char* format, ...) __attribute__((format(scanf, 2, 3)));
