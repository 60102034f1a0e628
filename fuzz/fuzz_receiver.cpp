// Arbitrary blocks through the receiver line intake, dead reckoning on to reach every proprietary
// handler; the group steps and the scanner driven directly too, so short inputs reach them.
#include <cstdint>
#include <sstream>

#include "receiver/receiver.h"
#include "tests/support/support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static navtest::TestDb t;
    // Verbose: the debug lines format the parsed fields too; none reaches syslog.
    [[maybe_unused]] static const int once =
        (log_set_verbose(true), setlogmask(LOG_MASK(LOG_EMERG)));
    const std::string text(reinterpret_cast<const char*>(data), size);
    ReceiverIntake intake(t.db);
    intake.set_deadreckon_enabled(true);
    intake.on_nmea_message(&std::string(text)[0]);

    // The same lines as one group, whatever their count and number characters say.
    std::vector<std::string> lines;
    std::istringstream stream(text);
    for (std::string l; std::getline(stream, l) || lines.empty();) lines.push_back(l.c_str());
    store_gsv_group(t.db, lines);
    store_gps_sqi(t.db, lines);

    const char* s = lines[0].c_str();
    int i[2];
    unsigned u[2];
    double d[3];
    char c, word[256];
    scan_fields(s, "%d,%x,%u,%lf,%c*%*s", &i[0], &u[0], &u[1], &d[0], &c);
    scan_fields(s, "$%d%%%lf %lf%*d%*c%*lf%*x%*u", &i[1], &d[1], &d[2]);
    if (text.size() < sizeof word) scan_fields(s, "%s", word);
    handle_pstm_dr_cal(t.db, s);
    return 0;
}
