// gpsMqtt without a broker: publications are recorded instead of sent.
#include <utility>

#include "mqtt/gps_mqtt.h"
#include "tests/support/support.h"

navtest::TempDir root;
ConfigStore g_config(root / "config.json");

struct RecordingMqtt : gpsMqtt {
    RecordingMqtt()
        : gpsMqtt("test_gps_mqtt", "connected", g_config,
                  {KVT_MQTT_LOCAL_HOST, KVT_MQTT_LOCAL_PORT, root / "data/xtra/bramble_xtra.bin"}) {
        enable_wait_tries = 1;
    }
    int publish_out(const char* topic, const std::string& text, bool retain) override {
        sent += std::string(topic) + " " + text + (retain ? "(r)|" : "|");
        return 1;
    }
    // Publications ("topic text|", "(r)": retained), '+' while an XTRA request is outstanding, and
    // what was logged: F a failed XTRA update, U an unreadable answer.
    std::string traffic() const {
        return sent + (xtra_pending ? "+" : "") + (log.contains("update the XTRA") ? "F" : "") +
               (log.contains("file pull ack") ? "U" : "");
    }
    std::string sent;
    navtest::LogCapture log;
};

TEST(GpsMqtt, RepliesBroadcastsAndXtraRequests) {
    // A retained reply on topic t: the message s, rc and the other members (in key order) m.
    auto ack = [](std::string t, std::string s, int rc, std::string m = "\"value\":false") {
        return t + R"( {"message":")" + s + R"(","rc":)" + std::to_string(rc) + "," + m + "}\n(r)|";
    };
    // Rows: topic, payload, flags (1: processing active; 2: XTRA request 777 outstanding), traffic.
    const std::string off = R"({"value":false})", pad(MQTT_PAYLOAD_MAX - off.size(), ' '),
                      en = "v1/device/gps/enable/", done = "Successfully disabled GPS processing";
    const std::tuple<std::string, std::string, int, std::string> cases[] = {
        {en + "apply/apply", off, 0, en + "update/apply 0(r)|" + ack(en + "ack/apply", done, 200)},
        {"v1/device/gps/other/apply", R"({"value":true,"session":3})", 0,
         ack("v1/device/gps/other/ack", "Invalid service", 400, R"("session":3,"value":true)")},
        {en + "update", off, 0, ""},
        {"v1/device/cell/enable/apply", off, 0, ""},
        {en + "apply", off, 1, ack(en + "ack", "Failed to disable GPS processing", 500)},
        // A payload is read up to its size limit and refused unread beyond it.
        {en + "apply", off + pad, 0, en + "update 0(r)|" + ack(en + "ack", done, 200)},
        {en + "apply", off + pad + " ", 0,
         ack(en + "ack", "Payload is not a valid JSON", 400, R"("value":null)")},
        // Acknowledgements are read only while a request is out; an answer closes it.
        {FILEPULL_ACK_TOPIC, "nope", 0, ""},
        {FILEPULL_ACK_TOPIC, "nope", 2, "+U"},
        {FILEPULL_ACK_TOPIC, "{\"session\":777,\"rc\":200,\"extra\":1} \n", 2, ""},
        {FILEPULL_ACK_TOPIC, R"({"session":777,"rc":500})", 2, "F"},
        {FILEPULL_ACK_TOPIC, R"({"session":777,"rc":"200"})", 2, "F"},
        {FILEPULL_ACK_TOPIC, R"({"session":778,"rc":200})", 2, "+"},
        {FILEPULL_ACK_TOPIC, R"({"session":777})", 2, "+"},
    };
    for (const auto& [topic, payload, flags, traffic] : cases) {
        RecordingMqtt mqtt;
        mqtt.set_processing_active(flags & 1);
        mqtt.xtra_pending = flags & 2, mqtt.xtra_session = flags & 2 ? 777 : 0;
        std::string t = topic, p = payload;
        mosquitto_message m{0, &t[0], &p[0], static_cast<int>(p.size()), 0, false};
        mqtt.derived_on_message(&m);
        EXPECT_EQ(mqtt.traffic(), traffic) << topic << " " << payload.substr(0, 40);
    }

    RecordingMqtt mqtt;  // broadcasts go out unretained, by the report type's first letters
    for (const char* type : {"SKY", "SKYVIEW", "TPV", "GST", "SK", ""})
        mqtt.broadcast_gps_data(type, Json::Value(1));
    EXPECT_EQ(std::exchange(mqtt.sent, ""),
              GPS_SAT_TOPIC " 1\n|" GPS_SAT_TOPIC " 1\n|" GPS_TPV_TOPIC " 1\n|");
    mkdir_parents(mqtt.xtra_file), navtest::write_file(mqtt.xtra_file, "xtra");
    struct stat st {};
    ASSERT_EQ(stat(mqtt.xtra_file.c_str(), &st), 0);
    time_t now = 0;
    mqtt.xtra_clock = [&now] { return now; };
    const std::string req =
        FILEPULL_APPLY_TOPIC R"( {"filepath":"/data/xtra/bramble_xtra.bin","session":)";
    // "gps.gps" (interval in days), seconds since the file's status change, the "url" ("-": none).
    const std::tuple<std::string, long, std::string> requests[] = {
        {R"({"xtra_enable":false,"xtra_loading":{"enable":true,"interval":0}})", 1, "-"},
        {R"({"xtra_enable":true,"xtra_loading":{"enable":false,"interval":0}})", 1, "-"},
        {R"({"xtra_enable":true,"xtra_loading":{"enable":true}})", 1, "-"},
        {R"({"xtra_enable":true,"xtra_loading":{"enable":true,"interval":7}})", 604800, "-"},
        {R"({"xtra_enable":true,"xtra_loading":{"enable":true,"interval":7,"location":"h://x"}})",
         604801, R"(,"url":"h://x")"},
        {R"({"xtra_enable":true,"xtra_loading":{"enable":true,"interval":30000}})", 86400, "-"},
    };
    for (const auto& [gps_gps, age, url] : requests) {
        navtest::write_file(root / "config.json", "{\"gps\":{\"gps\":" + gps_gps + "}}");
        now = st.st_ctime + age;
        mqtt.request_xtra_update();
        EXPECT_EQ(std::exchange(mqtt.sent, ""),
                  url == "-" ? "" : req + std::to_string(now) + url + "}\n|");
    }
    // Given up at the next check, also when not due then; without a file an update is always due.
    EXPECT_FALSE(mqtt.xtra_pending);
    unlink(mqtt.xtra_file.c_str());
    for (now = 1000; now <= 2000; now += 1000) mqtt.request_xtra_update();
    EXPECT_EQ(std::exchange(mqtt.sent, ""), req + "1000}\n|" + req + "2000}\n|");

    // The answer to request 2000, matched while the main thread expires it and asks again: the
    // new request stays outstanding and the answered one is not called expired.
    std::thread main_thread;
    mqtt.xtra_ack_matched = [&] {
        main_thread = std::thread([&] { now = 3000, mqtt.request_xtra_update(); });
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    };
    mqtt.handle_filepull_ack(navtest::json(R"({"session": 2000, "rc": 200})"));
    main_thread.join();
    EXPECT_EQ(mqtt.traffic(), req + "3000}\n|+");
    EXPECT_FALSE(mqtt.log.contains("request 2000 expired"));
}
