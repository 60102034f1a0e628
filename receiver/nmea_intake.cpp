// Raw receiver lines: liveness, satellites-in-view groups and the signal quality index.
// Everything here runs on the nmea_parser client's thread, the only feeder of the group.
#include <cctype>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "platform/base/base.h"
#include "platform/gpsd/nmea.h"
#include "platform/sysdb/sysdb.h"
#include "receiver/receiver.h"

namespace {

// Lines at least this long are left out of the group text and the index.
constexpr size_t kMaxGsvLine = 128;
constexpr size_t kGroupBuffer = 1024;
constexpr size_t kGroupLimit = 1020;

// The group's strings go back to the spare list, keeping their buffers.
void clear_lines(std::vector<std::string>& lines, std::vector<std::string>& spare) {
    while (!lines.empty()) {
        spare.push_back(std::move(lines.back()));
        lines.pop_back();
    }
}

void append(std::vector<std::string>& lines, std::vector<std::string>& spare, const char* line) {
    if (spare.empty()) {
        lines.emplace_back(line);
    } else {
        lines.push_back(std::move(spare.back()));
        spare.pop_back();
        lines.back().assign(line);
    }
}

// End of the fields of a line: its '*' or, without a checksum, its end.
size_t fields_end(const std::string& line) {
    const size_t star = line.find('*');
    return star == std::string::npos ? line.size() : star;
}

// Since NMEA 4.10 a GSV line ends with a signal ID after its satellite blocks, which makes
// its field count after the three header fields 4k + 1. Returns the offset of the comma that
// opens that field, or npos when the line has none. The field sits where a satellite number
// would, so the index, which reads only signal-to-noise fields, never takes it.
size_t signal_id_comma(const std::string& line) {
    const size_t end = fields_end(line);
    size_t commas = 0;
    size_t last = std::string::npos;
    for (size_t i = 0; i < end; ++i) {
        if (line[i] == ',') ++commas, last = i;
    }
    return commas >= 4 && (commas - 3) % 4 == 1 ? last : std::string::npos;
}

// A receiver that sends one group per signal (L1 C/A, then L5, ...) would otherwise replace
// the L1 group with a group of the few satellites of another signal. Only groups without a
// signal ID, of all signals (0) or of L1 C/A (1) are stored and indexed.
bool is_l1_group(const std::string& first_line) {
    const size_t comma = signal_id_comma(first_line);
    if (comma == std::string::npos) return true;
    size_t end = fields_end(first_line);
    while (end > comma + 1 && std::isspace(static_cast<unsigned char>(first_line[end - 1]))) --end;
    if (end == comma + 1) return true;
    return end == comma + 2 && (first_line[comma + 1] == '0' || first_line[comma + 1] == '1');
}

// Filler of an empty field of a satellite block: number and elevation "00", azimuth "000",
// signal-to-noise ratio nothing.
const char* filler(int field) {
    switch (field % 4) {
        case 0:
        case 1:
            return "00";
        case 2:
            return "000";
        default:
            return "";
    }
}

// Appends `text` to out[len]; the callers have checked that it fits.
void put(char* out, size_t* len, const char* text) {
    while (*text) out[(*len)++] = *text++;
}

// Normalises one line onto out[*len]: every satellite block filled, four blocks, no signal
// ID, a fresh checksum. False when the group text would not fit its buffer.
bool normalise_line(const std::string& line, char* out, size_t* len) {
    if (*len >= kGroupLimit) return false;
    const size_t start = *len;
    int field = 0;
    const char* text = line.c_str();
    const size_t signal_id = signal_id_comma(line);
    const size_t end = signal_id == std::string::npos ? fields_end(line) : signal_id;
    for (size_t i = 0; i < end; ++i) {
        if (*len >= kGroupLimit) return false;
        char c = text[i];
        if (c == ',') {
            if (field >= 4 && text[i - 1] == ',') put(out, len, filler(field));
            out[(*len)++] = ',';
            ++field;
        } else {
            out[(*len)++] = c;
        }
    }
    for (int f = field + 1; f < 20; ++f) {
        if (*len >= kGroupLimit) return false;
        out[(*len)++] = ',';
        put(out, len, filler(f));
    }
    if (*len + 5 >= kGroupBuffer) return false;
    out[*len] = '\0';
    int sum = calculate_nmea_checksum(out + start);
    int n = std::snprintf(out + *len, kGroupBuffer - *len, "*%02X\r\n", sum & 0xFF);
    if (n != 5) return false;
    *len += 5;
    return true;
}

// Reads a signal-to-noise field [p, end) as a decimal integer; empty or not a number reads
// as 0, and values beyond int saturate.
int read_snr(const char* p, const char* end) {
    while (p < end && (*p == ' ' || *p == '\t')) ++p;
    bool negative = false;
    if (p < end && (*p == '+' || *p == '-')) {
        negative = *p == '-';
        ++p;
    }
    long long value = 0;
    for (; p < end && *p >= '0' && *p <= '9'; ++p) {
        if (value < INT_MAX) value = value * 10 + (*p - '0');
    }
    if (value > INT_MAX) value = INT_MAX;
    return static_cast<int>(negative ? -value : value);
}

void insert_best(int best[4], int value) {
    for (int i = 0; i < 4; ++i) {
        if (value > best[i]) {
            for (int j = 3; j > i; --j) best[j] = best[j - 1];
            best[i] = value;
            return;
        }
    }
}

}  // namespace

