// Test support: temporary roots, environment, child processes, log capture, and private
// servers (mosquitto, gpsd fed from a recording) on free loopback ports.
#pragma once

#include <sys/types.h>

#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace navtest {

// A fresh directory (mode 0755) removed with its contents on destruction.
class TempDir {
public:
    TempDir();
    ~TempDir();
    const std::string& path() const { return path_; }
    std::string operator/(const std::string& rel) const { return path_ + "/" + rel; }

private:
    std::string path_;
};

// Sets environment variables for its lifetime and restores the previous values.
class ScopedEnv {
public:
    ScopedEnv(const std::string& name, const std::string& value);
    ~ScopedEnv();

private:
    std::string name_;
    std::string old_;
    bool had_;
};

// A loopback TCP port that was free when asked.
int free_port();
// Polls `cond` every 10 ms until it holds or `timeout_ms` passes.
bool wait_for(const std::function<bool()>& cond, int timeout_ms);
std::string read_file(const std::string& path);
// An NMEA sentence: the body ("$...") followed by "*XX\r\n", with the checksum worked out here
// independently of the code under test.
std::string nmea_sentence(const std::string& body);
void write_file(const std::string& path, const std::string& content);
bool file_exists(const std::string& path);
void mkdirs(const std::string& path);

// Captures nm_log output (verbose on) for its lifetime.
class LogCapture {
public:
    LogCapture();
    ~LogCapture();
    std::vector<std::string> lines() const;
    bool contains(const std::string& text) const;
    int count(const std::string& text) const;
    void clear();
};

// A child process with its output sent to a file.
class Process {
public:
    Process() = default;
    ~Process();
    // argv[0] is the program path. env entries are added to (or replace in) the environment.
    bool start(const std::vector<std::string>& argv,
               const std::map<std::string, std::string>& env = {},
               const std::string& output_file = "/dev/null");
    pid_t pid() const { return pid_; }
    bool running();
    void signal(int sig);
    // Waits for exit; returns the exit status (or 128 + signal), -1 on timeout.
    int wait(int timeout_ms);
    // SIGTERM, then SIGKILL after grace_ms; returns the exit status.
    int stop(int grace_ms = 3000);

private:
    pid_t pid_ = -1;
    int status_ = -1;
    bool reaped_ = false;
};

// Runs a command through /bin/sh, returns its exit status and collects stdout.
int run_command(const std::string& cmd, std::string* out = nullptr);

// A private mosquitto listening on 127.0.0.1:port.
class Broker {
public:
    Broker();
    ~Broker();
    bool start();  // picks a free port at the first start, keeps it on restarts
    void stop();
    int port() const { return port_; }
    bool running() { return proc_.running(); }

private:
    TempDir dir_;
    int port_ = 0;
    Process proc_;
};

// A subscriber on a private broker collecting messages (topic, payload, retained).
struct Message {
    std::string topic;
    std::string payload;
    bool retained = false;
};
class Subscriber {
public:
    Subscriber(int port, const std::vector<std::string>& topics);
    ~Subscriber();
    bool connected() const;
    std::vector<Message> messages() const;
    bool wait_message(const std::string& topic, int timeout_ms, Message* out = nullptr);
    void clear();

private:
    struct Impl;
    Impl* impl_;
};
// Publishes one message with mosquitto_pub; true on success.
bool publish(int port, const std::string& topic, const std::string& payload, bool retain = false);

}  // namespace navtest
