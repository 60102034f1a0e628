// Process entry and the session loop: start-up, idle passes and GPS sessions, the flashing
// wait, gpsd start and stop, and shutdown.
#include <getopt.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "core/core.h"

std::atomic<bool> need_to_quit{false};
std::atomic<int> pending_svc_req{-1};
std::atomic<gpsMqtt*> signal_client{nullptr};

const char* gps_status_text(GPS_STATUS status) {
    switch (status) {
        case GPS_STATUS_INACTIVE:
            return "INACTIVE";
        case GPS_STATUS_ACTIVE:
            return "ACTIVE";
        default:
            return "UNKNOWN";
    }
}

namespace {

const char* base_name(const char* path) {
    if (path == nullptr) return "navmon";
    const char* slash = strrchr(path, '/');
    return slash != nullptr ? slash + 1 : path;
}

void print_usage(const char* name) {
    printf(
        "Usage: %s [Options]\nOptions:\n -l, --logfile=LOGFILE\tLog data to LOGFILE\n -v, "
        "--verbose\t\tPrint debug information\n -h, --help\t\tThis help\n",
        name);
}

// Handlers only store a flag; the main thread, whose sleep they cut short, acts on it.
void on_quit_signal(int) {
    need_to_quit.store(true);
}
// Written into the client's own flag at once, so that whichever of a signal and an MQTT
// command comes last wins; kept for the client while there is none yet.
static_assert(std::atomic<bool>::is_always_lock_free && std::atomic<gpsMqtt*>::is_always_lock_free,
              "the handlers store through lock-free atomics only");
void request_service(bool on) {
    gpsMqtt* client = signal_client.load();
    if (client != nullptr)
        client->set_svc_req(on);
    else
        pending_svc_req.store(on ? 1 : 0);
}
void on_usr1(int) {
    request_service(true);
}
void on_usr2(int) {
    request_service(false);
}
// Only there so that a SIGCONT cuts the main thread's sleep short.
void on_cont(int) {}

void install_signal_handlers() {
    signal(SIGTERM, on_quit_signal);
    signal(SIGQUIT, on_quit_signal);
    signal(SIGINT, on_quit_signal);
    signal(SIGUSR1, on_usr1);
    signal(SIGUSR2, on_usr2);
    signal(SIGCONT, on_cont);
    // A broker or gpsd that goes away mid-write must not end the daemon.
    signal(SIGPIPE, SIG_IGN);
}

}  // namespace

Navmon::Navmon(const char* name, Environment env, std::unique_ptr<Waits> waits)
    : name_(name != nullptr ? name : "navmon"),
      env_(std::move(env)),
      waits_(std::move(waits)),
      config_(env_.config_path),
      db_(env_.sysdb_path),
      json_intake_(fix_state_,
                   [this](const char* type, const Json::Value& report) {
                       // Set before any session starts and destroyed after the last one ends.
                       if (mqtt_ != nullptr) mqtt_->broadcast_gps_data(type, report);
                   }),
      receiver_(db_),
      writer_(db_),
      led_(config_, env_.root),
      engine_(config_) {
    // A report in FixState may make the next pass due sooner: the main thread hears of it.
    fix_state_.set_store_listener([this](const char* member, const Json::Value& value) {
        if (strcmp(member, "SKY") == 0) {
            pacer_.report(waits_->now(), nullptr);
        } else if (strcmp(member, "TPV") == 0) {
            const Json::Value& time = value["time"];
            pacer_.report(waits_->now(), time.isString() ? time.asCString() : "");
        } else {
            return;
        }
        waits_->report();
    });
}

Navmon::~Navmon() {
    release_client();
}

void Navmon::release_client() {
    if (mqtt_ == nullptr) return;
    signal_client.store(nullptr);  // before the client goes: the handlers run on this thread
    mqtt_.reset();                 // returns once the messaging thread has stopped
}

bool Navmon::svc_req() {
    return mqtt_ != nullptr && mqtt_->get_svc_req();
}

void Navmon::mark_gps_active() {
    db_.write_str("GPS", "GPS_STATUS", gps_status_text(GPS_STATUS_ACTIVE));
    int count = 0;
    if (db_.read_int("SYS", "SYS_SESSION_CNT", &count) != 0) count = 0;
    writer_.note_session_count(count);
}

void Navmon::mark_gps_inactive() {
    db_.write_str("GPS", "GPS_STATUS", gps_status_text(GPS_STATUS_INACTIVE));
}

void Navmon::clear_gps_records() {
    for (const char* key : {"GPS_VALID", "GPS_ISO8601", "GPS_NMEA_PGPS", "GPS_FW_VER"})
        db_.del("GPS", key);
}

void Navmon::wait_for_gps_flashing() {
    if (need_to_quit.load()) return;
    const std::string marker = env_.path(GPS_FLASHING_MARKER);
    const std::string ack = env_.path(GPS_FLASHING_ACK_MARKER);
    while (access(marker.c_str(), F_OK) == 0) {
        nm_log(LOG_NOTICE, "Waiting for GPS module update to finish (%s)", name_.c_str());
        notify_status("waiting: module firmware update");
        touch_file(ack.c_str());
        watchdog_.kick();
        waits_->sleep(10);
        if (need_to_quit.load()) return;
    }
}

