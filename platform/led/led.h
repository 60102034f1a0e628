// The GPS status LED through the Linux LED class interface in sysfs, as the loops drive it.
#pragma once

#include <string>

#include "platform/base/base.h"
#include "platform/cmd/cmd.h"

// Main thread only.
class GpsLed {
public:
    // The LED's directory is "hardware.leds.gps" of the configuration (default
    // /sys/class/leds/gps), under root.
    GpsLed(ConfigStore& config, std::string root) : config_(config), root_(std::move(root)) {}

    // 0 = off, 1 = solid (valid fix), 2 = blinking (no fix). 0 = the LED now shows that code.
    int leds_gps_status(int code);
    // 1 for a valid fix, 2 for none; the code is remembered only once the LED shows it, so a
    // failed call is tried again at the next update, and an unchanged one is not made.
    void update(bool valid);
    // Off, with no cache test.
    void off();

private:
    std::string led_dir();

    ConfigStore& config_;
    const std::string root_;
    int state_ = -1;  // the code last shown; -1 before any
};
