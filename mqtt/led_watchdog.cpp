// GPS status LED and service watchdog, driven from the main thread's loops.
#include "mqtt/gps_mqtt.h"
#include "platform/platform.h"

void gpsMqtt::update_gps_led(bool valid) {
    const int code = valid ? 1 : 2;
    if (led_state.load() == code) return;
    // Remember the code only once the LED shows it, so a failed call is retried next time.
    if (leds_gps_status(code) == 0) led_state.store(code);
}

void gpsMqtt::gps_led_off() {
    if (leds_gps_status(0) == 0) led_state.store(0);
}

void gpsMqtt::kick_watchdog() {
    const unsigned int now = fwtime_bt_s(0);
    if (next_watchdog_kick.load() > now) return;
    nm_log(LOG_INFO, "Kicking watchdog");
    next_watchdog_kick.store(now + 60);
    ping_watchdog();
}