void Navmon::read_deadreckon_setting() {
    bool enabled = false;
    if (config_.cmd_get_value_bool("gps.deadreckon.enable", &enabled) == 0) {
        receiver_.set_deadreckon_enabled(enabled);
        nm_log(LOG_NOTICE, "deadreckoning enabled: %d", enabled ? 1 : 0);
    }
}

// "ROOT/bin/systemctl ACTION gpsd", without a shell and without a time limit: systemd bounds the
// job itself. Its exit status, or -1 when it could not be run.
int Navmon::run_systemctl(const char* action) {
    return run_command({env_.path(SYSTEMCTL_PATH), action, "gpsd"}, 0);
}

int Navmon::start_gpsd() {
    nm_log(LOG_NOTICE, "Starting gpsd");
    if (run_systemctl("start") != 0) {
        nm_log(LOG_NOTICE, "Error starting gpsd!");
        return -1;
    }
    return 0;
}

void Navmon::stop_gpsd() {
    nm_log(LOG_NOTICE, "Stopping gpsd");
    run_systemctl("stop");
}

// At start-up and at the end of every session.
void Navmon::record_gps_inactive() {
    mark_gps_inactive();
    fix_state_.set_gps_valid(false);
    led_.off();
    clear_gps_records();
}

// An idle pass leaves the LED to whoever owns it when the device has no GPS module.
void Navmon::idle_pass() {
    notify_status("idle: GPS processing off");
    Json::Value module;
    if (config_.cmd_get_value_json("hardware.wireless.gps.module", module) != 0) {
        nm_log(LOG_INFO, "Could not get GPS Module from hardware config");
        return;
    }
    // A module value without text (an array or an object) is not "NONE": switch the LED off.
    if (!module.isString() || module.asString() != "NONE") led_.off();
}

void Navmon::run_session() {
    led_.update(false);
    mark_gps_active();
    run_parsing_loop();
    record_gps_inactive();
    stop_gpsd();
}

void Navmon::start() {
    // The messaging thread is created with every signal blocked, so signals reach this thread.
    gpsMqttSetup setup;
    setup.host = env_.mqtt_host;
    setup.port = env_.mqtt_port;
    setup.xtra_file = env_.path(XTRA_FILE_PATH);
    mqtt_ = std::make_unique<gpsMqtt>(name_.c_str(), "KVT GPS Daemon connected", config_, setup);
    {
        // A signal that came before the client is applied, then the handlers write the client
        // themselves; one arriving in between waits for the unblock.
        sigset_t usr, saved;
        sigemptyset(&usr);
        sigaddset(&usr, SIGUSR1);
        sigaddset(&usr, SIGUSR2);
        pthread_sigmask(SIG_BLOCK, &usr, &saved);
        const int pending = pending_svc_req.exchange(-1);
        if (pending >= 0) mqtt_->set_svc_req(pending == 1);
        signal_client.store(mqtt_.get());
        pthread_sigmask(SIG_SETMASK, &saved, nullptr);
    }
    mqtt_->start_mqtt_connection();
    record_gps_inactive();
    read_deadreckon_setting();
    notify_ready();
}

void Navmon::run() {
    while (!need_to_quit.load()) {
        const bool requested = svc_req();
        nm_log(LOG_INFO, "Enabled:%u", requested ? 1u : 0u);
        if (requested)
            run_session();
        else
            idle_pass();
        nm_log(LOG_INFO, "Session ended");
        wait_for_gps_flashing();
        if (need_to_quit.load()) break;
        watchdog_.kick();
        waits_->sleep(1);
    }
    led_.off();
    release_client();
}

int navmon_main(int argc, char** argv) {
    const char* name = base_name(argc > 0 ? argv[0] : nullptr);
    const char* logfile = nullptr;
    bool verbose = false;

    static const struct option long_options[] = {{"help", no_argument, nullptr, 'h'},
                                                 {"logfile", required_argument, nullptr, 'l'},
                                                 {"verbose", no_argument, nullptr, 'v'},
                                                 {"version", no_argument, nullptr, 'V'},
                                                 {nullptr, 0, nullptr, 0}};
    optind = 1;
    int opt;
    while ((opt = getopt_long(argc, argv, "hl:v", long_options, nullptr)) != -1) {
        switch (opt) {
            case 'h':
                print_usage(name);
                return 0;
            case 'l':
                logfile = optarg;
                break;
            case 'v':
                verbose = true;
                break;
            case 'V':  // long form only, and left out of the usage text
                printf("navmon %s\n", NAVMON_VERSION);
                return 0;
            default:
                // A bad command line is a failure: report it as one.
                print_usage(name);
                return 2;
        }
    }

    install_signal_handlers();
    log_open("gps", LOG_LOCAL0, logfile, verbose);
    const Environment env = Environment::from_process();
    const std::string pidfile = env.path(NAVMON_PIDFILE);
    create_pidfile(pidfile.c_str());
    {
        Navmon navmon(name, env);
        navmon.start();
        navmon.run();
    }
    nm_log(LOG_NOTICE, "navmon exited");
    delete_file(pidfile.c_str());
    log_close();
    return -1;
}
