// The runtime knobs, read once from the environment at start-up.
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/base/base.h"
#include "platform/cmd/cmd.h"

namespace {

void take(const char* name, std::string* field) {
    const char* v = getenv(name);
    if (v != nullptr && v[0] != '\0') *field = v;
}

bool valid_host(const char* h) {
    size_t len = strlen(h);
    if (len == 0 || len > 253) return false;
    for (const char* p = h; *p; ++p) {
        unsigned char c = static_cast<unsigned char>(*p);
        if (!isalnum(c) && c != '.' && c != '-' && c != ':' && c != '_') return false;
    }
    return true;
}

// A decimal port 1..65535, nothing else; -1 otherwise.
int parse_port(const char* s) {
    if (!s || *s < '0' || *s > '9') return -1;
    errno = 0;
    char* end = nullptr;
    long v = strtol(s, &end, 10);
    if (errno != 0 || *end != '\0' || v < 1 || v > 65535) return -1;
    return static_cast<int>(v);
}

}  // namespace

Environment Environment::from_process() {
    Environment env;
    if (const char* root = getenv("NAVMON_ROOT")) env.root = root;
    take("SYSDB_PATH", &env.sysdb_path);
    take("PLATFORM_CONFIG", &env.config_path);
    take("GPSD_HOST", &env.gpsd_host);
    take("GPSD_PORT", &env.gpsd_port);
    if (const char* host = getenv("MQTT_HOST")) {
        if (valid_host(host))
            env.mqtt_host = host;
        else
            nm_log(LOG_WARNING, "MQTT_HOST \"%s\" ignored", host);
    }
    if (const char* port = getenv("MQTT_PORT")) {
        const int p = parse_port(port);
        if (p > 0)
            env.mqtt_port = p;
        else
            nm_log(LOG_WARNING, "MQTT_PORT \"%s\" ignored", port);
    }
    return env;
}
