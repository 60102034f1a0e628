// Arbitrary blocks from gpsd's JSON connection: no crash, no undefined behaviour, the reassembly
// buffer within its limit; then a processing pass, whose exceptions are its failure path.
#include <cstdint>
#include <cstdlib>
#include <exception>

#include "intake/intake.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FixState state;
    JsonIntake intake(state, [](const char*, const Json::Value& r) {
        if (!r.isObject()) abort();
    });
    // NUL bytes separate the blocks, as the client hands each one over as a C string.
    const std::string input(reinterpret_cast<const char*>(data), size);
    for (size_t start = 0; start <= size;) {
        std::string block = input.substr(start, input.find('\0', start) - start);
        start += block.size() + 1;
        intake.on_gpsd_json(&block[0]);
        if (intake.partial_json().size() > PARTIAL_JSON_LIMIT) abort();
        Json::Value snapshot = state.fixstate_snapshot();
        try {
            state.process_gps_data(snapshot, nullptr);
        } catch (const std::exception&) {
        }
    }
    return 0;
}
