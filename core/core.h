// Daemon core: process-wide state shared by the subsystems, the session loop, the parsing
// loop and gpsd supervision.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

class gpsMqtt;
class gpsdClient;

// ---- Process-wide state (core/state.cpp) ----------------------------------------------
extern std::atomic<bool> need_to_quit;           // set by SIGTERM/SIGQUIT/SIGINT
extern std::atomic<gpsMqtt*> gps_mqtt_client;    // the one client; null until created
extern std::atomic<bool> deadreckon_enabled;     // "gps.deadreckon.enable", read at start-up
extern std::mutex sysdb_mutex;                   // held around every system database call
extern int32_t last_session_count;               // under sysdb_mutex
extern bool ttffPending;                         // under sysdb_mutex
extern std::atomic<int32_t> nmea_timeout_count;  // polling timeouts since the last "$GP" line
extern int32_t xtra_pass_count;                  // main thread only

enum GPS_STATUS { GPS_STATUS_UNKNOWN = 0, GPS_STATUS_INACTIVE = 1, GPS_STATUS_ACTIVE = 2 };
const char* gps_status_text(GPS_STATUS status);

// ---- Fixed paths (prefixed with $NAVMON_ROOT when used) ----------------------------------
#define NAVMON_PIDFILE "/var/run/navmon.pid"
#define GPSD_PIDFILE "/var/run/gpsd.pid"
#define GPS_FLASHING_MARKER "/tmp/gps-flashing"
#define GPS_FLASHING_ACK_MARKER "/tmp/gps-flashing-navmon-ack"
#define SYSTEMCTL_PATH "/bin/systemctl"

// ---- Session loop (core/session.cpp) ----------------------------------------------------
void mark_gps_active();
void mark_gps_inactive();
void clear_gps_records();
void wait_for_gps_flashing(const char* name);
void read_deadreckon_setting();
int start_gpsd();
void stop_gpsd();

// Process entry; returns the exit status (-1 for every orderly stop).
int navmon_main(int argc, char** argv);

// ---- Parsing loop (core/parsing_loop.cpp) -----------------------------------------------
int run_parsing_loop();
void setup_gpsd_client(gpsdClient* client, unsigned int timeout, void (*on_msg)(char*),
                       void (*on_timeout)(), unsigned int flags);
void check_gpsd_client(gpsdClient* client);
bool gpsd_alive();
void on_gpsd_timeout();
// One processing pass (supervision of the clients excepted); exposed for tests.
void run_processing_pass();
