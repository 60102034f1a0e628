// Reassembly of gpsd's JSON stream: one report per line, lines possibly cut at the end of a
// received block and completed by the next one.
#include <string.h>

#include <exception>
#include <string>

#include "intake/intake.h"
#include "platform/base/base.h"
#include "platform/clock/clock.h"

namespace {

const char* const kWhitespace = " \t\r\n";

bool is_complete_tpv(const Json::Value& report) {
    // "alt" is not required: gpsd leaves it out of every 2D fix and of a 3D fix whose GGA
    // comes a cycle after its RMC.
    static const char* const kRequired[] = {"lat", "lon", "mode", "speed", "time"};
    for (const char* member : kRequired) {
        if (!report.isMember(member)) return false;
    }
    return true;
}

}  // namespace

void JsonIntake::dispatch(const Json::Value& report) {
    if (!report.isMember("class")) {
        nm_log(LOG_NOTICE, "gpsd JSON missing class, skipping");
        return;
    }
    // A non-string "class" compares unequal to both names and is dropped.
    const Json::Value& cls = report["class"];
    if (cls == "SKY") {
        state_.fixstate_store("SKY", report);
        if (sink_) sink_("SKY", report);
    } else if (cls == "TPV") {
        if (is_complete_tpv(report)) state_.fixstate_store("TPV", report);
        if (sink_) sink_("TPV", report);
    }
}

void JsonIntake::handle_line(const std::string& line) {
    nm_log(LOG_DEBUG, "gpsd:%s", line.c_str());

    Json::Value report;
    if (partial_json_.empty()) {
        if (parse_gpsd_object(line, &report)) {
            dispatch(report);
            return;
        }
        partial_json_ = line;
    } else {
        std::string candidate = partial_json_ + line;
        if (parse_gpsd_object(candidate, &report)) {
            partial_json_.clear();
            dispatch(report);
            return;
        }
        // A fragment whose continuation never came (or that never began an object) would
        // otherwise swallow every following report until the buffer overflows. A line that is
        // a whole report by itself (with a "class": a real continuation's middle piece can be
        // an object too) shows the fragment is stale.
        if (parse_gpsd_object(line, &report) && report.isMember("class")) {
            nm_log(LOG_NOTICE, "Dropping stale partial gpsd JSON (%zu characters)",
                   partial_json_.size());
            partial_json_.clear();
            dispatch(report);
            return;
        }
        partial_json_.swap(candidate);
    }

    if (partial_json_.size() > PARTIAL_JSON_LIMIT) {
        nm_log(LOG_NOTICE, "Failed to parse gpsd JSON objects (buffer overflow), clearing");
        partial_json_.clear();
        partial_json_.shrink_to_fit();
    } else {
        nm_log(LOG_DEBUG, "Failed to parse gpsd JSON objects, buffering partial");
    }
}

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

void JsonIntake::on_gpsd_json(char* text) {
    if (text == nullptr) return;
    char* save = nullptr;
    for (char* line = strtok_r(text, "\n", &save); line != nullptr;
         line = strtok_r(nullptr, "\n", &save)) {
        // This runs on a library thread: nothing may escape into it.
        run_guarded("on_gpsd_json", [&] { handle_line(line); });
    }
}
