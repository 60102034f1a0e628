// Receiver sentence intake: raw receiver lines, satellites-in-view groups, signal quality and
// the receiver's proprietary "$PSTM" sentences.
#pragma once

#include <string>
#include <vector>

// Callback of the nmea_parser client; splits the block in place.
void on_nmea_message(char* text);
void handle_gp_sentence(const char* line);
void collect_gsv_sentence(const char* line);
void store_gsv_group(const std::vector<std::string>& lines);
void store_gps_sqi(const std::vector<std::string>& lines);
// The index of the last complete group (0-100), -1 before the first.
int latest_gps_sqi();
void handle_pstm_sentence(const char* line);
// Tests: back to an idle group.
void receiver_reset_for_test();

// Proprietary sentence handlers, picked by handle_pstm_sentence from the line's prefix.
void handle_pstm_antenna_status(const char* line);
void handle_pstm_agps_status(const char* line);
void handle_pstm_dr_cal(const char* line);
void handle_pstm_dr_pva(const char* line);
void handle_pstm_dr_senmsg_14(const char* line);
void handle_pstm_dr_confid(const char* line);
void handle_pstm_dr_gps(const char* line);
void handle_pstm_dr_ahrs(const char* line);
void handle_pstm_dr_debug(const char* line);
// Stores the whole line under "DR"/key.
void store_pstm_raw(const char* line, const char* key);

// sscanf over a NUL-terminated text for the directives %d %u %x %lf %c %s (with '*' to
// suppress) and literal characters: same acceptance and same count of converted fields, but
// integers out of range saturate instead of being undefined.
int scan_fields(const char* input, const char* format, ...) __attribute__((format(scanf, 2, 3)));
