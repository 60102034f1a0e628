// The gpsd client against a loopback stand-in (a real gpsd: the process tests); engine restarts.
#include "platform/cmd/cmd.h"
#include "platform/gpsd/gpsd.h"
#include "tests/support/support.h"

using namespace std::literals;

// A gpsd on a free loopback port: `greeting` to each connection, which then stays open and silent
// until drop() closes every connection so far. One not listening refuses connections.
struct FakeGpsd {
    explicit FakeGpsd(std::string greeting, bool listening = true) {
        EXPECT_TRUE(!listening || listen(fd_, 4) == 0);
        thread_ = std::thread([this, greeting] {
            for (int c; (c = accept(fd_, nullptr, nullptr)) >= 0;) {
                send(c, greeting.data(), greeting.size(), MSG_NOSIGNAL);
                std::lock_guard<std::mutex> lock(mu_);
                clients_.push_back(c);
            }
        });
    }
    ~FakeGpsd() {
        shutdown(fd_, SHUT_RDWR);  // ends the accept loop
        thread_.join();
        drop();
        close(fd_);
    }
    void drop() {
        std::lock_guard<std::mutex> lock(mu_);
        for (int c : clients_) close(c);
        clients_.clear();
    }
    int port = 0;
    int fd_ = navtest::loopback_socket(&port);
    std::mutex mu_;
    std::vector<int> clients_;
    std::thread thread_;
};

// A client whose callbacks collect what they get; `stopped` flags calls that come too late.
struct Watched {
    Watched(int port, unsigned timeout_us)
        : client("json_parser", "127.0.0.1", std::to_string(port)) {
        client.set_polling_timeout(timeout_us);
        client.set_on_msg_callback_fkt([this](char* text) {
            late += stopped.load();
            std::lock_guard<std::mutex> lock(mu);
            blocks.emplace_back(text);
        });
        client.set_timeout_callback_fkt([this] { late += stopped.load(), ++timeouts; });
        EXPECT_EQ(client.get_gpsd_forever_non_blocking(), 0);
    }
    std::vector<std::string> seen() {
        std::lock_guard<std::mutex> lock(mu);
        return blocks;
    }
    std::mutex mu;
    std::vector<std::string> blocks;
    std::atomic<int> timeouts{0}, late{0};
    std::atomic<bool> stopped{false};
    gpsdClient client;  // last: destroyed first, so no callback outlives the rest
};

// Whole lines reach the callback (a NUL ends one), half a line waits; waiting on an idle
// connection, on half a line or for a gpsd that is not there costs (next to) no CPU.
TEST(GpsdClient, LinesArriveWholeAndWaitingCostsNoCpu) {
    FakeGpsd idle("{\"class\":\"VERSION\"}\n{\"a\":\"b\0c\"}\r\n{}\n"s);
    FakeGpsd half("{\"class\":\"VERSION\"}\n{\"class\":\"TPV\",\"mo"), absent("", false);
    const std::pair<int, std::vector<std::string>> cases[] = {
        {idle.port, {"{\"class\":\"VERSION\"}\n", "{\"a\":\"b\n", "{}\n"}},
        {half.port, {"{\"class\":\"VERSION\"}\n"}},
        {absent.port, {}}};
    for (const auto& [port, expected] : cases) {
        Watched w(port, 15000000);
        EXPECT_TRUE(navtest::wait_for([&] { return w.seen().size() == expected.size(); }, 3000));
        const std::clock_t before = std::clock();  // CPU time of the process
        std::this_thread::sleep_for(1s);
        EXPECT_LT(std::clock() - before, CLOCKS_PER_SEC / 10) << port;
        EXPECT_EQ(w.client.gpsd_connected(), !expected.empty());
        w.client.stop_loop();
        EXPECT_EQ(w.seen(), expected);
    }
}

// Silence is reported once per polling timeout, also after a slow callback outlived the deadline;
// a dropped connection is remade; no call after stop_loop returned; a stopped loop starts again.
TEST(GpsdClient, TimeoutsReconnectAndStop) {
    FakeGpsd gpsd("{\"class\":\"VERSION\"}\n");
    Watched w(gpsd.port, 50000);  // destroyed first: no callback outlives it
    EXPECT_EQ(w.client.get_gpsd_forever_non_blocking(), 0);  // already running
    ASSERT_TRUE(navtest::wait_for([&] { return w.seen().size() == 1 && w.timeouts >= 3; }, 5000));
    gpsd.drop();
    EXPECT_TRUE(navtest::wait_for([&] { return w.seen().size() == 2; }, 5000));  // greeted again
    w.client.stop_loop(), w.stopped = true;
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(w.late, 0);
    w.timeouts = 0;
    w.client.set_on_msg_callback_fkt([](char*) { std::this_thread::sleep_for(200ms); });
    ASSERT_EQ(w.client.get_gpsd_forever_non_blocking(), 0);
    EXPECT_TRUE(navtest::wait_for([&] { return w.timeouts >= 2; }, 5000));
}

// ---- restart_gps_engine (its use by the pass, and a failing command: with the core tests) ---

TEST(EngineRestart, RunsTheCommandWarnsAtMostEveryTenMinutesAndKillsAHungOne) {
    navtest::FakeClock clock(1e6);
    navtest::TempDir dir;
    const std::string config = dir / "config.json", key = "{\"gps\":{\"engine_restart_command\":";
    ConfigStore store(config);
    GpsEngine engine(store, 1000);
    navtest::LogCapture log;
    navtest::write_file(config,
                        key + "\"printf '$PSTMGPSRESTART\\\\r\\\\n' > " + config + ".sent\"}}");
    EXPECT_EQ(engine.restart_gps_engine(), 0);
    EXPECT_EQ(navtest::read_file(config + ".sent"), "$PSTMGPSRESTART\r\n");
    navtest::write_file(config, key + "42}}");  // not a command; tried each second of silence
    for (double t : {0.0, 1.0, 599.0, 600.0}) {
        clock.now = 1e6 + t;
        EXPECT_EQ(engine.restart_gps_engine(), -1);
    }
    EXPECT_EQ(log.count("No GPS engine restart command configured"), 2);
    navtest::write_file(config, key + "\"sleep 60 & echo $! > " + config + ".pid; wait\"}}");
    EXPECT_EQ(engine.restart_gps_engine(), -1);
    EXPECT_TRUE(log.contains("timed out"));
    const std::string cmdline =
        "/proc/" + std::to_string(atoi(navtest::read_file(config + ".pid").c_str())) + "/cmdline";
    ASSERT_NE(cmdline, "/proc/0/cmdline");
    // Gone, or a zombie (no command line) waiting for its new parent to reap it.
    EXPECT_TRUE(navtest::wait_for([&] { return navtest::read_file(cmdline).empty(); }, 3000));
}
