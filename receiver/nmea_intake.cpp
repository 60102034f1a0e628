// Raw receiver lines: liveness, satellites-in-view groups and the signal quality index.
// Everything here runs on the nmea_parser client's thread, the only feeder of the group.
#include <atomic>
#include <climits>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "core/core.h"
#include "platform/platform.h"
#include "platform/sysdb.h"
#include "receiver/receiver.h"

namespace {

// Lines at least this long are left out of the group text and the index.
constexpr size_t kMaxGsvLine = 128;
constexpr size_t kGroupBuffer = 1024;
constexpr size_t kGroupLimit = 1020;

struct GsvGroup {
    std::vector<std::string> lines;
    // Strings of earlier groups, kept with their buffers so that a steady stream of groups
    // does not allocate.
    std::vector<std::string> spare;
    int next = 0;
    int total = 0;
    bool idle = true;

    void clear_lines() {
        while (!lines.empty()) {
            spare.push_back(std::move(lines.back()));
            lines.pop_back();
        }
    }

    void append(const char* line) {
        if (spare.empty()) {
            lines.emplace_back(line);
        } else {
            lines.push_back(std::move(spare.back()));
            spare.pop_back();
            lines.back().assign(line);
        }
    }
};

GsvGroup gsv_group;
std::atomic<int> last_sqi{-1};

void complete_group() {
    store_gsv_group(gsv_group.lines);
    store_gps_sqi(gsv_group.lines);
    gsv_group.idle = true;
}

void start_group(const char* line, int count) {
    gsv_group.next = 2;
    gsv_group.total = count;
    gsv_group.clear_lines();
    gsv_group.idle = false;
    gsv_group.append(line);
    if (count == 1) complete_group();
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

// Normalises one line onto out[*len]: every satellite block filled, four blocks, a fresh
// checksum. False when the group text would not fit its buffer.
bool normalise_line(const std::string& line, char* out, size_t* len) {
    if (*len >= kGroupLimit) return false;
    const size_t start = *len;
    int field = 0;
    const char* text = line.c_str();
    for (size_t i = 0; text[i] != '\0' && text[i] != '*'; ++i) {
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

void on_nmea_message(char* text) {
    if (!text) return;
    char* p = text;
    while (*p) {
        char* nl = std::strchr(p, '\n');
        if (nl) *nl = '\0';
        if (*p) {
            nm_log(LOG_INFO, "logger:%s", p);
            if (p[0] == '$' && p[1] == 'G' && p[2] == 'P') {
                handle_gp_sentence(p);
            } else if (deadreckon_enabled.load(std::memory_order_relaxed)) {
                handle_pstm_sentence(p);
            }
        }
        if (!nl) break;
        p = nl + 1;
    }
}

void handle_gp_sentence(const char* line) {
    nmea_timeout_count.store(0, std::memory_order_relaxed);
    if (std::strncmp(line, "$GPGSV", 6) == 0) collect_gsv_sentence(line);
}

void collect_gsv_sentence(const char* line) {
    // The count and number are single characters at fixed places; a line too short to
    // hold both is not a GSV sentence worth reading.
    if (std::strlen(line) < 10) return;
    const int count = static_cast<unsigned char>(line[7]) - '0';
    const int number = static_cast<unsigned char>(line[9]) - '0';
    if (gsv_group.idle) {
        if (number == 1) start_group(line, count);
        return;
    }
    if (count == gsv_group.total && number == gsv_group.next) {
        gsv_group.append(line);
        if (gsv_group.next == gsv_group.total) {
            complete_group();
        } else {
            ++gsv_group.next;
        }
        return;
    }
    gsv_group.idle = true;
    if (number == 1) start_group(line, count);
}

void store_gsv_group(const std::vector<std::string>& lines) {
    char out[kGroupBuffer];
    size_t len = 0;
    out[0] = '\0';
    for (const std::string& line : lines) {
        if (line.size() >= kMaxGsvLine) continue;
        if (!normalise_line(line, out, &len)) return;
    }
    out[len] = '\0';
    std::lock_guard<std::mutex> lock(sysdb_mutex);
    sysdb_namedb_write_str(nullptr, "GPS", "GPS_NMEA_GPGSV", out, 0);
}

void store_gps_sqi(const std::vector<std::string>& lines) {
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
    last_sqi.store(static_cast<int>(q));
    std::lock_guard<std::mutex> lock(sysdb_mutex);
    sysdb_namedb_write_int(nullptr, "GPS", "GPS_SQI", static_cast<int>(q), 0);
}

int latest_gps_sqi() {
    return last_sqi.load();
}

void receiver_reset_for_test() {
    last_sqi.store(-1);
    gsv_group.clear_lines();
    gsv_group.spare.clear();
    gsv_group.next = 0;
    gsv_group.total = 0;
    gsv_group.idle = true;
}
