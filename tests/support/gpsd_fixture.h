// A private gpsd for tests: nmea_replay serves a recording on a free loopback port, and a gpsd
// reading it listens on another free loopback port. gpsd is started and stopped through a
// stand-in `$ROOT/bin/systemctl` ("start gpsd", "stop gpsd", "restart gpsd", "is-active gpsd"),
// the same way navmon does it, with its pid file at `$ROOT/var/run/gpsd.pid`.
#pragma once

#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

#include "tests/support/support.h"

namespace navtest {

struct GpsdFixtureOptions {
    double rate = 1.0;       // epochs per second
    bool loop = false;       // start the recording again at its end
    long start_epoch = 0;    // first epoch of the timeline
    bool start_gpsd = true;  // false: only the feed and the systemctl script are prepared
};

class GpsdFixture {
public:
    // `recording` is a path, or a file name under the source tree's testdata/.
    GpsdFixture(const std::string& root, const std::string& recording,
                const GpsdFixtureOptions& options = GpsdFixtureOptions());
    ~GpsdFixture();  // stop()
    GpsdFixture(const GpsdFixture&) = delete;
    GpsdFixture& operator=(const GpsdFixture&) = delete;

    // True when everything asked for in the constructor came up.
    bool ok() const { return ok_; }
    int gpsd_port() const { return gpsd_port_; }
    int feed_port() const { return feed_port_; }
    const std::string& root() const { return root_; }
    std::string pidfile() const { return root_ + "/var/run/gpsd.pid"; }
    std::string systemctl() const { return root_ + "/bin/systemctl"; }
    // NAVMON_ROOT, GPSD_HOST and GPSD_PORT for a navmon started against this gpsd.
    std::map<std::string, std::string> env() const;

    // `systemctl start gpsd`, then waits until gpsd accepts connections. True when it does.
    bool start_gpsd();
    // `systemctl stop gpsd`; true when the command succeeded.
    bool stop_gpsd();
    // Sends `sig` to the gpsd of the pid file; for a terminating signal, waits until that
    // process is gone. SIGKILL leaves the pid file behind. False when there was no gpsd.
    bool kill_gpsd(int sig);
    // The pid in the pid file, 0 when there is none.
    pid_t gpsd_pid() const;
    // A gpsd of this fixture is alive and listening.
    bool gpsd_running() const;
    // How many times `systemctl start gpsd` was run (by anybody) since the fixture was made.
    int start_count() const;

    // Stops exactly what this fixture started (every gpsd with its pid file, the replay) and
    // removes gpsd's shared-memory segment. Harmless when called again.
    void stop();

private:
    std::string root_;
    std::string recording_;
    int feed_port_ = 0;
    int gpsd_port_ = 0;
    unsigned int shm_key_ = 0;
    bool ok_ = false;
    bool stopped_ = false;
    Process replay_;
};

// A plain TCP client of gpsd with a ?WATCH request sent, reading its lines synchronously.
class GpsdWatch {
public:
    // raw: raw receiver lines (plus gpsd's own JSON greeting); otherwise JSON reports.
    GpsdWatch(int port, bool raw);
    ~GpsdWatch();
    GpsdWatch(const GpsdWatch&) = delete;
    GpsdWatch& operator=(const GpsdWatch&) = delete;
    bool connected() const { return fd_ >= 0; }
    // Waits for a line containing `needle` (stored in *line) among the lines after the one
    // the previous successful wait_line matched, reading until it comes or the time runs out.
    bool wait_line(const std::string& needle, int timeout_ms, std::string* line = nullptr);
    // Reads for `ms` milliseconds; returns every line received so far.
    std::vector<std::string> collect(int ms);
    const std::vector<std::string>& lines() const { return lines_; }

private:
    bool read_some(int timeout_ms);
    int fd_ = -1;
    std::string pending_;
    std::vector<std::string> lines_;
    size_t matched_ = 0;
};

// True when something accepts TCP connections on 127.0.0.1:port.
bool port_listening(int port);

}  // namespace navtest
