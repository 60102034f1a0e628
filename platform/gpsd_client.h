// gpsd client over libgps: one connection with its own receive thread that hands each received
// line block to a callback, reports polling timeouts and reconnects when gpsd comes back.
#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

class gpsdClient {
public:
    // Called on the client's thread; they carry their own context.
    using msg_callback = std::function<void(char* text)>;
    using timeout_callback = std::function<void()>;

    explicit gpsdClient(const char* name);
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

// Restarts the receiver's engine with the command configured under
// "gps.engine_restart_command"; 0 when the command ran and exited with 0.
int restart_gps_engine();
