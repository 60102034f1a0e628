#include "tests/support/navmon_fixture.h"

#include <sys/stat.h>

#include <sstream>

namespace navtest {

namespace {
std::string shell_quote(const std::string& s) {
    std::string out = "'";
    for (char c : s) {
        if (c == '\'')
            out += "'\\''";
        else
            out += c;
    }
    return out + "'";
}
}  // namespace

NavmonRun::NavmonRun() {
    for (const char* dir : {"/var/run", "/tmp", "/bin", "/data/xtra", "/sys/class/leds/gps"})
        mkdirs(root_.path() + dir);
    chmod((root_.path() + "/var/run").c_str(), 0777);
    write_file(led_file("brightness"), "0\n");
    write_file(led_file("max_brightness"), "255\n");
    write_file(led_file("trigger"), "none\n");
    config["hardware"]["wireless"]["gps"]["module"] = "GNSS-DR";
    config["hardware"]["leds"]["gps"] = "/sys/class/leds/gps";
    config["gps"]["deadreckon"]["enable"] = true;
    env["NAVMON_ROOT"] = root_.path();
    env["SYSDB_PATH"] = db_path();
    env["PLATFORM_CONFIG"] = config_path();
    env["MQTT_HOST"] = "127.0.0.1";
    env["MQTT_PORT"] = std::to_string(free_port());  // nothing listens unless a test says so
    env["GPSD_HOST"] = "127.0.0.1";
    env["GPSD_PORT"] = std::to_string(free_port());
    env.erase("NOTIFY_SOCKET");
    install_recording_systemctl();
}

NavmonRun::~NavmonRun() {
    proc_.stop(15000);
}

void NavmonRun::install_recording_systemctl() {
    std::string script = root_ / "bin/systemctl";
    write_file(script, "#!/bin/sh\necho \"$*\" >> " + shell_quote(root_ / "systemctl.calls") +
                           "\nexit 0\n");
    chmod(script.c_str(), 0755);
}

bool NavmonRun::start(const std::vector<std::string>& args) {
    Json::StreamWriterBuilder builder;
    write_file(config_path(),
               config_text.empty() ? Json::writeString(builder, config) : config_text);
    std::vector<std::string> argv = {NAVMON_BIN};
    argv.insert(argv.end(), args.begin(), args.end());
    bool has_log = false;
    for (const auto& a : args) has_log = has_log || a == "-l";
    if (!has_log) {
        argv.push_back("-l");
        argv.push_back(log_path());
    }
    return proc_.start(argv, env, root_ / "navmon.out");
}

std::string NavmonRun::log() const {
    return read_file(log_path());
}

bool NavmonRun::wait_log(const std::string& text, int timeout_ms) const {
    return wait_for([&] { return log().find(text) != std::string::npos; }, timeout_ms);
}

int NavmonRun::log_count(const std::string& text) const {
    std::string l = log();
    int n = 0;
    for (size_t pos = l.find(text); pos != std::string::npos; pos = l.find(text, pos + 1)) ++n;
    return n;
}

std::string NavmonRun::led_file(const std::string& name) const {
    return root_.path() + "/sys/class/leds/gps/" + name;
}

bool NavmonRun::db_get(const std::string& db, const std::string& key, std::string* value) const {
    std::string out;
    int rc = run_command("SYSDB_PATH=" + shell_quote(db_path()) + " " SYSDB_BIN " get " + db + " " +
                             key + " 2>/dev/null",
                         &out);
    if (rc != 0) return false;
    if (!out.empty() && out.back() == '\n') out.pop_back();
    if (value != nullptr) *value = out;
    return true;
}

bool NavmonRun::db_set(const std::string& db, const std::string& key, const std::string& value,
                       const std::string& type_flag) const {
    return run_command("SYSDB_PATH=" + shell_quote(db_path()) + " " SYSDB_BIN " set " + db + " " +
                       key + " " + shell_quote(value) + " " + type_flag + " >/dev/null 2>&1") == 0;
}

std::string NavmonRun::db_value(const std::string& db, const std::string& key) const {
    std::string v;
    return db_get(db, key, &v) ? v : "<missing>";
}

bool NavmonRun::wait_db(const std::string& db, const std::string& key, const std::string& want,
                        int timeout_ms) const {
    return wait_for([&] { return db_value(db, key) == want; }, timeout_ms);
}

}  // namespace navtest
