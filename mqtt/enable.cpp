// GPS enable command: sets svc_req, wakes the main thread and waits a bounded time for the
// processing state to follow.
#include <signal.h>
#include <unistd.h>

#include "mqtt/gps_mqtt.h"
#include "platform/base/base.h"

void gpsMqtt::handle_enable(const Json::Value& request, int* rc, std::string* message) {
    // A non-object root (an array) has no members; treat it like a request without "value".
    if (!request.isObject() || !request.isMember("value") || !request["value"].isBool()) {
        if (message != nullptr) *message = "Value can only be true or false";
        return;
    }
    const bool enable = request["value"].asBool();
    svc_req.store(enable);
    // The main thread sleeps a second at a time; SIGCONT cuts that sleep short.
    kill(getpid(), SIGCONT);
    if (rc != nullptr) *rc = KVT_MQTT_RC_FAILED;

    nm_log(LOG_INFO, enable ? "Enabling GPS processing" : "Disabling GPS processing");
    for (int i = 0; i < enable_wait_tries; ++i) {
        if (processing_active.load() == enable) {
            if (rc != nullptr) *rc = KVT_MQTT_RC_OK;
            if (message != nullptr)
                *message = enable ? "Successfully enabled GPS processing"
                                  : "Successfully disabled GPS processing";
            return;
        }
        usleep(enable_wait_us);
    }
    if (message != nullptr)
        *message = enable ? "Failed to enabled GPS processing" : "Failed to disable GPS processing";
}
