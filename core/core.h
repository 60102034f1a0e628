// Daemon core: process entry, the session loop, the parsing loop with its processing pass, and
// gpsd supervision. The application object owns the state of every module for the life of the
// process and hands each module what it needs.
#pragma once

#include <json/json.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "intake/intake.h"
#include "mqtt/gps_mqtt.h"
#include "platform/cmd/cmd.h"
#include "platform/gpsd/gpsd.h"
#include "platform/led/led.h"
#include "platform/service/service.h"
#include "platform/sysdb/sysdb.h"
#include "publish/publish.h"
#include "receiver/receiver.h"

// ---- What the signal handlers touch: the only process-wide state ---------------------------
extern std::atomic<bool> need_to_quit;  // SIGTERM, SIGQUIT, SIGINT
// SIGUSR1 and SIGUSR2 set the client's svc_req through this pointer (null while there is no
// client), or keep the request here (1 or 0; -1: none) until the client exists.
extern std::atomic<gpsMqtt*> signal_client;
extern std::atomic<int> pending_svc_req;

enum GPS_STATUS { GPS_STATUS_UNKNOWN = 0, GPS_STATUS_INACTIVE = 1, GPS_STATUS_ACTIVE = 2 };
const char* gps_status_text(GPS_STATUS status);

// ---- Fixed paths (under the root when used) -----------------------------------------------
#define NAVMON_PIDFILE "/var/run/navmon.pid"
#define GPSD_PIDFILE "/var/run/gpsd.pid"
#define GPS_FLASHING_MARKER "/tmp/gps-flashing"
#define GPS_FLASHING_ACK_MARKER "/tmp/gps-flashing-navmon-ack"
#define SYSTEMCTL_PATH "/bin/systemctl"

// The daemon: one per process, on the main thread. The clients' threads reach the intake
// objects only through the callbacks it gives them.
class Navmon {
public:
    // name: the program's base name (MQTT client name, flashing message); env: the runtime knobs,
    // read once at start-up.
    explicit Navmon(const char* name, Environment env = Environment::from_process());
    ~Navmon();
    Navmon(const Navmon&) = delete;
    Navmon& operator=(const Navmon&) = delete;

    // Start-up after the log and the pid file: the MQTT client and its connection, GPS
    // recorded as inactive, the dead-reckoning setting.
    void start();
    // The session loop, until need_to_quit; then the LED off and the client destroyed.
    void run();

    // Steps of the loops that the tests drive directly.
    void mark_gps_active();
    void mark_gps_inactive();
    void clear_gps_records();
    // One processing pass (the clients' supervision excepted).
    void run_processing_pass();

    ReceiverIntake& receiver() { return receiver_; }
    FixWriter& writer() { return writer_; }

private:
    void wait_for_gps_flashing();
    void read_deadreckon_setting();
    int run_systemctl(const char* action);
    int start_gpsd();
    void stop_gpsd();
    int run_parsing_loop();
    bool gpsd_alive();
    void check_gpsd_client(gpsdClient& client);
    // svc_req; false without a client.
    bool svc_req();
    // Destroys the client once the signal handlers no longer reach it.
    void release_client();
    void record_gps_inactive();
    void idle_pass();
    void run_session();

    std::string name_;
    const Environment env_;
    ConfigStore config_;
    sysdb::Database db_;
    std::unique_ptr<gpsMqtt> mqtt_;
    FixState fix_state_;
    JsonIntake json_intake_;
    ReceiverIntake receiver_;
    FixWriter writer_;
    GpsLed led_;
    GpsEngine engine_;
    Watchdog watchdog_;
    int32_t xtra_pass_count_ = 0;  // passes of every session since the last XTRA check
};

// Process entry; returns the exit status (-1 for every orderly stop).
int navmon_main(int argc, char** argv);
