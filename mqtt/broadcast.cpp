// Location broadcast: every gpsd SKY and TPV report goes out on its MQTT topic as received.
#include <cstring>

#include "mqtt/gps_mqtt.h"
#include "platform/base/base.h"

void gpsMqtt::broadcast_gps_data(const char* type, const Json::Value& report) {
    Json::FastWriter writer;
    const std::string text = writer.write(report);
    const char* name = type != nullptr ? type : "(null)";

    const char* topic = nullptr;
    if (type != nullptr && strncmp(type, "SKY", 3) == 0)
        topic = GPS_SAT_TOPIC;
    else if (type != nullptr && strncmp(type, "TPV", 3) == 0)
        topic = GPS_TPV_TOPIC;

    if (topic == nullptr) {
        nm_log(LOG_WARNING, "Invalid GPS data type: %s.  Not broadcasting", name);
    } else if (publish_out(topic, text, false) != 0) {
        return;
    }
    nm_log(LOG_WARNING, "Failed to broadcast GPS data: %s", name);
}
