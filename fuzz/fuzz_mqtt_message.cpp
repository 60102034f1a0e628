// Drives gpsMqtt's message hook with arbitrary topics and payloads, as any client of the shared
// broker could. Input: one flag byte, then the topic up to the first newline, then the payload.
#include <mosquitto.h>
#include <signal.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "mqtt/gps_mqtt.h"
#include "platform/platform.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static gpsMqtt* m = [] {
        signal(SIGCONT, [](int) {});
        log_set_hook([](int, const char*) {});
        // Never connected: publications fail quietly. Keep the enable wait short.
        auto* client = new gpsMqtt("fuzz_mqtt_message", "connected");
        client->enable_wait_tries = 1;
        client->enable_wait_us = 0;
        return client;
    }();
    static const char* const kTopics[] = {
        GPS_ENABLE_APPLY_TOPIC, FILEPULL_ACK_TOPIC, "v1/device/gps/enable/apply/apply",
        "v1/device/gps/other/apply", "v1/device/gps/enable/update"};
    if (size < 1) return 0;
    const uint8_t flags = *data++;
    --size;
    const uint8_t* nl = static_cast<const uint8_t*>(memchr(data, '\n', size));
    const size_t topic_len = nl ? static_cast<size_t>(nl - data) : 0;
    // Low bits pick a known topic, so that the interesting paths are reached often.
    const std::string topic =
        (flags & 7) < 5 ? kTopics[flags & 7]
                        : std::string(reinterpret_cast<const char*>(data),
                                      strnlen(reinterpret_cast<const char*>(data), topic_len));
    // An exact-size copy, so that reads past payloadlen are caught.
    std::vector<uint8_t> payload(nl ? nl + 1 : data, data + size);

    m->xtra_pending = (flags & 8) != 0;
    m->xtra_session = (flags & 16) ? 1 : 0;
    m->set_processing_active((flags & 32) != 0);
    mosquitto_message msg{};
    msg.topic = const_cast<char*>(topic.c_str());
    msg.payload = (flags & 64) && payload.empty() ? nullptr : payload.data();
    msg.payloadlen = static_cast<int>(payload.size());
    m->derived_on_message(&msg);
    return 0;
}
