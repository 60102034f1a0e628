#include "tests/support/gpsd_fixture.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace navtest {

namespace {

// The stand-in systemctl. gpsd runs in the foreground (-N) under a small subshell that stays
// to reap it, so a killed gpsd disappears at once instead of lingering as an orphan zombie.
const char kSystemctl[] = R"SH(#!/bin/sh
# Test stand-in for systemctl: manages one private gpsd fed from a local replay.
ROOT='@ROOT@'
GPSD_PORT=@GPSD_PORT@
FEED_PORT=@FEED_PORT@
SHM_KEY=@SHM_KEY@
PIDFILE="$ROOT/var/run/gpsd.pid"
LOG="$ROOT/var/log/gpsd.log"

echo "$*" >> "$ROOT/var/log/systemctl.log"

# The pid of our gpsd, if it runs: the pid file must name a live gpsd of this root.
ours() {
    [ -s "$PIDFILE" ] || return 1
    pid=$(cat "$PIDFILE" 2>/dev/null)
    case "$pid" in ''|*[!0-9]*) return 1;; esac
    [ -r "/proc/$pid/cmdline" ] || return 1
    tr '\000' ' ' < "/proc/$pid/cmdline" | grep -q -F -- "-P $PIDFILE " || return 1
    echo "$pid"
}

do_start() {
    if ours > /dev/null; then return 0; fi
    rm -f "$PIDFILE"
    (
        GPSD_SHM_KEY=$SHM_KEY /usr/sbin/gpsd -N -n -S "$GPSD_PORT" -P "$PIDFILE" \
            "tcp://127.0.0.1:$FEED_PORT" < /dev/null >> "$LOG" 2>&1
        echo "gpsd exited with status $?" >> "$LOG"
    ) < /dev/null > /dev/null 2>&1 &
    # Like a forking unit: report success once the daemon is up.
    i=0
    while [ $i -lt 100 ]; do
        if ours > /dev/null; then return 0; fi
        if ! kill -0 $! 2>/dev/null; then return 1; fi
        sleep 0.02
        i=$((i + 1))
    done
    return 1
}

do_stop() {
    pid=$(ours) || { rm -f "$PIDFILE"; return 0; }
    kill -TERM "$pid" 2>/dev/null
    i=0
    while [ $i -lt 150 ] && kill -0 "$pid" 2>/dev/null; do
        sleep 0.02
        i=$((i + 1))
    done
    kill -0 "$pid" 2>/dev/null && kill -KILL "$pid" 2>/dev/null
    rm -f "$PIDFILE"
    return 0
}

unit=${2%.service}
if [ "$unit" != "gpsd" ]; then
    echo "Unit $2 not found." >&2
    exit 5
fi
case "$1" in
    start) do_start; exit $?;;
    stop) do_stop; exit $?;;
    restart) do_stop; do_start; exit $?;;
    is-active) if ours > /dev/null; then echo active; exit 0; else echo inactive; exit 3; fi;;
    *) echo "Unknown command $1." >&2; exit 1;;
esac
)SH";

void replace_all(std::string* s, const std::string& from, const std::string& to) {
    for (size_t pos = 0; (pos = s->find(from, pos)) != std::string::npos; pos += to.size())
        s->replace(pos, from.size(), to);
}

// Processes whose command line names `needle` as one argument (the pid file path is unique to
// a fixture, so this finds exactly the gpsds it started, whatever the pid file says now).
std::vector<pid_t> processes_with_arg(const std::string& needle) {
    std::vector<pid_t> out;
    DIR* d = opendir("/proc");
    if (d == nullptr) return out;
    while (dirent* e = readdir(d)) {
        char* end = nullptr;
        long pid = strtol(e->d_name, &end, 10);
        if (pid <= 0 || *end != '\0') continue;
        std::string cmdline = read_file(std::string("/proc/") + e->d_name + "/cmdline");
        size_t start = 0;
        while (start < cmdline.size()) {
            size_t nul = cmdline.find('\0', start);
            if (nul == std::string::npos) nul = cmdline.size();
            if (cmdline.compare(start, nul - start, needle) == 0) {
                out.push_back(static_cast<pid_t>(pid));
                break;
            }
            start = nul + 1;
        }
    }
    closedir(d);
    return out;
}

bool is_gpsd(pid_t pid) {
    std::string comm = read_file("/proc/" + std::to_string(pid) + "/comm");
    return comm.rfind("gpsd", 0) == 0;
}

bool process_gone(pid_t pid) {
    // A zombie still answers kill(pid, 0); its state in /proc tells it apart.
    std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
    if (stat.empty()) return true;
    size_t paren = stat.rfind(')');
    return paren != std::string::npos && paren + 2 < stat.size() && stat[paren + 2] == 'Z';
}

}  // namespace

bool port_listening(int port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    bool ok = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    close(fd);
    return ok;
}

