// Arbitrary blocks through the receiver line intake, with dead reckoning on so that every
// proprietary handler is reached; the group steps and the field scanner are also driven
// directly so that short inputs reach them without first forming a valid group.
#include <stdlib.h>
#include <syslog.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "receiver/receiver.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool ready = [] {
        static char dir[] = "/tmp/fuzz_receiver.XXXXXX";
        if (mkdtemp(dir) == nullptr) abort();
        atexit([] { std::filesystem::remove_all(dir); });
        setenv("SYSDB_PATH", (std::string(dir) + "/sysdb.sqlite").c_str(), 1);
        log_set_verbose(true);  // the debug lines format the parsed fields too
        setlogmask(LOG_MASK(LOG_EMERG));
        return true;
    }();
    (void)ready;
    const std::string text(reinterpret_cast<const char*>(data), size);
    ReceiverIntake intake;
    intake.set_deadreckon_enabled(true);
    std::string block = text;
    intake.on_nmea_message(&block[0]);

    // The same lines as one group, whatever their count and number characters say.
    std::vector<std::string> lines;
    for (size_t start = 0; start <= text.size();) {
        const size_t nl = std::min(text.find('\n', start), text.size());
        lines.push_back(text.substr(start, nl - start).c_str());  // up to the first NUL
        start = nl + 1;
    }
    store_gsv_group(lines);
    store_gps_sqi(lines);

    const char* s = lines[0].c_str();
    int i[2];
    unsigned u[2];
    double d[3];
    char c, word[256];
    scan_fields(s, "%d,%x,%u,%lf,%c*%*s", &i[0], &u[0], &u[1], &d[0], &c);
    scan_fields(s, "$%d%%%lf %lf%*d%*c%*lf%*x%*u", &i[1], &d[1], &d[2]);
    if (text.size() < sizeof word) scan_fields(s, "%s", word);
    handle_pstm_dr_cal(s);
    return 0;
}
