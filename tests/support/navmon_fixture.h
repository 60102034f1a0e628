// navmon as a process under test: a private root ($NAVMON_ROOT), system database, configuration,
// log file and broker port, with helpers to read what it produced.
#pragma once

#include <json/json.h>

#include <map>
#include <string>

#include "tests/support/support.h"

namespace navtest {

class NavmonRun {
public:
    NavmonRun();
    ~NavmonRun();

    const std::string& root() const { return root_.path(); }
    std::string path(const std::string& absolute) const { return root_.path() + absolute; }
    std::string db_path() const { return root_ / "sysdb.sqlite"; }
    std::string log_path() const { return root_ / "navmon.log"; }
    std::string config_path() const { return root_ / "config.json"; }

    // Configuration written before start (the default has a module and a fake LED).
    Json::Value config;
    // When set, written as the configuration file instead of `config` (malformed files).
    std::string config_text;
    // Extra environment for the process (MQTT_PORT, GPSD_PORT, NOTIFY_SOCKET...).
    std::map<std::string, std::string> env;
    // A systemctl that only records its calls in $ROOT/systemctl.calls (tests without gpsd).
    void install_recording_systemctl();

    bool start(const std::vector<std::string>& args = {"-v"});
    Process& process() { return proc_; }
    int stop(int grace_ms = 15000) { return proc_.stop(grace_ms); }

    std::string log() const;
    bool wait_log(const std::string& text, int timeout_ms) const;
    int log_count(const std::string& text) const;
    // The LED's brightness and trigger files under the fake sysfs tree.
    std::string led_file(const std::string& name) const;

    // System database reads through the sysdb tool, as another service would.
    bool db_get(const std::string& db, const std::string& key, std::string* value) const;
    bool db_set(const std::string& db, const std::string& key, const std::string& value,
                const std::string& type_flag = "") const;
    // The value as `sysdb get` prints it, or "<missing>".
    std::string db_value(const std::string& db, const std::string& key) const;
    bool wait_db(const std::string& db, const std::string& key, const std::string& want,
                 int timeout_ms) const;

private:
    TempDir root_;
    Process proc_;
};

}  // namespace navtest
