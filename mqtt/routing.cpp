// Message routing: service requests on GPS "/apply" topics are answered on the matching
// "/ack" topic; file-pull acknowledgements go to the XTRA logic; everything else is dropped.
// The broker is shared by every service on the device, so nothing a client sends may throw
// out of the hook or stop the messaging thread.
#include <mosquitto.h>

#include <algorithm>
#include <cstring>
#include <exception>
#include <memory>
#include <string>

#include "mqtt/gps_mqtt.h"
#include "platform/base/base.h"

namespace {

size_t payload_length(const void* payload, long len) {
    if (payload == nullptr || len <= 0) return 0;
    // Not every path terminates the payload: never read past len, stop at a NUL.
    const void* nul = memchr(payload, '\0', static_cast<size_t>(len));
    return nul != nullptr ? static_cast<size_t>(static_cast<const char*>(nul) -
                                                static_cast<const char*>(payload))
                          : static_cast<size_t>(len);
}

std::string replace_first(const std::string& text, const char* what, const char* with) {
    std::string out = text;
    const size_t at = out.find(what);
    if (at != std::string::npos) out.replace(at, strlen(what), with);
    return out;
}

// Strict mode, and nothing but white space after the root: "{...} x" or two objects back to
// back are not one request. A repeated key keeps its last value, as it always has.
const Json::CharReaderBuilder& strict_reader() {
    static const Json::CharReaderBuilder builder = [] {
        Json::CharReaderBuilder b;
        Json::CharReaderBuilder::strictMode(&b.settings_);
        b.settings_["failIfExtra"] = true;
        b.settings_["rejectDupKeys"] = false;
        b.settings_["skipBom"] = false;
        return b;
    }();
    return builder;
}

}  // namespace

bool parse_mqtt_payload(const void* payload, long len, Json::Value& out) {
    out = Json::Value();
    if (len > MQTT_PAYLOAD_MAX) return false;
    const size_t n = payload_length(payload, len);
    const char* text = n > 0 ? static_cast<const char*>(payload) : "";
    if (!json_text_acceptable(text, n, MQTT_JSON_MAX_DEPTH, true)) return false;
    try {
        const std::unique_ptr<Json::CharReader> reader(strict_reader().newCharReader());
        if (reader->parse(text, text + n, &out, nullptr)) return true;
    } catch (const std::exception&) {
        // The reader throws on nesting past its own limit; a failed parse either way.
    }
    out = Json::Value();
    return false;
}

void gpsMqtt::send_reply(const char* topic, const Json::Value& reply) {
    Json::FastWriter writer;
    publish_out(topic, writer.write(reply), true);
}

void gpsMqtt::copy_request_fields(const Json::Value& request, Json::Value& reply) {
    if (!request.isObject()) return;
    if (request.isMember("update") && request["update"].isObject())
        reply["update"] = request["update"];
    // Echoed only when a whole number that fits 32 unsigned bits; 12.0 is echoed as 12.
    for (const char* key : {"ts", "session"}) {
        const Json::Value& v = request[key];
        if (request.isMember(key) && v.isUInt()) reply[key] = v.asUInt();
    }
}

void gpsMqtt::copy_request_value(const Json::Value& request, Json::Value& reply) {
    if (request.isObject() && request.isMember("value")) reply["value"] = request["value"];
}

void gpsMqtt::derived_on_message(const struct mosquitto_message* message) {
    if (message == nullptr) return;
    run_guarded("derived_on_message", [&] {
        const char* topic = message->topic != nullptr ? message->topic : "";

        if (strstr(topic, "v1/device/gps") == nullptr) {
            if (strstr(topic, FILEPULL_ACK_TOPIC) == nullptr || !xtra_pending.load()) return;
            if (message->payloadlen > MQTT_PAYLOAD_MAX) return;  // no acknowledgement is that big
            Json::Value ack;
            if (!parse_mqtt_payload(message->payload, message->payloadlen, ack) ||
                !ack.isObject()) {
                nm_log(LOG_ERR, "Failed reading file pull ack message form XTRA update request.");
                return;
            }
            handle_filepull_ack(ack);
            return;
        }

        // Logged in place, never copied: the log line keeps only its first kilobyte anyway.
        const size_t shown = payload_length(message->payload, std::min(message->payloadlen, 1024));
        nm_log(LOG_INFO, "on_message: topic[%s] payload[%.*s]", topic, static_cast<int>(shown),
               shown > 0 ? static_cast<const char*>(message->payload) : "");
        if (strstr(topic, "/apply") == nullptr) return;

        int rc = KVT_MQTT_RC_BAD_REQUEST;
        std::string text = "Invalid service";
        const std::string reply_topic = replace_first(topic, "/apply", "/ack");
        nm_log(LOG_DEBUG, "Will be replying to topic:%s", reply_topic.c_str());

        Json::Value request;
        Json::Value reply(Json::objectValue);
        reply["value"] = Json::Value();
        // A request must be an object; an array root is not a request document either.
        if (!parse_mqtt_payload(message->payload, message->payloadlen, request) ||
            !request.isObject()) {
            text = "Payload is not a valid JSON";
        } else {
            copy_request_fields(request, reply);
            copy_request_value(request, reply);
            if (strstr(topic, "/enable") != nullptr) {
                handle_enable(request, &rc, &text);
                if (rc == KVT_MQTT_RC_OK) {
                    const std::string state = std::to_string(reply["value"].asUInt());
                    publish_out(replace_first(topic, "/apply", "/update").c_str(), state, true);
                }
            }
        }
        reply["rc"] = rc;
        reply["message"] = text;
        send_reply(reply_topic.c_str(), reply);
    });
}
