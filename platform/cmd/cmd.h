// Command and configuration utilities: the runtime knobs of the environment, the configuration
// store, pid and marker files, and the one way this process runs another program.
#pragma once

#include <json/json.h>

#include <mutex>
#include <string>
#include <vector>

// ---- Runtime knobs -----------------------------------------------------------------------
// The environment, read once at start-up; every field holds the device's default when its
// variable is unset or empty (a broker address that is not one is logged and ignored).
struct Environment {
    std::string root;  // NAVMON_ROOT: prefix of every fixed path
    std::string sysdb_path = "/var/lib/sysdb/sysdb.sqlite";  // SYSDB_PATH
    std::string config_path = "/etc/navmon/config.json";     // PLATFORM_CONFIG
    std::string gpsd_host = "localhost";                     // GPSD_HOST
    std::string gpsd_port = "2947";                          // GPSD_PORT
    std::string mqtt_host = "localhost";                     // MQTT_HOST
    int mqtt_port = 1883;                                    // MQTT_PORT

    static Environment from_process();
    // A fixed absolute path under the root.
    std::string path(const char* absolute) const { return root + absolute; }
};

// ---- Configuration store -------------------------------------------------------------------
// One JSON file addressed by dotted paths. It is parsed again only when the file changed, and a
// malformed file is logged once per state of it. Any thread.
class ConfigStore {
public:
    explicit ConfigStore(std::string path) : path_(std::move(path)) {}
    // 0 when the value at the dotted path was read.
    int cmd_get_value_json(const char* key, Json::Value& out);
    int cmd_get_value_bool(const char* key, bool* out);

private:
    bool refresh_locked();

    const std::string path_;
    std::mutex mutex_;
    bool loaded_ = false;  // the state below describes a file that was read
    struct {
        unsigned long long dev = 0, ino = 0;
        long long size = -1, mtime_sec = 0, mtime_nsec = 0;
    } state_;
    bool malformed_ = false;
    Json::Value root_;
};

// Lookups inside an object already read; non-zero when the dotted path was found and its
// value (of the right type) stored.
int config_get_int(const Json::Value& config, int* out, const char* path);
int config_get_bool(const Json::Value& config, bool* out, const char* path);

// ---- Files -----------------------------------------------------------------------------
int create_pidfile(const char* path);  // 0 = written
int check_pidfile(const char* path);   // the pid (> 0), or <= 0 when there is none
int delete_file(const char* path);     // 0 = removed
int touch_file(const char* path);      // 0 = created or its times refreshed

// ---- Programs --------------------------------------------------------------------------
// Runs argv[0] (a path; no shell) with argv, standard input from /dev/null, an empty signal
// mask and default signal actions, in its own process group. Returns its exit status, 128 +
// the signal that ended it, or -1 when it could not be run; with limit_ms > 0, one that has not
// finished by then is killed with its whole group (-1, *timed_out set when given).
int run_command(const std::vector<std::string>& argv, int limit_ms, bool* timed_out = nullptr);
