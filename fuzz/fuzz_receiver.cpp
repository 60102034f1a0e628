// Arbitrary blocks through the receiver line intake, with dead reckoning on so that every
// proprietary handler is reached; the group steps and the field scanner are also driven
// directly so that short inputs reach them without first forming a valid group.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "core/core.h"
#include "platform/platform.h"
#include "platform/sysdb.h"
#include "receiver/receiver.h"

namespace {

bool init_once() {
    char templ[] = "/tmp/fuzz_receiver.XXXXXX";
    const char* dir = mkdtemp(templ);
    setenv("SYSDB_PATH", (std::string(dir ? dir : "/tmp") + "/sysdb.sqlite").c_str(), 1);
    log_set_verbose(true);  // the debug lines format the parsed fields too
    setlogmask(LOG_MASK(LOG_EMERG));
    deadreckon_enabled = true;
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool ready = init_once();
    (void)ready;

    std::string text(reinterpret_cast<const char*>(data), size);

    std::vector<char> block(text.begin(), text.end());
    block.push_back('\0');
    on_nmea_message(block.data());

    // The same lines as one group, whatever their count and number characters say.
    std::vector<std::string> lines;
    size_t start = 0;
    while (start <= text.size()) {
        size_t nl = text.find('\n', start);
        if (nl == std::string::npos) nl = text.size();
        std::string line = text.substr(start, nl - start);
        lines.push_back(line.c_str());  // as a C string: up to the first NUL
        start = nl + 1;
    }
    store_gsv_group(lines);
    store_gps_sqi(lines);

    const char* s = lines.empty() ? "" : lines[0].c_str();
    int i[4];
    unsigned u[2];
    double d[3];
    char c;
    char word[256];
    scan_fields(s, "%d,%x,%u,%lf,%c*%*s", &i[0], &u[0], &u[1], &d[0], &c);
    scan_fields(s, "$%d%%%lf %lf%*d%*c%*lf%*x%*u", &i[1], &d[1], &d[2]);
    if (text.size() < sizeof word) scan_fields(s, "%s", word);
    handle_pstm_dr_cal(s);
    return 0;
}