void ReceiverIntake::on_nmea_message(char* text) {
    if (!text) return;
    char* p = text;
    while (*p) {
        char* nl = std::strchr(p, '\n');
        if (nl) *nl = '\0';
        if (*p) {
            nm_log(LOG_INFO, "logger:%s", p);
            if (p[0] == '$' && p[1] == 'G' && p[2] == 'P') {
                handle_gp_sentence(p);
            } else if (deadreckon_enabled_.load(std::memory_order_relaxed)) {
                handle_pstm_sentence(db_, p);
            }
        }
        if (!nl) break;
        p = nl + 1;
    }
}

void ReceiverIntake::handle_gp_sentence(const char* line) {
    nmea_timeout_count_.store(0, std::memory_order_relaxed);
    if (std::strncmp(line, "$GPGSV", 6) == 0) collect_gsv_sentence(line);
}

void ReceiverIntake::collect_gsv_sentence(const char* line) {
    // The count and number are single characters at fixed places; a line too short to
    // hold both is not a GSV sentence worth reading.
    if (std::strlen(line) < 10) return;
    const int count = static_cast<unsigned char>(line[7]) - '0';
    const int number = static_cast<unsigned char>(line[9]) - '0';
    if (group_.idle) {
        if (number == 1) start_group(line, count);
        return;
    }
    if (count == group_.total && number == group_.next) {
        append(group_.lines, group_.spare, line);
        if (group_.next == group_.total) {
            complete_group();
        } else {
            ++group_.next;
        }
        return;
    }
    group_.idle = true;
    if (number == 1) start_group(line, count);
}

void ReceiverIntake::start_group(const char* line, int count) {
    group_.next = 2;
    group_.total = count;
    clear_lines(group_.lines, group_.spare);
    group_.idle = false;
    append(group_.lines, group_.spare, line);
    if (count == 1) complete_group();
}

void ReceiverIntake::complete_group() {
    if (is_l1_group(group_.lines.front())) {
        store_gsv_group(db_, group_.lines);
        latest_sqi_.store(store_gps_sqi(db_, group_.lines));
    }
    group_.idle = true;
}

void store_gsv_group(sysdb::Database& db, const std::vector<std::string>& lines) {
    char out[kGroupBuffer];
    size_t len = 0;
    out[0] = '\0';
    for (const std::string& line : lines) {
        if (line.size() >= kMaxGsvLine) continue;
        if (!normalise_line(line, out, &len)) return;
    }
    out[len] = '\0';
    db.write_str("GPS", "GPS_NMEA_GPGSV", out);
}

int store_gps_sqi(sysdb::Database& db, const std::vector<std::string>& lines) {
    int best[4] = {0, 0, 0, 0};
    for (const std::string& line : lines) {
        if (line.empty() || line.size() >= kMaxGsvLine) continue;
        const char* text = line.c_str();
        const char* field_start = text;
        int separators = 0;
        for (const char* p = text; *p; ++p) {
            if (*p != ',' && *p != '*') continue;
            ++separators;
            if (separators >= 8 && separators <= 20 && separators % 4 == 0) {
                insert_best(best, read_snr(field_start, p));
            }
            field_start = p + 1;
        }
    }
    double q =
        ((static_cast<double>(best[0]) + best[1] + best[2] + best[3]) * 0.25 - 20.0) * 100.0 / 30.0;
    if (q < 0.0) q = 0.0;
    if (q > 100.0) q = 100.0;
    db.write_int("GPS", "GPS_SQI", static_cast<int>(q));
    return static_cast<int>(q);
}
