// The service manager: readiness, the watchdog and the status line, through sd_notify. Outside
// systemd every call is harmless.
#pragma once

int notify_ready();     // READY=1
int notify_watchdog();  // WATCHDOG=1
// STATUS=text, sent only when the text differs from the last one sent.
int notify_status(const char* text);

// The service watchdog (main thread only): the first kick goes out, later ones at most once
// per minute of uptime however often they are asked for.
class Watchdog {
public:
    void kick();

private:
    unsigned int next_kick_ = 0;
};
