// XTRA assistance data: asks the file-pull service for a fresh file when the one on disk is
// missing or older than the configured interval, and matches the service's acknowledgement.
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdint>
#include <string>

#include "mqtt/gps_mqtt.h"
#include "platform/base/base.h"

bool gpsMqtt::_get_xtra_interval(int* interval) {
    Json::Value gps;
    if (config_.cmd_get_value_json("gps.gps", gps) != 0) return false;
    bool enabled = false;
    if (config_get_bool(gps, &enabled, "xtra_enable") == 0 || !enabled) return false;
    bool loading = false;
    if (config_get_bool(gps, &loading, "xtra_loading.enable") == 0 || !loading) {
        nm_log(LOG_ERR, "_get_xtra_interval: required parameters are not in the config");
        return false;
    }
    return config_get_int(gps, interval, "xtra_loading.interval") != 0;
}

bool gpsMqtt::_is_xtra_update_due() {
    int interval = 0;
    if (!_get_xtra_interval(&interval)) return false;
    struct stat st;
    // A file that vanished between the two calls is as missing as one never there.
    if (access(xtra_file.c_str(), F_OK) != 0 || stat(xtra_file.c_str(), &st) != 0) return true;
    // 64-bit: days * 86400 overflows 32 bits past about 68 years of interval.
    const int64_t renew_at = static_cast<int64_t>(st.st_ctime) + int64_t{interval} * 86400;
    return static_cast<int64_t>(xtra_clock()) > renew_at;
}

void gpsMqtt::request_xtra_update() {
    std::unique_lock<std::mutex> lock(xtra_mutex_);
    // A request still unanswered one check later is given up: an acknowledgement that never
    // comes must not block every later request for the life of the process.
    if (xtra_pending.load()) {
        nm_log(LOG_NOTICE, "XTRA request %u expired without acknowledgement",
               static_cast<unsigned int>(xtra_session.load()));
        xtra_pending.store(false);
        xtra_session.store(0);
    }
    if (!_is_xtra_update_due()) return;
    Json::Value loading;
    if (config_.cmd_get_value_json("gps.gps.xtra_loading", loading) != 0) {
        nm_log(LOG_ERR, "error loading xtra config");
        return;
    }
    const int64_t now = static_cast<int64_t>(xtra_clock());
    const int session = now > INT_MAX ? INT_MAX : now < INT_MIN ? INT_MIN : static_cast<int>(now);

    Json::Value request(Json::objectValue);
    if (loading.isObject() && loading.isMember("location")) request["url"] = loading["location"];
    request["filepath"] = XTRA_FILE_PATH;
    request["session"] = session;

    // Session before pending, both before publishing: the acknowledgement can only follow
    // the publication and must find both set.
    xtra_session.store(session);
    const std::string text = serialize(request);
    xtra_pending.store(true);
    lock.unlock();  // the acknowledgement takes it; it can only follow the publication
    publish_out(FILEPULL_APPLY_TOPIC, text, false);
}

void gpsMqtt::handle_filepull_ack(const Json::Value& ack) {
    // Stale acknowledgements (nothing outstanding) and malformed ones change nothing.
    if (!xtra_pending.load() || !ack.isObject()) return;
    if (!ack.isMember("session") || !ack.isMember("rc")) return;
    const Json::Value& session = ack["session"];
    const Json::Value& rc = ack["rc"];
    {
        std::lock_guard<std::mutex> lock(xtra_mutex_);
        if (!session.isInt() || session.asInt() != xtra_session.load()) return;
        if (xtra_ack_matched) xtra_ack_matched();
        xtra_session.store(0);
        xtra_pending.store(false);
    }
    // The service answered this request: a code that is not a whole number is a failure too.
    if (!rc.isInt()) {
        nm_log(LOG_ERR, "Failed to update the XTRA file.  rc: %s, session: %d",
               compact_json(rc).c_str(), session.asInt());
    } else if (rc.asInt() != KVT_MQTT_RC_OK) {
        nm_log(LOG_ERR, "Failed to update the XTRA file.  rc: %d, session: %d", rc.asInt(),
               session.asInt());
    }
}
