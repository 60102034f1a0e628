// Drives gpsMqtt's message hook with arbitrary topics and payloads, as any client of the shared
// broker could. Input: one flag byte, then the topic up to the first newline, then the payload.
#include <signal.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "mqtt/gps_mqtt.h"
#include "platform/base/base.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static gpsMqtt* m = [] {  // never connected: publications fail quietly
        signal(SIGCONT, [](int) {});
        log_set_hook([](int, const char*) {});
        static ConfigStore config("/nonexistent/config.json");
        auto* client = new gpsMqtt("fuzz_mqtt_message", "connected", config);
        client->enable_wait_tries = 1;  // and no wait
        client->enable_wait_us = 0;
        return client;
    }();
    static const char* const kTopics[] = {
        GPS_ENABLE_APPLY_TOPIC, FILEPULL_ACK_TOPIC, "v1/device/gps/enable/apply/apply",
        "v1/device/gps/other/apply", "v1/device/gps/enable/update"};
    if (size-- == 0) return 0;
    const uint8_t flags = *data++;
    const uint8_t* nl = static_cast<const uint8_t*>(memchr(data, '\n', size));
    // Low bits pick a known topic, so that the interesting paths are reached often.
    std::string topic = (flags & 7) < 5 ? kTopics[flags & 7] : std::string(data, nl ? nl : data);
    // An exact-size copy, so that reads past payloadlen are caught.
    std::vector<uint8_t> payload(nl ? nl + 1 : data, data + size);
    m->xtra_pending = (flags & 8) != 0;
    m->xtra_session = (flags & 16) ? 1 : 0;
    m->set_processing_active((flags & 32) != 0);
    void* p = (flags & 64) && payload.empty() ? nullptr : payload.data();
    mosquitto_message msg{0, &topic[0], p, static_cast<int>(payload.size()), 0, false};
    m->derived_on_message(&msg);
    return 0;
}
