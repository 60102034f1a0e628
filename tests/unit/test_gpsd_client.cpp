// The gpsd client against a loopback stand-in for gpsd, and the receiver engine restart command.
// (The client against a real gpsd is exercised by the process tests.)
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/resource.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/gpsd_client.h"
#include "tests/support/support.h"

using namespace std::chrono_literals;
using navtest::wait_for;

namespace {

// Listens on a free loopback port; sends `greeting` to each connection, then keeps it open and
// silent until drop() closes every connection so far.
class FakeGpsd {
public:
    explicit FakeGpsd(std::string greeting) : greeting_(std::move(greeting)) {
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof addr;
        if (bind(fd_, reinterpret_cast<sockaddr*>(&addr), len) != 0 || listen(fd_, 4) != 0 ||
            getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
            ADD_FAILURE() << "cannot listen";
        port = ntohs(addr.sin_port);
        thread_ = std::thread([this] {
            while (!stop_) {
                pollfd p{fd_, POLLIN, 0};
                int c = poll(&p, 1, 20) > 0 ? accept(fd_, nullptr, nullptr) : -1;
                std::lock_guard<std::mutex> lock(mu_);
                if (c >= 0) send(c, greeting_.data(), greeting_.size(), MSG_NOSIGNAL);
                if (c >= 0) clients_.push_back(c);
            }
        });
    }
    ~FakeGpsd() {
        stop_ = true;
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

private:
    std::string greeting_;
    int fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    std::mutex mu_;
    std::vector<int> clients_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// A client whose callbacks collect what they get; `stopped` flags calls that come too late.
struct Watched {
    Watched(int port, unsigned timeout_us) : port_env("GPSD_PORT", std::to_string(port)) {
        client.set_polling_timeout(timeout_us);
        client.set_on_msg_callback_fkt([this](char* text) {
            late += stopped.load();
            std::lock_guard<std::mutex> lock(mu);
            blocks.emplace_back(text);
        });
        client.set_timeout_callback_fkt([this] { late += stopped.load(), ++timeouts; });
        client.set_gpsd_stream_flags(0x11);
        EXPECT_EQ(client.get_gpsd_forever_non_blocking(), 0);
    }
    std::vector<std::string> seen() {
        std::lock_guard<std::mutex> lock(mu);
        return blocks;
    }
    navtest::ScopedEnv host_env{"GPSD_HOST", "127.0.0.1"}, port_env;
    std::mutex mu;
    std::vector<std::string> blocks;
    std::atomic<int> timeouts{0}, late{0};
    std::atomic<bool> stopped{false};
    gpsdClient client{"json_parser"};  // last: destroyed first, so no callback outlives the rest
};

double cpu_seconds() {
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
           static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

// Whole lines reach the callback (a NUL ends one), half a line waits; an idle connection, one
// holding half a line and a gpsd that is not there cost (next to) no CPU: a spinning loop would
// burn the whole second.
TEST(GpsdClient, LinesArriveWholeAndWaitingCostsNoCpu) {
    using namespace std::string_literals;
    FakeGpsd idle(
        "{\"class\":\"VERSION\"}\n{\"class\":\"TPV\",\"device\":\"a\0b\"}\r\n{\"SKY\"}\n"s);
    FakeGpsd half("{\"class\":\"VERSION\"}\n{\"class\":\"TPV\",\"mo");
    const std::pair<int, std::vector<std::string>> cases[] = {
        {idle.port,
         {"{\"class\":\"VERSION\"}\n", "{\"class\":\"TPV\",\"device\":\"a\n", "{\"SKY\"}\n"}},
        {half.port, {"{\"class\":\"VERSION\"}\n"}},
        {navtest::free_port(), {}},
    };
    for (const auto& [port, expected] : cases) {
        Watched w(port, 15000000);
        EXPECT_TRUE(wait_for([&] { return w.seen().size() == expected.size(); }, 3000));
        const double before = cpu_seconds();
        std::this_thread::sleep_for(1s);
        EXPECT_LT(cpu_seconds() - before, 0.1) << port;
        EXPECT_EQ(w.client.gpsd_connected(), !expected.empty());
        w.client.stop_loop();
        EXPECT_EQ(w.seen(), expected);
    }
}

// Silence is reported once per polling timeout, also when the deadline passed during a slow
// callback; a dropped connection is made again; nothing is called once stop_loop (or the
// destructor) returned; a stopped loop starts again.
TEST(GpsdClient, TimeoutsReconnectAndStop) {
    FakeGpsd gpsd("{\"class\":\"VERSION\"}\n");
    auto w = std::make_unique<Watched>(gpsd.port, 50000);
    EXPECT_EQ(w->client.get_gpsd_forever_non_blocking(), 0);  // already running
    ASSERT_TRUE(wait_for([&] { return w->seen().size() == 1 && w->timeouts >= 3; }, 5000));
    gpsd.drop();
    EXPECT_TRUE(wait_for([&] { return w->seen().size() == 2; }, 5000));  // greeted again
    w->client.stop_loop();
    w->stopped = true;
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(w->late, 0);
    EXPECT_FALSE(w->client.gpsd_connected());
    w->stopped = false;
    w->timeouts = 0;
    w->client.set_on_msg_callback_fkt([](char*) { std::this_thread::sleep_for(200ms); });
    ASSERT_EQ(w->client.get_gpsd_forever_non_blocking(), 0);
    EXPECT_TRUE(wait_for([&] { return w->timeouts >= 2; }, 5000));
    w->stopped = true;
    w.reset();
}

// ---- restart_gps_engine -----------------------------------------------------------------

double g_clock = 0.0;

class EngineRestartTest : public ::testing::Test {
protected:
    void SetUp() override {
        g_clock += 100000.0;  // clear of the messages of earlier tests
        fwtime_set_source([] { return g_clock; });
    }
    void TearDown() override { fwtime_set_source(nullptr); }
    void configure(const std::string& command_json) {
        navtest::write_file(dir_ / "config.json",
                            "{\"gps\": {\"engine_restart_command\": " + command_json + "}}");
    }
    navtest::TempDir dir_;
    navtest::ScopedEnv config_{"PLATFORM_CONFIG", dir_ / "config.json"};
    navtest::LogCapture log_;
};

// (Its use by the pass, and a failing command, are tested with the core.)
TEST_F(EngineRestartTest, RunsTheCommandAndWarnsAtMostEveryTenMinutes) {
    configure("\"printf '$PSTMGPSRESTART\\\\r\\\\n' > " + dir_ / "sent" + "\"");
    EXPECT_EQ(restart_gps_engine(), 0);
    EXPECT_EQ(navtest::read_file(dir_ / "sent"), "$PSTMGPSRESTART\r\n");
    configure("42");  // not a command; called every second while the receiver is silent
    const double base = g_clock;
    for (double t : {0.0, 1.0, 599.0, 600.0}) {
        g_clock = base + t;
        EXPECT_EQ(restart_gps_engine(), -1);
    }
    EXPECT_EQ(log_.count("No GPS engine restart command configured"), 2);
}

TEST_F(EngineRestartTest, HungCommandIsKilledWithItsChildren) {
    configure("\"sleep 60 & echo $! > " + dir_ / "pid" + "; wait\"");
    EXPECT_EQ(restart_gps_engine(), -1);
    EXPECT_TRUE(log_.contains("timed out"));
    const std::string stat =
        "/proc/" + std::to_string(atoi(navtest::read_file(dir_ / "pid").c_str())) + "/stat";
    ASSERT_NE(stat, "/proc/0/stat");
    // Gone, or a zombie waiting for its new parent to reap it.
    EXPECT_TRUE(wait_for(
        [&] {
            std::string s = navtest::read_file(stat);
            return s.empty() || s.find(") Z") != std::string::npos;
        },
        3000));
}

}  // namespace
