#include "tests/support/gpsd_fixture.h"

#include <arpa/inet.h>
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

// gpsd runs in the foreground (-N) under a subshell that stays to reap it, so a killed gpsd
// disappears at once instead of lingering as a zombie.
const char kSystemctl[] = R"SH(#!/bin/sh
ROOT='@ROOT@'
PIDFILE="$ROOT/var/run/gpsd.pid"
echo "$*" >> "$ROOT/var/log/systemctl.log"
[ "${2%.service}" = gpsd ] || { echo "Unit $2 not found." >&2; exit 5; }
# The pid of our gpsd, if it runs: the pid file must name a live gpsd of this root.
ours() {
    pid=$(cat "$PIDFILE" 2>/dev/null)
    case "$pid" in ''|*[!0-9]*) return 1;; esac
    tr '\000' ' ' 2>/dev/null < "/proc/$pid/cmdline" | grep -q -F -- "-P $PIDFILE " && echo "$pid"
}
do_start() {
    ours > /dev/null && return 0
    rm -f "$PIDFILE"
    (
        GPSD_SHM_KEY=@SHM_KEY@ /usr/sbin/gpsd -N -n -S @GPSD_PORT@ -P "$PIDFILE" \
            "tcp://127.0.0.1:@FEED_PORT@" < /dev/null >> "$ROOT/var/log/gpsd.log" 2>&1
    ) < /dev/null > /dev/null 2>&1 &
    i=0
    while [ $i -lt 100 ]; do
        ours > /dev/null && return 0
        kill -0 $! 2>/dev/null || return 1
        sleep 0.02; i=$((i + 1))
    done
    return 1
}
do_stop() {
    if pid=$(ours); then
        kill -TERM "$pid"; i=0
        while [ $i -lt 150 ] && kill -0 "$pid" 2>/dev/null; do sleep 0.02; i=$((i + 1)); done
        kill -0 "$pid" 2>/dev/null && kill -KILL "$pid"
    fi
    rm -f "$PIDFILE"
}
case "$1" in
    start) do_start;;
    stop) do_stop;;
    *) echo "Unknown command $1." >&2; exit 1;;
esac
)SH";

int connect_loopback(int port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) return fd;
    if (fd >= 0) close(fd);
    return -1;
}

bool port_listening(int port) {
    int fd = connect_loopback(port);
    if (fd >= 0) close(fd);
    return fd >= 0;
}

bool is_gpsd(pid_t pid) {
    return read_file("/proc/" + std::to_string(pid) + "/comm").rfind("gpsd", 0) == 0;
}

bool process_gone(pid_t pid) {  // gone, or a zombie (which still answers kill(pid, 0))
    std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
    return stat.empty() || stat.find(") Z") != std::string::npos;
}

void replace_all(std::string* s, const std::string& from, const std::string& to) {
    for (size_t pos = 0; (pos = s->find(from, pos)) != std::string::npos; pos += to.size())
        s->replace(pos, from.size(), to);
}

}  // namespace

GpsdFixture::GpsdFixture(const std::string& root, const std::string& recording,
                         const GpsdFixtureOptions& options)
    : root_(root) {
    const std::string path = recording.empty() || recording[0] == '/'
                                 ? recording
                                 : std::string(NAVMON_SOURCE_DIR) + "/testdata/" + recording;
    mkdirs(root_ + "/bin");
    mkdirs(root_ + "/var/run");
    mkdirs(root_ + "/var/log");
    // gpsd drops to its own user and must still be able to write and remove its pid file.
    chmod((root_ + "/var/run").c_str(), 0777);
    feed_port_ = free_port();
    do gpsd_port_ = free_port();
    while (gpsd_port_ == feed_port_);
    // Ports of live instances differ, so the key derived from it does too.
    shm_key_ = 0x4E4D0000u | static_cast<unsigned int>(gpsd_port_);

    std::string script = kSystemctl;
    char key[16];
    snprintf(key, sizeof key, "0x%08X", shm_key_);
    replace_all(&script, "@ROOT@", root_);
    replace_all(&script, "@GPSD_PORT@", std::to_string(gpsd_port_));
    replace_all(&script, "@FEED_PORT@", std::to_string(feed_port_));
    replace_all(&script, "@SHM_KEY@", key);
    write_file(root_ + "/bin/systemctl", script);
    chmod((root_ + "/bin/systemctl").c_str(), 0755);

    std::vector<std::string> argv = {NMEA_REPLAY_BIN, "--port", std::to_string(feed_port_)};
    argv.insert(argv.end(), {"--file", path, "--rate", std::to_string(options.rate),
                             "--start-epoch", std::to_string(options.start_epoch)});
    if (options.loop) argv.push_back("--loop");
    if (!replay_.start(argv, {}, root_ + "/var/log/nmea_replay.log")) return;
    int feed = feed_port_;
    if (!wait_for([feed] { return port_listening(feed); }, 5000)) return;
    ok_ = !options.start_gpsd || start_gpsd();
}

