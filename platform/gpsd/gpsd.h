// The gpsd client library: a connection to gpsd over libgps with its own receive thread that
// hands each received line block to a callback, reports polling timeouts and reconnects when
// gpsd comes back; and the restart of the receiver's engine.
#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "platform/base/base.h"

class gpsdClient {
public:
    // Called on the client's thread; they carry their own context.
    using msg_callback = std::function<void(char* text)>;
    using timeout_callback = std::function<void()>;

    // name: for the log; host and port: the gpsd to connect to.
    gpsdClient(const char* name, std::string host = "localhost", std::string port = "2947");
    ~gpsdClient();  // ends the receive loop; no callback runs once it returns
    gpsdClient(const gpsdClient&) = delete;
    gpsdClient& operator=(const gpsdClient&) = delete;

    void set_polling_timeout(unsigned int usec);
    void set_on_msg_callback_fkt(msg_callback cb);
    void set_timeout_callback_fkt(timeout_callback cb);
    void set_gpsd_stream_flags(unsigned int flags);

    // Starts the receive thread (connect, watch, read) and returns at once. 0 = started.
    int get_gpsd_forever_non_blocking();
    // Returns once the receive thread has ended; no callback runs afterwards.
    void stop_loop();
    bool gpsd_connected() const { return connected_.load(); }
    const char* name() const { return name_.c_str(); }

private:
    void run();

    std::string name_;
    const std::string host_, port_;
    unsigned int timeout_usec_ = 15000000;
    msg_callback on_msg_ = nullptr;
    timeout_callback on_timeout_ = nullptr;
    unsigned int flags_ = 0;
    std::mutex thread_mutex_;  // guards start and stop of the thread
    std::thread thread_;
    int wake_fd_ = -1;  // eventfd that ends a wait in the receive thread
    std::atomic<bool> stop_{false};
    std::atomic<bool> connected_{false};
};

class ConfigStore;

// The receiver's engine restart: the shell command configured under
// "gps.engine_restart_command", bounded in time. Main thread only.
class GpsEngine {
public:
    explicit GpsEngine(ConfigStore& config, int limit_ms = 10000)
        : config_(config), limit_ms_(limit_ms) {}
    // 0 when the command ran and exited with 0.
    int restart_gps_engine();

private:
    ConfigStore& config_;
    const int limit_ms_;
    // The caller retries every second while the receiver stays silent: one message of a kind
    // per ten minutes is enough.
    RateLimiter unconfigured_log_{600.0};
    RateLimiter failure_log_{600.0};
};
