// Reassembly of gpsd's JSON stream: one report per line, lines possibly cut at the end of a
// received block and completed by the next one.
#include <string.h>

#include <atomic>
#include <exception>
#include <string>

#include "core/core.h"
#include "intake/intake.h"
#include "mqtt/gps_mqtt.h"
#include "platform/platform.h"

namespace {

// Runs on the json_parser client's thread only, so it needs no lock. Kept across sessions.
std::string partial_json;

std::atomic<intake_broadcast_hook_fn> broadcast_hook{nullptr};

const char* const kWhitespace = " \t\r\n";

void broadcast(const char* type, const Json::Value& report) {
    intake_broadcast_hook_fn hook = broadcast_hook.load();
    if (hook != nullptr) {
        hook(type, report);
        return;
    }
    gpsMqtt* client = gps_mqtt_client.load();
    if (client != nullptr) client->broadcast_gps_data(type, report);
}

// "alt" is not required: gpsd leaves it out of every 2D fix, and out of a 3D fix whose GGA
// has not come yet; the writer keeps the last altitude when it is missing.
bool is_complete_tpv(const Json::Value& report) {
    static const char* const kRequired[] = {"lat", "lon", "mode", "speed", "time"};
    for (const char* member : kRequired) {
        if (!report.isMember(member)) return false;
    }
    return true;
}

void dispatch(const Json::Value& report) {
    if (!report.isMember("class")) {
        nm_log(LOG_NOTICE, "gpsd JSON missing class, skipping");
        return;
    }
    // A non-string "class" compares unequal to both names and is dropped.
    const Json::Value& cls = report["class"];
    if (cls == "SKY") {
        fixstate_store("SKY", report);
        broadcast("SKY", report);
    } else if (cls == "TPV") {
        if (is_complete_tpv(report)) fixstate_store("TPV", report);
        broadcast("TPV", report);
    }
}

// A line that is a whole report by itself; used to tell a stale fragment from one that is
// still waiting for its continuation.
bool is_standalone_report(const std::string& line, Json::Value* out) {
    return parse_gpsd_object(line, out) && out->isMember("class");
}

void handle_line(const std::string& line) {
    nm_log(LOG_DEBUG, "gpsd:%s", line.c_str());

    Json::Value report;
    if (partial_json.empty()) {
        if (parse_gpsd_object(line, &report)) {
            dispatch(report);
            return;
        }
        partial_json = line;
    } else {
        std::string candidate = partial_json + line;
        if (parse_gpsd_object(candidate, &report)) {
            partial_json.clear();
            dispatch(report);
            return;
        }
        // A fragment whose continuation never came (or that never began an object) would
        // otherwise swallow every following report until the buffer overflows.
        if (is_standalone_report(line, &report)) {
            nm_log(LOG_NOTICE, "Dropping stale partial gpsd JSON (%zu characters)",
                   partial_json.size());
            partial_json.clear();
            dispatch(report);
            return;
        }
        partial_json.swap(candidate);
    }

    if (partial_json.size() > PARTIAL_JSON_LIMIT) {
        nm_log(LOG_NOTICE, "Failed to parse gpsd JSON objects (buffer overflow), clearing");
        partial_json.clear();
        partial_json.shrink_to_fit();
    } else {
        nm_log(LOG_DEBUG, "Failed to parse gpsd JSON objects, buffering partial");
    }
}

}  // namespace

bool parse_gpsd_object(const std::string& candidate, Json::Value* out) {
    if (out == nullptr) return false;
    size_t first = candidate.find_first_not_of(kWhitespace);
    if (first == std::string::npos) return false;
    size_t last = candidate.find_last_not_of(kWhitespace);
    if (candidate[first] != '{' || candidate[last] != '}') return false;
    // gpsd's reports nest three levels at most: anything much deeper is garbage.
    if (!json_text_acceptable(candidate.data(), candidate.size(), GPSD_JSON_MAX_DEPTH, false))
        return false;

    Json::Reader reader(Json::Features::strictMode());
    try {
        const char* begin = candidate.data();
        if (!reader.parse(begin, begin + candidate.size(), *out, false)) return false;
    } catch (const std::exception&) {
        // The reader's own depth limit throws; the pre-check makes that unreachable, but a
        // parse failure must never leave this function as an exception.
        return false;
    }
    if (!out->isObject()) return false;
    (*out)["ts"] = fwtime_dbl(-1.0);
    return true;
}

void on_gpsd_json(char* text) {
    if (text == nullptr) return;
    char* save = nullptr;
    for (char* line = strtok_r(text, "\n", &save); line != nullptr;
         line = strtok_r(nullptr, "\n", &save)) {
        // This runs on a library thread: nothing may escape into it.
        run_guarded("on_gpsd_json", [&] { handle_line(line); });
    }
}

const std::string& partial_json_buffer() {
    return partial_json;
}

void partial_json_clear() {
    partial_json.clear();
}

void intake_set_broadcast_hook(intake_broadcast_hook_fn hook) {
    broadcast_hook.store(hook);
}
