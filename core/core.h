// Daemon core: process entry, the session loop, the parsing loop with its processing pass, and
// gpsd supervision. The application object owns the state of every module for the life of the
// process and hands each module what it needs.
#pragma once

#include <json/json.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
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

// ---- The loops' clock and waits -------------------------------------------------------------
// Every wait of the loops goes through one object, so that tests decide time.
class Waits {
public:
    enum Woken { TIME, REPORT, SIGNAL };
    virtual ~Waits() = default;
    // Steady seconds; any thread.
    virtual double now() = 0;
    // Until `until`, unless a signal handled on this thread (SIGNAL) or, with `reports`, a new
    // report (REPORT) cuts it short. Main thread.
    virtual Woken wait(double until, bool reports) = 0;
    // A report reached FixState: ends a wait for reports early. Any thread.
    virtual void report() = 0;
    // A pause that a signal cuts short, as sleep() is.
    void sleep(double seconds) { wait(now() + seconds, false); }
};

// The real clock and waits: CLOCK_MONOTONIC, and ppoll on an eventfd that report() writes.
class SystemWaits : public Waits {
public:
    SystemWaits();
    ~SystemWaits() override;
    double now() override;
    Woken wait(double until, bool reports) override;
    void report() override;

private:
    int event_fd_;
};

// When the next processing pass is due. Shortly after a TPV of a new receiver second reached
// FixState, once its burst of reports has gone quiet (kQuiet after the last, kCap after the TPV
// at most); without one, a second after the last pass (kLate more after a TPV's own pass, so that
// a late TPV still gets one). At most one pass per second of receiver time, and receiver time may
// not run ahead of this clock: a TPV whose time gained more than kEarly on it since the TPV of the
// last pass (a storm of reports, a clock jump) makes no pass of its own, so that whatever gpsd
// sends, passes come about once a second.
class PassPacer {
public:
    static constexpr double kQuiet = 0.06;
    static constexpr double kCap = 0.2;
    static constexpr double kFallback = 1.0;
    static constexpr double kLate = 0.25;
    static constexpr double kEarly = 0.1;
    static constexpr double kMinGap = 0.5;

    // Any thread: a report reached FixState at `now`; a TPV with its "time", else nullptr.
    void report(double now, const char* tpv_time);
    // Main thread: a session starts at `now` (its first pass a second later, or after a TPV).
    void start(double now);
    // Main thread: when the next pass is due, and that one ran (or was used up) at `now`.
    double due() const;
    void ran(double now);

private:
    struct Tpv {
        std::string second;       // "YYYY-MM-DDTHH:MM:SS" of its time
        double day_seconds = -1;  // its time of the day in seconds, -1 when it is not one
        double at = 0.0;          // when it reached FixState
    };

    mutable std::mutex mutex_;
    bool pending_ = false;  // a TPV of a new receiver second waits for its pass
    Tpv pending_tpv_, latest_tpv_;
    Tpv anchor_;  // the TPV of the last pass, or the latest one at a pass without its own
    double last_report_ = 0.0;
    double last_pass_ = -1e300;
    double fallback_from_ = -1e300;  // the last pass, or the session's start
    bool last_by_tpv_ = false;
};

// The daemon: one per process, on the main thread. The clients' threads reach the intake
// objects only through the callbacks it gives them.
class Navmon {
public:
    // name: the program's base name (MQTT client name, flashing message); env: the runtime knobs,
    // read once at start-up.
    // waits: the loops' clock and waits (the real ones by default).
    explicit Navmon(const char* name, Environment env = Environment::from_process(),
                    std::unique_ptr<Waits> waits = std::make_unique<SystemWaits>());
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
    // One GPS session's parsing loop, until svc_req is cleared, need_to_quit is set or the
    // module is about to be flashed.
    int run_parsing_loop();

    ReceiverIntake& receiver() { return receiver_; }
    JsonIntake& json_intake() { return json_intake_; }
    FixWriter& writer() { return writer_; }

private:
    void wait_for_gps_flashing();
    void read_deadreckon_setting();
    int run_systemctl(const char* action);
    int start_gpsd();
    void stop_gpsd();
    // Until the next pass is due (true), or a signal cut the wait short (false).
    bool wait_for_pass();
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
    std::unique_ptr<Waits> waits_;
    PassPacer pacer_;
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
