// Process entry and the session loop: start-up, idle passes and GPS sessions, the flashing
// wait, gpsd start and stop, and shutdown.
#include <getopt.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "core/core.h"
#include "intake/intake.h"
#include "mqtt/gps_mqtt.h"
#include "platform/platform.h"
#include "platform/sysdb.h"

extern char** environ;

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

void on_quit_signal(int) {
    need_to_quit.store(true);
}

// A SIGUSR1/SIGUSR2 that arrives before the client exists is kept here (-1: none) and handed
// to the client once it is created, instead of being lost.
std::atomic<int> early_svc_req{-1};

void request_service(bool on) {
    gpsMqtt* client = gps_mqtt_client.load();
    if (client != nullptr)
        client->set_svc_req(on);
    else
        early_svc_req.store(on ? 1 : 0);
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

// Runs "$NAVMON_ROOT/bin/systemctl ACTION gpsd" without a shell and returns its exit status
// (-1 when it could not be run or was killed).
int run_systemctl(const char* action) {
    std::string path = navmon_path(SYSTEMCTL_PATH);
    char arg0[] = "systemctl";
    char arg2[] = "gpsd";
    char* argv[] = {arg0, const_cast<char*>(action), arg2, nullptr};

    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none, defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    for (int sig : {SIGTERM, SIGQUIT, SIGINT, SIGUSR1, SIGUSR2, SIGCONT, SIGPIPE})
        sigaddset(&defaults, sig);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    pid_t pid = -1;
    int err = posix_spawn(&pid, path.c_str(), nullptr, &attr, argv, environ);
    posix_spawnattr_destroy(&attr);
    if (err != 0) {
        nm_log(LOG_ERR, "Could not run %s: %s", path.c_str(), strerror(err));
        return -1;
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

void mark_gps_active() {
    std::lock_guard<std::mutex> lock(sysdb_mutex);
    sysdb_namedb_write_str(nullptr, "GPS", "GPS_STATUS", gps_status_text(GPS_STATUS_ACTIVE), 0);
    int count = 0;
    if (sysdb_namedb_read_int(nullptr, "SYS", "SYS_SESSION_CNT", &count) != 0) count = 0;
    if (count != last_session_count) {
        last_session_count = count;
        ttffPending = true;
    }
}

void mark_gps_inactive() {
    std::lock_guard<std::mutex> lock(sysdb_mutex);
    sysdb_namedb_write_str(nullptr, "GPS", "GPS_STATUS", gps_status_text(GPS_STATUS_INACTIVE), 0);
}

void clear_gps_records() {
    std::lock_guard<std::mutex> lock(sysdb_mutex);
    for (const char* key : {"GPS_VALID", "GPS_ISO8601", "GPS_NMEA_PGPS", "GPS_FW_VER"})
        sysdb_namedb_del(nullptr, "GPS", key);
}

void wait_for_gps_flashing(const char* name) {
    if (need_to_quit.load()) return;
    const std::string marker = navmon_path(GPS_FLASHING_MARKER);
    const std::string ack = navmon_path(GPS_FLASHING_ACK_MARKER);
    while (access(marker.c_str(), F_OK) == 0) {
        nm_log(LOG_NOTICE, "Waiting for GPS module update to finish (%s)", name);
        notify_status("waiting: module firmware update");
        touch_file(ack.c_str());
        gpsMqtt* client = gps_mqtt_client.load();
        if (client != nullptr) client->kick_watchdog();
        sleep(10);
        if (need_to_quit.load()) return;
    }
}

void read_deadreckon_setting() {
    bool enabled = false;
    if (cmd_get_value_bool("gps.deadreckon.enable", &enabled) == 0) {
        deadreckon_enabled.store(enabled);
        nm_log(LOG_NOTICE, "deadreckoning enabled: %d", enabled ? 1 : 0);
    }
}

int start_gpsd() {
    nm_log(LOG_NOTICE, "Starting gpsd");
    if (run_systemctl("start") != 0) {
        nm_log(LOG_NOTICE, "Error starting gpsd!");
        return -1;
    }
    return 0;
}

void stop_gpsd() {
    nm_log(LOG_NOTICE, "Stopping gpsd");
    run_systemctl("stop");
}

namespace {

// An idle pass leaves the LED to whoever owns it when the device has no GPS module.
void idle_pass(gpsMqtt* client) {
    notify_status("idle: GPS processing off");
    Json::Value module;
    if (cmd_get_value_json("hardware.wireless.gps.module", module) != 0) {
        nm_log(LOG_INFO, "Could not get GPS Module from hardware config");
        return;
    }
    // A module value without text (an array or an object) is not "NONE": switch the LED off.
    if (!module.isString() || module.asString() != "NONE") client->gps_led_off();
}

void run_session(gpsMqtt* client) {
    client->update_gps_led(false);
    mark_gps_active();
    run_parsing_loop();
    mark_gps_inactive();
    set_gps_valid(false);
    client->gps_led_off();
    gps_valid.store(false);
    clear_gps_records();
    stop_gpsd();
}

}  // namespace

int navmon_main(int argc, char** argv) {
    const char* name = base_name(argc > 0 ? argv[0] : nullptr);
    const char* logfile = nullptr;
    bool verbose = false;

    static const struct option long_options[] = {{"help", no_argument, nullptr, 'h'},
                                                 {"logfile", required_argument, nullptr, 'l'},
                                                 {"verbose", no_argument, nullptr, 'v'},
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
            default:
                // A bad command line is a failure: report it as one.
                print_usage(name);
                return 2;
        }
    }

    install_signal_handlers();
    log_open("gps", LOG_LOCAL0, logfile, verbose);
    const std::string pidfile = navmon_path(NAVMON_PIDFILE);
    create_pidfile(pidfile.c_str());

    // The messaging thread is created with every signal blocked, so signals reach this thread.
    gpsMqtt* client = new gpsMqtt(name, "KVT GPS Daemon connected");
    gps_mqtt_client.store(client);
    int early = early_svc_req.exchange(-1);
    if (early >= 0) client->set_svc_req(early == 1);
    client->start_mqtt_connection();

    mark_gps_inactive();
    set_gps_valid(false);
    client->gps_led_off();
    gps_valid.store(false);
    clear_gps_records();
    read_deadreckon_setting();
    notify_ready();

    while (!need_to_quit.load()) {
        nm_log(LOG_INFO, "Enabled:%u", client->get_svc_req() ? 1u : 0u);
        if (client->get_svc_req())
            run_session(client);
        else
            idle_pass(client);
        nm_log(LOG_INFO, "Session ended");
        wait_for_gps_flashing(name);
        if (need_to_quit.load()) break;
        client->kick_watchdog();
        sleep(1);
    }

    client->gps_led_off();
    // The pointer is cleared first so that a late signal never reaches a deleted client.
    gps_mqtt_client.store(nullptr);
    delete client;
    nm_log(LOG_NOTICE, "navmon exited");
    delete_file(pidfile.c_str());
    log_close();
    return -1;
}