GpsdFixture::GpsdFixture(const std::string& root, const std::string& recording,
                         const GpsdFixtureOptions& options)
    : root_(root) {
    recording_ = recording.empty() || recording[0] == '/'
                     ? recording
                     : std::string(NAVMON_SOURCE_DIR) + "/testdata/" + recording;
    mkdirs(root_ + "/bin");
    mkdirs(root_ + "/var/run");
    mkdirs(root_ + "/var/log");
    // gpsd drops to its own user and must still be able to write and remove its pid file.
    chmod((root_ + "/var/run").c_str(), 0777);

    feed_port_ = free_port();
    gpsd_port_ = free_port();
    while (gpsd_port_ == feed_port_) gpsd_port_ = free_port();
    // Ports of live instances differ, so the key derived from it does too.
    shm_key_ = 0x4E4D0000u | static_cast<unsigned int>(gpsd_port_);

    std::string script = kSystemctl;
    char key[16];
    snprintf(key, sizeof key, "0x%08X", shm_key_);
    replace_all(&script, "@ROOT@", root_);
    replace_all(&script, "@GPSD_PORT@", std::to_string(gpsd_port_));
    replace_all(&script, "@FEED_PORT@", std::to_string(feed_port_));
    replace_all(&script, "@SHM_KEY@", key);
    write_file(systemctl(), script);
    chmod(systemctl().c_str(), 0755);

    std::vector<std::string> argv = {NMEA_REPLAY_BIN,
                                     "--port",
                                     std::to_string(feed_port_),
                                     "--file",
                                     recording_,
                                     "--rate",
                                     std::to_string(options.rate),
                                     "--start-epoch",
                                     std::to_string(options.start_epoch)};
    if (options.loop) argv.push_back("--loop");
    if (!replay_.start(argv, {}, root_ + "/var/log/nmea_replay.log")) return;
    int feed = feed_port_;
    if (!wait_for([feed] { return port_listening(feed); }, 5000)) return;
    ok_ = options.start_gpsd ? start_gpsd() : true;
}

GpsdFixture::~GpsdFixture() {
    stop();
}

std::map<std::string, std::string> GpsdFixture::env() const {
    return {{"NAVMON_ROOT", root_},
            {"GPSD_HOST", "127.0.0.1"},
            {"GPSD_PORT", std::to_string(gpsd_port_)}};
}

bool GpsdFixture::start_gpsd() {
    if (run_command("'" + systemctl() + "' start gpsd") != 0) return false;
    int port = gpsd_port_;
    return wait_for([port] { return port_listening(port); }, 5000);
}

bool GpsdFixture::stop_gpsd() {
    return run_command("'" + systemctl() + "' stop gpsd") == 0;
}

pid_t GpsdFixture::gpsd_pid() const {
    std::string text = read_file(pidfile());
    long pid = strtol(text.c_str(), nullptr, 10);
    return pid > 0 && pid < 1 << 22 ? static_cast<pid_t>(pid) : 0;
}

bool GpsdFixture::kill_gpsd(int sig) {
    pid_t pid = gpsd_pid();
    if (pid <= 0 || !is_gpsd(pid)) return false;
    if (kill(pid, sig) != 0) return false;
    if (sig == SIGKILL || sig == SIGTERM || sig == SIGINT || sig == SIGQUIT)
        return wait_for([pid] { return process_gone(pid); }, 5000);
    return true;
}

bool GpsdFixture::gpsd_running() const {
    pid_t pid = gpsd_pid();
    return pid > 0 && is_gpsd(pid) && !process_gone(pid) && port_listening(gpsd_port_);
}

int GpsdFixture::start_count() const {
    std::string log = read_file(root_ + "/var/log/systemctl.log");
    int n = 0;
    for (size_t pos = 0; (pos = log.find("start gpsd", pos)) != std::string::npos; ++pos) {
        if (pos == 0 || log[pos - 1] == '\n') ++n;
    }
    return n;
}

void GpsdFixture::stop() {
    if (stopped_) return;
    stopped_ = true;
    std::vector<pid_t> pids = processes_with_arg(pidfile());
    for (pid_t pid : pids)
        if (is_gpsd(pid)) kill(pid, SIGTERM);
    for (pid_t pid : pids) {
        if (!is_gpsd(pid)) continue;
        if (!wait_for([pid] { return process_gone(pid); }, 3000)) {
            kill(pid, SIGKILL);
            wait_for([pid] { return process_gone(pid); }, 3000);
        }
    }
    replay_.stop(2000);
    char cmd[64];
    snprintf(cmd, sizeof cmd, "ipcrm -M 0x%08X >/dev/null 2>&1", shm_key_);
    run_command(cmd);
}

// ---- GpsdWatch --------------------------------------------------------------------------

GpsdWatch::GpsdWatch(int port, bool raw) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        close(fd);
        return;
    }
    const char* watch =
        raw ? "?WATCH={\"enable\":true,\"raw\":1};\n" : "?WATCH={\"enable\":true,\"json\":true};\n";
    if (send(fd, watch, strlen(watch), MSG_NOSIGNAL) < 0) {
        close(fd);
        return;
    }
    fd_ = fd;
}

GpsdWatch::~GpsdWatch() {
    if (fd_ >= 0) close(fd_);
}

bool GpsdWatch::read_some(int timeout_ms) {
    if (fd_ < 0) return false;
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, timeout_ms) <= 0) return true;
    char buf[8192];
    ssize_t n = recv(fd_, buf, sizeof buf, 0);
    if (n <= 0) {
        close(fd_);
        fd_ = -1;
        return false;
    }
    pending_.append(buf, static_cast<size_t>(n));
    size_t nl;
    while ((nl = pending_.find('\n')) != std::string::npos) {
        std::string line = pending_.substr(0, nl);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines_.push_back(line);
        pending_.erase(0, nl + 1);
    }
    return true;
}

bool GpsdWatch::wait_line(const std::string& needle, int timeout_ms, std::string* line) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (true) {
        for (size_t i = matched_; i < lines_.size(); ++i) {
            if (lines_[i].find(needle) != std::string::npos) {
                if (line != nullptr) *line = lines_[i];
                matched_ = i + 1;
                return true;
            }
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        deadline - std::chrono::steady_clock::now())
                        .count();
        if (left <= 0 || fd_ < 0) return false;
        read_some(static_cast<int>(left));
    }
}

std::vector<std::string> GpsdWatch::collect(int ms) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (fd_ >= 0) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        deadline - std::chrono::steady_clock::now())
                        .count();
        if (left <= 0) break;
        read_some(static_cast<int>(left));
    }
    return lines_;
}

}  // namespace navtest
