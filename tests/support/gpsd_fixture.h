// A private gpsd for tests: nmea_replay serves a recording on a free loopback port, and a gpsd
// reading it listens on another. gpsd is started and stopped through a stand-in
// `$ROOT/bin/systemctl` ("start gpsd", "stop gpsd"), the way navmon does it, with its pid file
// at `$ROOT/var/run/gpsd.pid`.
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
    ~GpsdFixture() { stop(); }
    GpsdFixture(const GpsdFixture&) = delete;
    GpsdFixture& operator=(const GpsdFixture&) = delete;

    bool ok() const { return ok_; }  // everything asked for in the constructor came up
    int gpsd_port() const { return gpsd_port_; }
    // NAVMON_ROOT, GPSD_HOST and GPSD_PORT for a navmon started against this gpsd.
    std::map<std::string, std::string> env() const;
    // `systemctl start gpsd`, then waits until gpsd accepts connections.
    bool start_gpsd();
    // Sends `sig` to the gpsd of the pid file and waits until that process is gone (SIGKILL
    // leaves the pid file behind). False when there was no gpsd.
    bool kill_gpsd(int sig);
    pid_t gpsd_pid() const;  // 0 when there is none
    bool gpsd_running() const;
    // How many times `systemctl start gpsd` was run (by anybody) since the fixture was made.
    int start_count() const;
    // Stops every gpsd of this fixture and the replay, removes gpsd's shared memory. Idempotent.
    void stop();

private:
    std::string root_;
    int feed_port_ = 0;
    int gpsd_port_ = 0;
    unsigned int shm_key_ = 0;
    bool ok_ = false;
    bool stopped_ = false;
    Process replay_;
};

// A plain TCP client of gpsd with a ?WATCH request sent.
class GpsdWatch {
public:
    // raw: raw receiver lines (plus gpsd's own JSON greeting); otherwise JSON reports.
    GpsdWatch(int port, bool raw);
    ~GpsdWatch();
    GpsdWatch(const GpsdWatch&) = delete;
    GpsdWatch& operator=(const GpsdWatch&) = delete;
    bool connected() const { return fd_ >= 0; }
    // Reads for `ms` milliseconds; returns every line received so far.
    std::vector<std::string> collect(int ms);

private:
    int fd_ = -1;
    std::string pending_;
    std::vector<std::string> lines_;
};

}  // namespace navtest
