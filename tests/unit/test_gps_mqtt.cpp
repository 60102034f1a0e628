// gpsMqtt without a broker: publications are recorded instead of sent.
#include <gtest/gtest.h>
#include <mosquitto.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <tuple>
#include <utility>

#include "mqtt/gps_mqtt.h"
#include "tests/support/support.h"

namespace {

class RecordingMqtt : public gpsMqtt {
public:
    RecordingMqtt() : gpsMqtt("test_gps_mqtt", "connected") { enable_wait_tries = 1; }
    void deliver(const std::string& topic, std::string payload) {
        mosquitto_message m{};
        m.topic = const_cast<char*>(topic.c_str());
        m.payload = payload.empty() ? nullptr : &payload[0];
        m.payloadlen = static_cast<int>(payload.size());
        derived_on_message(&m);
    }
    int publish_out(const char* topic, const std::string& text, bool retain) override {
        sent += std::string(topic) + " " + text + (retain ? "(r)|" : "|");
        return 1;
    }
    // Publications since the last call ("topic text|", "(r)": retained), then "[...]": '+' while an
    // XTRA request is outstanding; logged: F a failed update, U an unreadable answer, E expiry.
    std::string traffic() {
        std::string state = std::string(xtra_pending ? "+" : "") +
                            (log.contains("Failed to update the XTRA") ? "F" : "") +
                            (log.contains("Failed reading file pull ack") ? "U" : "") +
                            (log.contains("expired without acknowledgement") ? "E" : "");
        log.clear();
        return std::exchange(sent, "") + (state.empty() ? "" : "[" + state + "]");
    }
    std::string sent;
    navtest::LogCapture log;
};

// A retained reply on `topic`: the message, rc and the other members (in key order) in `rest`.
std::string ack(const std::string& topic, const std::string& message, int rc,
                const std::string& rest = R"("value":false)") {
    return topic + R"( {"message":")" + message + R"(","rc":)" + std::to_string(rc) + "," + rest +
           "}\n(r)|";
}

// Rows: topic, payload, flags (1: processing active; 2: XTRA request 777 outstanding), traffic.
TEST(Routing, TopicsDecideTheReply) {
    const std::string off = R"({"value":false})", gps = "v1/device/gps/", en = gps + "enable/";
    const std::string done = "Successfully disabled GPS processing";
    const std::tuple<std::string, std::string, int, std::string> cases[] = {
        {en + "apply/apply", off, 0, en + "update/apply 0(r)|" + ack(en + "ack/apply", done, 200)},
        {gps + "other/apply", R"({"value":true,"session":3})", 0,
         ack(gps + "other/ack", "Invalid service", 400, R"("session":3,"value":true)")},
        {en + "update", off, 0, ""},
        {"v1/device/cell/enable/apply", off, 0, ""},
        {en + "apply", off, 1, ack(en + "ack", "Failed to disable GPS processing", 500)},
        // A payload is read up to its size limit and refused unread beyond it.
        {en + "apply", off + std::string(MQTT_PAYLOAD_MAX - off.size(), ' '), 0,
         en + "update 0(r)|" + ack(en + "ack", done, 200)},
        {en + "apply", off + std::string(MQTT_PAYLOAD_MAX + 1 - off.size(), ' '), 0,
         ack(en + "ack", "Payload is not a valid JSON", 400, R"("value":null)")},
        // Acknowledgements are read only while a request is out; an answer closes it.
        {FILEPULL_ACK_TOPIC, "nope", 0, ""},
        {FILEPULL_ACK_TOPIC, "nope", 2, "[+U]"},
        {FILEPULL_ACK_TOPIC, "{\"session\":777,\"rc\":200,\"extra\":1} \n", 2, ""},
        {FILEPULL_ACK_TOPIC, R"({"session":777,"rc":500})", 2, "[F]"},
        {FILEPULL_ACK_TOPIC, R"({"session":777,"rc":"200"})", 2, "[F]"},
        {FILEPULL_ACK_TOPIC, R"({"session":778,"rc":200})", 2, "[+]"},
        {FILEPULL_ACK_TOPIC, R"({"session":777})", 2, "[+]"},
    };
    for (const auto& [topic, payload, flags, traffic] : cases) {
        RecordingMqtt mqtt;
        mqtt.set_processing_active(flags & 1);
        mqtt.xtra_pending = flags & 2;
        mqtt.xtra_session = flags & 2 ? 777 : 0;
        mqtt.deliver(topic, payload);
        EXPECT_EQ(mqtt.traffic(), traffic) << topic << " " << payload.substr(0, 40);
    }
}

TEST(Broadcast, TopicByReportType) {
    RecordingMqtt mqtt;
    for (const char* type : {"SKY", "SKYVIEW", "TPV", "GST", "SK", ""})
        mqtt.broadcast_gps_data(type, Json::Value(type));
    EXPECT_EQ(mqtt.traffic(), GPS_SAT_TOPIC " \"SKY\"\n|" GPS_SAT_TOPIC
                                            " \"SKYVIEW\"\n|" GPS_TPV_TOPIC " \"TPV\"\n|");
}

std::string xtra_request(time_t session, const std::string& url = "") {
    return FILEPULL_APPLY_TOPIC R"( {"filepath":"/data/xtra/bramble_xtra.bin","session":)" +
           std::to_string(session) + url + "}\n|";
}

TEST(Xtra, RequestsAndTheirExpiry) {
    navtest::TempDir root;
    navtest::ScopedEnv env_root{"NAVMON_ROOT", root.path()};
    navtest::ScopedEnv env_config{"PLATFORM_CONFIG", root / "config.json"};
    const std::string file = root / "data/xtra/bramble_xtra.bin";
    navtest::mkdirs(root / "data/xtra");
    navtest::write_file(file, "xtra");
    struct stat st {};
    ASSERT_EQ(stat(file.c_str(), &st), 0);
    RecordingMqtt mqtt;
    time_t now = 0;
    mqtt.xtra_clock = [&now] { return now; };
    // "gps.gps" (interval in days), seconds since the file's status change, the "url" ("-": none).
    const std::tuple<std::string, long, std::string> requests[] = {
        {R"({"xtra_enable":false,"xtra_loading":{"enable":true,"interval":0}})", 1, "-"},
        {R"({"xtra_enable":true,"xtra_loading":{"enable":false,"interval":0}})", 1, "-"},
        {R"({"xtra_enable":true,"xtra_loading":{"enable":true}})", 1, "-"},
        {R"({"xtra_enable":true,"xtra_loading":{"enable":true,"interval":0,"location":"h://x"}})",
         1, R"(,"url":"h://x")"},
        {R"({"xtra_enable":true,"xtra_loading":{"enable":true,"interval":7}})", 604800, "-"},
        {R"({"xtra_enable":true,"xtra_loading":{"enable":true,"interval":7}})", 604801, ""},
        {R"({"xtra_enable":true,"xtra_loading":{"enable":true,"interval":30000}})", 86400, "-"},
    };
    for (const auto& [gps_gps, age, url] : requests) {
        navtest::write_file(root / "config.json", "{\"gps\":{\"gps\":" + gps_gps + "}}");
        now = st.st_ctime + age;
        mqtt.request_xtra_update();
        EXPECT_EQ(std::exchange(mqtt.sent, ""), url == "-" ? "" : xtra_request(now, url)) << age;
    }
    // A request unanswered at the next check is given up (also when no longer due), and a late
    // answer changes nothing. Without a file an update is always due.
    EXPECT_EQ(mqtt.traffic(), "[E]");
    unlink(file.c_str());
    for (now = 1000; now <= 2000; now += 1000) mqtt.request_xtra_update();
    mqtt.deliver(FILEPULL_ACK_TOPIC, R"({"session":1000,"rc":200})");
    EXPECT_EQ(mqtt.traffic(), xtra_request(1000) + xtra_request(2000) + "[+E]");
    navtest::write_file(root / "config.json", R"({"gps":{"gps":{"xtra_enable":false}}})");
    mqtt.request_xtra_update();
    EXPECT_EQ(mqtt.traffic(), "[E]");
}

}  // namespace
