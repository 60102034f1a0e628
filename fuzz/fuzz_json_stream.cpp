// Arbitrary blocks from gpsd's JSON connection: no crash, no undefined behaviour, and the
// reassembly buffer never passes its limit. The reports that come through are then run
// through a processing pass, whose exceptions are its documented failure path.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "intake/intake.h"

namespace {
void drop_broadcast(const char*, const Json::Value& report) {
    if (!report.isObject()) abort();
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool once = [] {
        intake_set_broadcast_hook(drop_broadcast);
        return true;
    }();
    (void)once;
    intake_reset_for_test();

    // NUL bytes separate the blocks, as the client hands each one over as a C string.
    std::vector<char> block;
    for (size_t i = 0; i <= size; ++i) {
        if (i < size && data[i] != 0) {
            block.push_back(static_cast<char>(data[i]));
            continue;
        }
        block.push_back('\0');
        on_gpsd_json(block.data());
        block.clear();
        if (partial_json_buffer().size() > PARTIAL_JSON_LIMIT) abort();

        Json::Value snapshot = fixstate_snapshot();
        try {
            process_gps_data(snapshot, nullptr);
        } catch (const std::exception&) {
        }
    }
    return 0;
}
