// Cost of gpsMqtt's message hook and location broadcast, without a broker.
#include <benchmark/benchmark.h>
#include <mosquitto.h>
#include <signal.h>

#include <string>

#include "mqtt/gps_mqtt.h"
#include "platform/base/base.h"

namespace {

void ignore_signal(int) {}
void drop_log(int, const char*) {}

ConfigStore config("/nonexistent/config.json");

class QuietMqtt : public gpsMqtt {
public:
    QuietMqtt() : gpsMqtt("bench_gps_mqtt", "connected", config) {
        signal(SIGCONT, ignore_signal);
        log_set_hook(drop_log);
        log_set_verbose(false);
    }
    size_t bytes = 0;

protected:
    int publish_out(const char*, const std::string& text, bool) override {
        bytes += text.size();
        return 1;
    }
};

void deliver(QuietMqtt& m, const char* topic, const std::string& payload) {
    mosquitto_message msg{};
    msg.topic = const_cast<char*>(topic);
    msg.payload = const_cast<char*>(payload.data());
    msg.payloadlen = static_cast<int>(payload.size());
    m.derived_on_message(&msg);
}

void BM_DisableRequest(benchmark::State& state) {
    QuietMqtt m;
    const std::string p = "{\"value\":false,\"session\":12,\"ts\":1700000000,\"update\":{\"a\":1}}";
    for (auto _ : state) deliver(m, GPS_ENABLE_APPLY_TOPIC, p);
    benchmark::DoNotOptimize(m.bytes);
}
BENCHMARK(BM_DisableRequest);

void BM_InvalidPayload(benchmark::State& state) {
    QuietMqtt m;
    const std::string p(static_cast<size_t>(state.range(0)), '[');
    for (auto _ : state) deliver(m, GPS_ENABLE_APPLY_TOPIC, p);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_InvalidPayload)->Arg(64)->Arg(1 << 20);

void BM_LargeRequest(benchmark::State& state) {
    QuietMqtt m;
    const std::string p = "{\"value\":false,\"pad\":\"" + std::string(1 << 20, 'x') + "\"}";
    for (auto _ : state) deliver(m, GPS_ENABLE_APPLY_TOPIC, p);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * p.size());
}
BENCHMARK(BM_LargeRequest);

void BM_IgnoredAck(benchmark::State& state) {
    QuietMqtt m;
    const std::string p = "{\"session\":1,\"rc\":200}";
    for (auto _ : state) deliver(m, FILEPULL_ACK_TOPIC, p);
}
BENCHMARK(BM_IgnoredAck);

void BM_BroadcastTpv(benchmark::State& state) {
    QuietMqtt m;
    Json::Value tpv;
    tpv["class"] = "TPV";
    tpv["mode"] = 3;
    tpv["lat"] = 48.1234567;
    tpv["lon"] = 11.7654321;
    tpv["alt"] = 512.3;
    tpv["speed"] = 13.4;
    tpv["track"] = 271.2;
    tpv["time"] = "2026-12-06T14:00:00.000Z";
    tpv["ts"] = 12345.678;
    for (auto _ : state) m.broadcast_gps_data("TPV", tpv);
    benchmark::DoNotOptimize(m.bytes);
}
BENCHMARK(BM_BroadcastTpv);

}  // namespace
