// gpsMqtt: the daemon's one MQTT client. Subscribes its request topics on every connection,
// answers enable/disable requests, broadcasts gpsd reports, requests XTRA assistance data,
// and carries the flags shared with the main thread's loops.
#pragma once

#include <json/json.h>

#include <atomic>
#include <cstddef>
#include <ctime>
#include <functional>
#include <mutex>
#include <string>

#include "platform/cmd/cmd.h"
#include "platform/messaging/mqtt_kvt.h"

#define GPS_ENABLE_APPLY_TOPIC "v1/device/gps/enable/apply"
#define FILEPULL_ACK_TOPIC "v1/device/cmd/filepull/ack"
#define FILEPULL_APPLY_TOPIC "v1/device/cmd/filepull/apply"
#define GPS_SAT_TOPIC "v1/device/gps/location/sat/update"
#define GPS_TPV_TOPIC "v1/device/gps/location/tpv/update"
#define XTRA_FILE_PATH "/data/xtra/bramble_xtra.bin"

// Deepest nesting of arrays and objects accepted in a received payload. Requests are flat;
// the limit keeps the recursive JSON reader far from the end of the messaging thread's stack.
#define MQTT_JSON_MAX_DEPTH 64
// Largest payload read at all, in bytes. Requests and acknowledgements are a few hundred bytes;
// parsing costs many times the text in memory, so anything larger is refused unread.
#define MQTT_PAYLOAD_MAX 65536

// Parses a received payload: the text ends at the first NUL byte or after `len` bytes,
// whichever comes first (payload may be null when len is 0). Strict mode: no comments, the
// root must be an object or an array, nothing but white space after it. Returns false, leaving
// `out` null, on any failure, including a `len` over MQTT_PAYLOAD_MAX (not looked at) and
// nesting deeper than MQTT_JSON_MAX_DEPTH. Never throws.
bool parse_mqtt_payload(const void* payload, long len, Json::Value& out);

// Where the client's services are: the broker, the configuration of the XTRA requests and the
// XTRA file (its fixed path under the root).
struct gpsMqttSetup {
    std::string host = KVT_MQTT_LOCAL_HOST;
    int port = KVT_MQTT_LOCAL_PORT;
    std::string xtra_file = XTRA_FILE_PATH;
};

class gpsMqtt : public mqtt_kvt {
public:
    gpsMqtt(const char* client_id, const char* connect_message, ConfigStore& config,
            const gpsMqttSetup& setup = gpsMqttSetup());
    ~gpsMqtt() override;

    void derived_on_connect(int rc) override;
    void derived_on_message(const struct mosquitto_message* message) override;

    void set_svc_req(bool value) { svc_req.store(value); }
    bool get_svc_req() const { return svc_req.load(); }
    void set_processing_active(bool value) { processing_active.store(value); }
    bool is_processing_active() const { return processing_active.load(); }

    // Routing and replies (mqtt/routing.cpp)
    void send_reply(const char* topic, const Json::Value& reply);
    void copy_request_fields(const Json::Value& request, Json::Value& reply);
    void copy_request_value(const Json::Value& request, Json::Value& reply);
    // Enable command (mqtt/enable.cpp)
    void handle_enable(const Json::Value& request, int* rc, std::string* message);
    // Location broadcast (mqtt/broadcast.cpp)
    void broadcast_gps_data(const char* type, const Json::Value& report);
    // XTRA assistance update (mqtt/xtra.cpp)
    bool _get_xtra_interval(int* interval);
    bool _is_xtra_update_due();
    void request_xtra_update();
    void handle_filepull_ack(const Json::Value& ack);

    const char* connect_message;
    const std::string xtra_file;
    std::atomic<bool> svc_req{false};
    std::atomic<bool> processing_active{false};
    std::atomic<bool> xtra_pending{false};
    std::atomic<int> xtra_session{0};

    // How long handle_enable waits for processing_active to follow: this many tests of the
    // flag, each followed by a sleep of enable_wait_us while it has not. Tests shorten it.
    int enable_wait_tries = 50;
    unsigned int enable_wait_us = 100000;
    // Wall clock of the XTRA check and of the request's session number.
    std::function<time_t()> xtra_clock = [] { return time(nullptr); };
    // Test seam: runs inside an acknowledgement's match, between the comparison and the clear.
    std::function<void()> xtra_ack_matched;

protected:
    ConfigStore& config_;
    // Makes an acknowledgement's match and clear one step against the main thread's expiry and
    // new request: an answer to the old request must never close the new one.
    std::mutex xtra_mutex_;
    // Every publication of this class goes through here (retained or not); returns the
    // base's result, non-zero = accepted. Tests override it to watch the traffic.
    virtual int publish_out(const char* topic, const std::string& text, bool retain);
};
