// The parsing loop: the body of a GPS session. Two gpsd connections feed the intake on their
// own threads while this (main) thread supervises gpsd and runs a processing pass a second.
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <string>

#include "core/core.h"
#include "intake/intake.h"
#include "mqtt/gps_mqtt.h"
#include "platform/gpsd_client.h"
#include "platform/platform.h"
#include "publish/publish.h"
#include "receiver/receiver.h"

namespace {

constexpr unsigned int kPollingTimeoutUsec = 15000000;
constexpr unsigned int kNmeaStreamFlags = 0x81;  // WATCH_ENABLE | WATCH_RAW
constexpr unsigned int kJsonStreamFlags = 0x11;  // WATCH_ENABLE | WATCH_JSON
constexpr int kXtraCheckPasses = 900;

bool flashing_pending() {
    return access(navmon_path(GPS_FLASHING_MARKER).c_str(), F_OK) == 0;
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

void setup_gpsd_client(gpsdClient* client, unsigned int timeout, void (*on_msg)(char*),
                       void (*on_timeout)(), unsigned int flags) {
    client->set_polling_timeout(timeout);
    if (on_msg != nullptr) client->set_on_msg_callback_fkt(on_msg);
    if (on_timeout != nullptr) client->set_timeout_callback_fkt(on_timeout);
    client->set_gpsd_stream_flags(flags);
}

void check_gpsd_client(gpsdClient* client) {
    if (client->gpsd_connected()) return;
    nm_log(LOG_NOTICE, "gpsd client %s disconnected, retrying...", client->name());
    client->stop_loop();
    client->get_gpsd_forever_non_blocking();
    sleep(2);
}

bool gpsd_alive() {
    int pid = check_pidfile(navmon_path(GPSD_PIDFILE).c_str());
    if (pid > 0 && kill(pid, 0) == 0) return true;
    nm_log(LOG_NOTICE, "gpsd (%d) exited! Restarting gpsd!", pid);
    return false;
}

void on_gpsd_timeout() {
    nmea_timeout_count.fetch_add(1);
}

void run_processing_pass() {
    gpsMqtt* client = gps_mqtt_client.load();

    if (nmea_timeout_count.load() > 4) {
        if (restart_gps_engine() == 0) nmea_timeout_count.store(0);
    }

    Json::Value snapshot = fixstate_snapshot();
    run_guarded("process_gps_data", [&] { process_gps_data(snapshot, client); });
    run_guarded("saveGpsDataSysdb", [&] { saveGpsDataSysdb(snapshot); });
    run_guarded("run_processing_pass", [&] {
        if (log_is_verbose()) {
            Json::FastWriter writer;
            std::string text = writer.write(snapshot);
            if (!text.empty() && text.back() == '\n') text.pop_back();
            nm_log(LOG_DEBUG, "GPS:%s", text.c_str());
        }
        if (++xtra_pass_count >= kXtraCheckPasses) {
            xtra_pass_count = 0;
            if (client != nullptr) client->request_xtra_update();
        }
        if (client != nullptr) client->kick_watchdog();
        notify_status(fix_summary(gps_valid.load(), fix_record(), latest_gps_sqi()).c_str());
    });
}

int run_parsing_loop() {
    gpsMqtt* client = gps_mqtt_client.load();
    auto svc_req = [client] { return client != nullptr && client->get_svc_req(); };

    auto nmea_parser = std::make_unique<gpsdClient>("nmea_parser");
    auto json_parser = std::make_unique<gpsdClient>("json_parser");
    setup_gpsd_client(nmea_parser.get(), kPollingTimeoutUsec, on_nmea_message, on_gpsd_timeout,
                      kNmeaStreamFlags);
    setup_gpsd_client(json_parser.get(), kPollingTimeoutUsec, on_gpsd_json, nullptr,
                      kJsonStreamFlags);
    nmea_parser->get_gpsd_forever_non_blocking();
    json_parser->get_gpsd_forever_non_blocking();
    if (client != nullptr) {
        client->set_processing_active(true);
        client->update_gps_led(false);
    }
    gps_valid.store(false);
    notify_status("no fix");

    while (!need_to_quit.load()) {
        if (!svc_req()) break;
        sleep(1);
        if (flashing_pending()) {
            nm_log(LOG_NOTICE, "Exiting due to GPS module update pending");
            break;
        }
        if (gpsd_alive()) {
            check_gpsd_client(nmea_parser.get());
            check_gpsd_client(json_parser.get());
            run_processing_pass();
        } else {
            json_parser->stop_loop();
            nmea_parser->stop_loop();
            start_gpsd();
            sleep(4);
            nmea_parser->get_gpsd_forever_non_blocking();
            json_parser->get_gpsd_forever_non_blocking();
            sleep(2);
        }
    }

    json_parser.reset();
    nmea_parser.reset();
    nm_log(LOG_NOTICE, "Parsing loop exited (need_to_quit=%d svc_req=%d)",
           need_to_quit.load() ? 1 : 0, client == nullptr ? -1 : (client->get_svc_req() ? 1 : 0));
    if (client != nullptr) client->set_processing_active(false);
    return 0;
}
