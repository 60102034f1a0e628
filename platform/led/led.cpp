// GPS status LED through the Linux LED class interface in sysfs.
#include "platform/led/led.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

const char* const kDefaultLedDir = "/sys/class/leds/gps";

// sysfs attributes exist or they do not: never created here.
bool write_attr(const std::string& dir, const char* name, const char* value) {
    std::string path = dir + "/" + name;
    int fd = open(path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
    if (fd < 0) {
        nm_log(LOG_DEBUG, "LED: cannot open %s: %s", path.c_str(), strerror(errno));
        return false;
    }
    bool ok = write_all(fd, value, strlen(value));
    int saved = errno;
    ok = close(fd) == 0 && ok;
    if (!ok) nm_log(LOG_DEBUG, "LED: cannot write %s: %s", path.c_str(), strerror(saved));
    return ok;
}

// The LED's full brightness; 1 when the attribute cannot be read.
long max_brightness(const std::string& dir) {
    char buf[32];
    if (read_small_file((dir + "/max_brightness").c_str(), buf, sizeof buf) <= 0) return 1;
    errno = 0;
    char* end = nullptr;
    long v = strtol(buf, &end, 10);
    if (errno != 0 || end == buf || v <= 0 || v > 1000000) return 1;
    while (*end == '\n' || *end == ' ') ++end;
    return *end == '\0' ? v : 1;
}

}  // namespace

// The directory of the configured LED, under the root.
std::string GpsLed::led_dir() {
    Json::Value v;
    std::string dir = kDefaultLedDir;
    if (config_.cmd_get_value_json("hardware.leds.gps", v) == 0 && v.isString() &&
        !v.asString().empty())
        dir = v.asString();
    return root_ + dir;
}

int GpsLed::leds_gps_status(int code) {
    if (code < 0 || code > 2) return -1;
    const std::string dir = led_dir();
    struct stat st;
    if (stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        nm_log(LOG_DEBUG, "LED: no LED at %s", dir.c_str());
        return -1;
    }
    switch (code) {
        case 0:
            return write_attr(dir, "trigger", "none") && write_attr(dir, "brightness", "0") ? 0
                                                                                            : -1;
        case 1: {
            char level[32];
            snprintf(level, sizeof level, "%ld", max_brightness(dir));
            return write_attr(dir, "trigger", "none") && write_attr(dir, "brightness", level) ? 0
                                                                                              : -1;
        }
        default:
            // The timer trigger creates delay_on/delay_off, so they are written after it.
            return write_attr(dir, "trigger", "timer") && write_attr(dir, "delay_on", "500") &&
                           write_attr(dir, "delay_off", "500")
                       ? 0
                       : -1;
    }
}

void GpsLed::update(bool valid) {
    const int code = valid ? 1 : 2;
    if (state_ == code) return;
    if (leds_gps_status(code) == 0) state_ = code;
}

void GpsLed::off() {
    if (leds_gps_status(0) == 0) state_ = 0;
}
