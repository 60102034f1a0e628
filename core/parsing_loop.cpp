// The parsing loop: the body of a GPS session. Two gpsd connections feed the intake on their
// own threads while this (main) thread supervises gpsd and runs a processing pass per receiver
// epoch, shortly after its TPV (about once a second).
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <string>

#include "core/core.h"

namespace {

constexpr unsigned int kPollingTimeoutUsec = 15000000;
constexpr unsigned int kNmeaStreamFlags = 0x81;  // WATCH_ENABLE | WATCH_RAW
constexpr unsigned int kJsonStreamFlags = 0x11;  // WATCH_ENABLE | WATCH_JSON
constexpr int kXtraCheckPasses = 900;
constexpr int32_t kSilentTimeouts = 4;  // more than this: the receiver's engine is restarted

void setup_gpsd_client(gpsdClient& client, unsigned int timeout, gpsdClient::msg_callback on_msg,
                       gpsdClient::timeout_callback on_timeout, unsigned int flags) {
    client.set_polling_timeout(timeout);
    if (on_msg) client.set_on_msg_callback_fkt(std::move(on_msg));
    if (on_timeout) client.set_timeout_callback_fkt(std::move(on_timeout));
    client.set_gpsd_stream_flags(flags);
}

// What `systemctl status` shows during a session, e.g. "3D fix, 9/21 satellites, HDOP 0.9,
// SQI 65": the published fix record's own figures.
std::string fix_summary(bool valid, const Json::Value& fix, int sqi) {
    if (!valid || !fix.isObject()) return "no fix";
    const int mode = fix.get("gpsdMode", 0).asInt();
    char text[128];
    int n = snprintf(text, sizeof text, "%s, %u/%u satellites, HDOP %.1f",
                     mode >= 3   ? "3D fix"
                     : mode == 2 ? "2D fix"
                                 : "fix",
                     fix.get("nSatsInUse", 0).asUInt(), fix.get("nSatellites", 0).asUInt(),
                     fix.get("hdop", 99.0).asDouble());
    if (sqi >= 0 && n > 0 && static_cast<size_t>(n) < sizeof text)
        snprintf(text + n, sizeof text - n, ", SQI %d", sqi);
    return text;
}

}  // namespace

void Navmon::check_gpsd_client(gpsdClient& client) {
    if (client.gpsd_connected()) return;
    nm_log(LOG_NOTICE, "gpsd client %s disconnected, retrying...", client.name());
    client.stop_loop();
    client.get_gpsd_forever_non_blocking();
    waits_->sleep(2);
}

bool Navmon::gpsd_alive() {
    int pid = check_pidfile(env_.path(GPSD_PIDFILE).c_str());
    if (pid > 0 && kill(pid, 0) == 0) return true;
    nm_log(LOG_NOTICE, "gpsd (%d) exited! Restarting gpsd!", pid);
    return false;
}

void Navmon::run_processing_pass() {
    if (receiver_.nmea_timeout_count() > kSilentTimeouts) {
        if (engine_.restart_gps_engine() == 0) receiver_.reset_nmea_timeout_count();
    }

    Json::Value snapshot = fix_state_.fixstate_snapshot();
    run_guarded("process_gps_data", [&] { fix_state_.process_gps_data(snapshot, &led_); });
    run_guarded("saveGpsDataSysdb", [&] { writer_.saveGpsDataSysdb(snapshot); });
    run_guarded("run_processing_pass", [&] {
        if (log_is_verbose()) nm_log(LOG_DEBUG, "GPS:%s", compact_json(snapshot).c_str());
        if (++xtra_pass_count_ >= kXtraCheckPasses) {
            xtra_pass_count_ = 0;
            if (mqtt_ != nullptr) mqtt_->request_xtra_update();
        }
        watchdog_.kick();
        notify_status(
            fix_summary(fix_state_.gps_valid(), writer_.fix_record(), receiver_.latest_gps_sqi())
                .c_str());
    });
}

bool Navmon::wait_for_pass() {
    for (;;) {
        const double due = pacer_.due(), now = waits_->now();
        if (now >= due) {
            // Taken before the snapshot, so that a report stored during the pass is the next
            // pass's.
            pacer_.ran(now);
            return true;
        }
        if (waits_->wait(due, true) == Waits::SIGNAL) return false;
    }
}

int Navmon::run_parsing_loop() {
    auto nmea_parser = std::make_unique<gpsdClient>("nmea_parser", env_.gpsd_host, env_.gpsd_port);
    auto json_parser = std::make_unique<gpsdClient>("json_parser", env_.gpsd_host, env_.gpsd_port);
    setup_gpsd_client(
        *nmea_parser, kPollingTimeoutUsec, [this](char* text) { receiver_.on_nmea_message(text); },
        [this] { receiver_.count_timeout(); }, kNmeaStreamFlags);
    setup_gpsd_client(
        *json_parser, kPollingTimeoutUsec, [this](char* text) { json_intake_.on_gpsd_json(text); },
        nullptr, kJsonStreamFlags);
    pacer_.start(waits_->now());
    nmea_parser->get_gpsd_forever_non_blocking();
    json_parser->get_gpsd_forever_non_blocking();
    if (mqtt_ != nullptr) mqtt_->set_processing_active(true);
    led_.update(false);
    fix_state_.clear_gps_valid();
    notify_status("no fix");

    while (!need_to_quit.load()) {
        if (!svc_req()) break;
        const bool due = wait_for_pass();
        if (access(env_.path(GPS_FLASHING_MARKER).c_str(), F_OK) == 0) {
            nm_log(LOG_NOTICE, "Exiting due to GPS module update pending");
            break;
        }
        if (!due) continue;  // a signal: its flags first
        if (gpsd_alive()) {
            check_gpsd_client(*nmea_parser);
            check_gpsd_client(*json_parser);
            run_processing_pass();
        } else {
            json_parser->stop_loop();
            nmea_parser->stop_loop();
            start_gpsd();
            waits_->sleep(4);
            nmea_parser->get_gpsd_forever_non_blocking();
            json_parser->get_gpsd_forever_non_blocking();
            waits_->sleep(2);
            pacer_.start(waits_->now());  // the clients start anew, as at the session's start
        }
    }

    json_parser.reset();
    nmea_parser.reset();
    nm_log(LOG_NOTICE, "Parsing loop exited (need_to_quit=%d svc_req=%d)",
           need_to_quit.load() ? 1 : 0, mqtt_ == nullptr ? -1 : (svc_req() ? 1 : 0));
    if (mqtt_ != nullptr) mqtt_->set_processing_active(false);
    return 0;
}
