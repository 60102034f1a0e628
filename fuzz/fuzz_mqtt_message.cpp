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

namespace {

void ignore_signal(int) {}

void drop_log(int, const char*) {}

gpsMqtt* client() {
    static gpsMqtt* c = [] {
        signal(SIGCONT, ignore_signal);
        log_set_hook(drop_log);
        // Never connected: publications fail quietly. Keep the enable wait short.
        auto* m = new gpsMqtt("fuzz_mqtt_message", "connected");
        m->enable_wait_tries = 1;
        m->enable_wait_us = 0;
        return m;
    }();
    return c;
}

const char* const kTopics[] = {GPS_ENABLE_APPLY_TOPIC, FILEPULL_ACK_TOPIC,
                               "v1/device/gps/enable/apply/apply", "v1/device/gps/other/apply",
                               "v1/device/gps/enable/update"};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    gpsMqtt* m = client();
    const uint8_t flags = data[0];
    ++data;
    --size;

    const void* nl = memchr(data, '\n', size);
    const size_t topic_len = nl ? static_cast<size_t>(static_cast<const uint8_t*>(nl) - data) : 0;
    std::string topic;
    // Low bits pick a known topic, so that the interesting paths are reached often.
    if ((flags & 7) < 5)
        topic = kTopics[flags & 7];
    else
        topic.assign(reinterpret_cast<const char*>(data),
                     strnlen(reinterpret_cast<const char*>(data), topic_len));
    const uint8_t* payload = nl ? data + topic_len + 1 : data;
    const size_t payload_len = nl ? size - topic_len - 1 : size;

    m->xtra_pending = (flags & 8) != 0;
    m->xtra_session = (flags & 16) ? 1 : 0;
    m->set_processing_active((flags & 32) != 0);

    // An exact-size copy, so that reads past payloadlen are caught.
    std::vector<uint8_t> copy(payload, payload + payload_len);
    mosquitto_message msg{};
    msg.topic = const_cast<char*>(topic.c_str());
    msg.payload = (flags & 64) && copy.empty() ? nullptr : copy.data();
    msg.payloadlen = static_cast<int>(copy.size());
    m->derived_on_message(&msg);
    return 0;
}
