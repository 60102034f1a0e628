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
void handle_pstm_sentence(const char* line);
// Tests: back to an idle group.
void receiver_reset_for_test();