std::map<std::string, std::string> GpsdFixture::env() const {
    return {{"NAVMON_ROOT", root_},
            {"GPSD_HOST", "127.0.0.1"},
            {"GPSD_PORT", std::to_string(gpsd_port_)}};
}

bool GpsdFixture::start_gpsd() {
    if (run_command("'" + root_ + "/bin/systemctl' start gpsd") != 0) return false;
    int port = gpsd_port_;
    return wait_for([port] { return port_listening(port); }, 5000);
}

pid_t GpsdFixture::gpsd_pid() const {
    long pid = strtol(read_file(root_ + "/var/run/gpsd.pid").c_str(), nullptr, 10);
    return pid > 0 && pid < 1 << 22 ? static_cast<pid_t>(pid) : 0;
}

bool GpsdFixture::kill_gpsd(int sig) {
    pid_t pid = gpsd_pid();
    if (pid <= 0 || !is_gpsd(pid) || kill(pid, sig) != 0) return false;
    return wait_for([pid] { return process_gone(pid); }, 5000);
}

bool GpsdFixture::gpsd_running() const {
    pid_t pid = gpsd_pid();
    return pid > 0 && is_gpsd(pid) && !process_gone(pid) && port_listening(gpsd_port_);
}

int GpsdFixture::start_count() const {
    std::string log = "\n" + read_file(root_ + "/var/log/systemctl.log");
    int n = 0;
    for (size_t pos = 0; (pos = log.find("\nstart gpsd", pos)) != std::string::npos; ++pos) ++n;
    return n;
}

void GpsdFixture::stop() {
    if (stopped_) return;
    stopped_ = true;
    run_command("'" + root_ + "/bin/systemctl' stop gpsd");
    replay_.stop(2000);
    char cmd[64];
    snprintf(cmd, sizeof cmd, "ipcrm -M 0x%08X >/dev/null 2>&1", shm_key_);
    run_command(cmd);
}

GpsdWatch::GpsdWatch(int port, bool raw) : fd_(connect_loopback(port)) {
    const char* watch =
        raw ? "?WATCH={\"enable\":true,\"raw\":1};\n" : "?WATCH={\"enable\":true,\"json\":true};\n";
    if (fd_ >= 0 && send(fd_, watch, strlen(watch), MSG_NOSIGNAL) < 0) {
        close(fd_);
        fd_ = -1;
    }
}

GpsdWatch::~GpsdWatch() {
    if (fd_ >= 0) close(fd_);
}

std::vector<std::string> GpsdWatch::collect(int ms) {
    using clock = std::chrono::steady_clock;
    const auto deadline = clock::now() + std::chrono::milliseconds(ms);
    for (auto now = clock::now(); fd_ >= 0 && now < deadline; now = clock::now()) {
        pollfd p{fd_, POLLIN, 0};
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now);
        if (poll(&p, 1, static_cast<int>(left.count()) + 1) <= 0) continue;
        char buf[8192];
        ssize_t n = recv(fd_, buf, sizeof buf, 0);
        if (n <= 0) {
            close(fd_);
            fd_ = -1;
            break;
        }
        pending_.append(buf, static_cast<size_t>(n));
        for (size_t nl; (nl = pending_.find('\n')) != std::string::npos;
             pending_.erase(0, nl + 1)) {
            lines_.push_back(pending_.substr(0, nl));
            if (!lines_.back().empty() && lines_.back().back() == '\r') lines_.back().pop_back();
        }
    }
    return lines_;
}

}  // namespace navtest
