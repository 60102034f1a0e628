// sd_notify for readiness, the watchdog and the status line.
#include "platform/service/service.h"

#include <systemd/sd-daemon.h>

#include <mutex>
#include <string>

#include "platform/base/base.h"
#include "platform/clock/clock.h"

namespace {
int notify(const char* state) {
    const int rc = sd_notify(0, state);  // 0 without $NOTIFY_SOCKET
    return rc < 0 ? rc : 0;
}
}  // namespace

int notify_ready() {
    return notify("READY=1");
}
int notify_watchdog() {
    return notify("WATCHDOG=1");
}

int notify_status(const char* text) {
    // The process has one status line: the last text sent is the process's, not an object's.
    static std::mutex mutex;
    static std::string last;
    std::lock_guard<std::mutex> lock(mutex);
    if (text == nullptr || last == text) return 0;
    const int rc = notify((std::string("STATUS=") + text).c_str());
    if (rc == 0) last = text;
    return rc;
}

void Watchdog::kick() {
    const unsigned int now = fwtime_bt_s(0);
    if (next_kick_ > now) return;
    nm_log(LOG_INFO, "Kicking watchdog");
    next_kick_ = now + 60;
    notify_watchdog();
}
