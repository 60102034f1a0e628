// The gpsd client against a real gpsd fed from a recording and against silent stand-ins, and
// the receiver engine restart command.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/core.h"
#include "platform/gpsd_client.h"
#include "platform/platform.h"
#include "platform/sysdb.h"
#include "receiver/receiver.h"
#include "tests/support/gpsd_fixture.h"
#include "tests/support/support.h"

using navtest::GpsdFixture;
using navtest::wait_for;

namespace {

// Callbacks are plain function pointers, so each slot collects into its own global.
struct Slot {
    std::mutex mutex;
    std::vector<std::string> blocks;
    std::atomic<int> timeouts{0}, calls_after_stop{0};
    std::atomic<bool> stopped{false}, intake{false};  // intake: also hand blocks to the receiver

    void reset() {
        std::lock_guard<std::mutex> lock(mutex);
        blocks.clear();
        timeouts = calls_after_stop = 0;
        stopped = false;
    }
    std::vector<std::string> take() {
        std::lock_guard<std::mutex> lock(mutex);
        return blocks;
    }
    bool has(const std::string& needle) {
        for (const auto& b : take())
            if (b.find(needle) != std::string::npos) return true;
        return false;
    }
} g_slot[2];

template <int N>
void on_msg(char* text) {
    if (g_slot[N].stopped) ++g_slot[N].calls_after_stop;
    {
        std::lock_guard<std::mutex> lock(g_slot[N].mutex);
        g_slot[N].blocks.emplace_back(text);
    }
    if (g_slot[N].intake) on_nmea_message(text);  // splits the block in place
}

template <int N>
void on_timeout() {
    if (g_slot[N].stopped) ++g_slot[N].calls_after_stop;
    ++g_slot[N].timeouts;
}

class GpsdClientTest : public ::testing::Test {
protected:
    void SetUp() override {
        for (Slot& s : g_slot) s.reset(), s.intake = false;
    }
    void point_at(int port) {
        port_.reset();  // the old value goes back first, or its restore would undo the new one
        port_ = std::make_unique<navtest::ScopedEnv>("GPSD_PORT", std::to_string(port));
    }
    template <int N>
    void start(gpsdClient& client, unsigned flags, unsigned timeout_us) {
        client.set_polling_timeout(timeout_us);
        client.set_on_msg_callback_fkt(on_msg<N>);
        client.set_timeout_callback_fkt(on_timeout<N>);
        client.set_gpsd_stream_flags(flags);
        ASSERT_EQ(client.get_gpsd_forever_non_blocking(), 0);
    }
    GpsdFixture& gpsd(double rate) {
        navtest::GpsdFixtureOptions options;
        options.rate = rate;
        fx_ = std::make_unique<GpsdFixture>(root_.path(), "drive_short.nmea", options);
        EXPECT_TRUE(fx_->ok());
        point_at(fx_->gpsd_port());
        return *fx_;
    }
    navtest::TempDir root_;
    navtest::ScopedEnv host_{"GPSD_HOST", "127.0.0.1"};
    std::unique_ptr<navtest::ScopedEnv> port_;
    std::unique_ptr<GpsdFixture> fx_;
};

bool has_key(const char* db, const char* key) {
    sysdb_value v;
    return sysdb_namedb_read_value(nullptr, db, key, &v) == 0;
}

}  // namespace

// JSON reports and raw lines reach their clients as whole lines; the raw ones, handed to the
// receiver intake, fill the satellite and dead-reckoning keys.
TEST_F(GpsdClientTest, JsonAndRawStreamsReachTheirClientsAndTheIntake) {
    navtest::ScopedEnv sysdb_env("SYSDB_PATH", root_ / "sysdb.sqlite");
    sysdb_reset_thread_connection();
    receiver_reset_for_test();
    deadreckon_enabled = true;
    nmea_timeout_count = 7;
    g_slot[1].intake = true;
    gpsd(10);
    gpsdClient json("json_parser"), raw("nmea_parser");
    start<0>(json, 0x11, 15000000);
    start<1>(raw, 0x81, 15000000);
    const char* dr_keys[] = {
        "DR_LAT",       "DR_VEL",        "DR_LAT_STD_DEV", "DR_INST_PITCH",
        "DR_LAT_ERROR", "DR_CALIBRATED", "DR_GPS_LAT",     "DR_NMEA_PSTMDRSTYPE"};
    EXPECT_TRUE(wait_for(
        [&] {
            for (const char* k : dr_keys)
                if (!has_key("DR", k)) return false;
            return has_key("GPS", "GPS_SQI") && has_key("GPS", "GPS_STAGPS_RAW") &&
                   g_slot[0].has("\"class\":\"TPV\"") && g_slot[0].has("\"class\":\"SKY\"");
        },
        15000));
    EXPECT_TRUE(json.gpsd_connected() && raw.gpsd_connected());
    json.stop_loop();
    raw.stop_loop();
    deadreckon_enabled = false;

    EXPECT_FALSE(g_slot[0].has("$GPRMC"));
    for (const auto& b : g_slot[0].take()) EXPECT_EQ(b.find('\n'), b.size() - 1) << b;
    // Receiver lines keep their carriage return before the line feed.
    bool rmc = false;
    for (const auto& b : g_slot[1].take()) {
        if (b.rfind("$GPRMC,", 0) != 0) continue;
        rmc = true;
        EXPECT_NE(b.find("\r\n"), std::string::npos) << b;
    }
    EXPECT_TRUE(rmc);
    EXPECT_EQ(nmea_timeout_count.load(), 0);
    char pva[256] = {0};
    ASSERT_EQ(sysdb_namedb_read_str(nullptr, "DR", "DR_NMEA_PSTMDRPVA", pva, sizeof pva), 0);
    EXPECT_EQ(std::string(pva).rfind("$PSTMDRPVA,", 0), 0u) << pva;
    EXPECT_NE(std::string(pva).find('*'), std::string::npos) << pva;
    sysdb_value gsv;  // the recording's groups have three lines
    ASSERT_EQ(sysdb_namedb_read_value(nullptr, "GPS", "GPS_NMEA_GPGSV", &gsv), 0);
    EXPECT_EQ(gsv.text.rfind("$GPGSV,3,1,", 0), 0u) << gsv.text;
    EXPECT_NE(gsv.text.find("\r\n$GPGSV,3,3,"), std::string::npos) << gsv.text;
    sysdb_reset_thread_connection();
}

// Timeouts between epochs, reconnection after gpsd was killed and started again, and no
// callback once stop_loop or the destructor returned; the loop starts again after a stop.
TEST_F(GpsdClientTest, TimeoutsReconnectAndStop) {
    GpsdFixture& fx = gpsd(4);
    {
        gpsdClient raw("nmea_parser");
        raw.stop_loop();  // no loop yet: harmless
        start<0>(raw, 0x81, 50000);
        EXPECT_EQ(raw.get_gpsd_forever_non_blocking(), 0);  // already running
        ASSERT_TRUE(
            wait_for([] { return g_slot[0].has("$GPRMC,") && g_slot[0].timeouts >= 3; }, 5000));

        ASSERT_TRUE(fx.kill_gpsd(SIGKILL));
        EXPECT_TRUE(wait_for([&] { return !raw.gpsd_connected(); }, 3000));
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));  // a few failed attempts
        g_slot[0].reset();
        ASSERT_TRUE(fx.start_gpsd());
        EXPECT_TRUE(wait_for([&] { return g_slot[0].has("$GPRMC,"); }, 5000));
        EXPECT_TRUE(raw.gpsd_connected());

        raw.stop_loop();
        g_slot[0].stopped = true;
        raw.stop_loop();
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        EXPECT_EQ(g_slot[0].calls_after_stop, 0);
        EXPECT_FALSE(raw.gpsd_connected());

        g_slot[0].reset();
        ASSERT_EQ(raw.get_gpsd_forever_non_blocking(), 0);
        EXPECT_TRUE(wait_for([] { return g_slot[0].has("$GPRMC,"); }, 5000));
    }
    g_slot[0].stopped = true;
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(g_slot[0].calls_after_stop, 0);
}

// A stand-in gpsd: sends `greeting` to each connection, then keeps it open and silent.
class FakeGpsd {
public:
    explicit FakeGpsd(std::string greeting) : greeting_(std::move(greeting)) {
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = htons(static_cast<uint16_t>(port_));
        if (bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(fd_, 4) != 0)
            ADD_FAILURE() << "cannot listen on " << port_;
        thread_ = std::thread([this] {
            while (!stop_) {
                pollfd p{fd_, POLLIN, 0};
                int c = poll(&p, 1, 50) > 0 ? accept(fd_, nullptr, nullptr) : -1;
                if (c >= 0) send(c, greeting_.data(), greeting_.size(), MSG_NOSIGNAL);
                if (c >= 0) clients_.push_back(c);
            }
        });
    }
    ~FakeGpsd() {
        stop_ = true;
        thread_.join();
        for (int c : clients_) close(c);
        close(fd_);
    }
    const int port_ = navtest::free_port();

private:
    std::string greeting_;
    int fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::vector<int> clients_;
};

double cpu_seconds() {
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
           static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

// An idle connection, one holding half a line and a gpsd that is not there cost (next to) no
// CPU: a spinning loop would burn the whole second. A NUL inside a line ends it.
TEST_F(GpsdClientTest, IdleHalfLineAndAbsentGpsdCostNoCpu) {
    using namespace std::string_literals;
    FakeGpsd idle(
        "{\"class\":\"VERSION\"}\n{\"class\":\"TPV\",\"device\":\"a\0b\"}\r\n{\"SKY\"}\n"s);
    FakeGpsd half("{\"class\":\"VERSION\"}\n{\"class\":\"TPV\",\"mo");
    const struct {
        int port;
        std::vector<std::string> blocks;
    } cases[] = {
        {idle.port_,
         {"{\"class\":\"VERSION\"}\n", "{\"class\":\"TPV\",\"device\":\"a\n", "{\"SKY\"}\n"}},
        {half.port_, {"{\"class\":\"VERSION\"}\n"}},
        {navtest::free_port(), {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.port);
        g_slot[0].reset();
        point_at(c.port);
        gpsdClient client("json_parser");
        start<0>(client, 0x11, 15000000);
        const size_t n = c.blocks.size();
        EXPECT_TRUE(wait_for([n] { return g_slot[0].take().size() == n; }, 3000));
        double before = cpu_seconds();
        std::this_thread::sleep_for(std::chrono::milliseconds(1000));
        EXPECT_LT(cpu_seconds() - before, 0.1);
        EXPECT_EQ(client.gpsd_connected(), n > 0);
        client.stop_loop();
        EXPECT_EQ(g_slot[0].take(), c.blocks);
    }
}

// A callback that outlasts the polling timeout, then silence with half a line buffered: the
// passed deadline times out at once instead of waiting without limit.
TEST_F(GpsdClientTest, DeadlinePassedInACallbackTimesOutAtOnce) {
    FakeGpsd half("{\"class\":\"VERSION\"}\n{\"class\":\"TPV\",\"mo");
    point_at(half.port_);
    gpsdClient client("nmea_parser");
    client.set_polling_timeout(50000);
    client.set_on_msg_callback_fkt(
        [](char*) { std::this_thread::sleep_for(std::chrono::milliseconds(200)); });
    client.set_timeout_callback_fkt(on_timeout<0>);
    client.set_gpsd_stream_flags(0x11);
    ASSERT_EQ(client.get_gpsd_forever_non_blocking(), 0);
    EXPECT_TRUE(wait_for([] { return g_slot[0].timeouts >= 2; }, 5000));
}

// ---- restart_gps_engine -----------------------------------------------------------------

double g_clock = 0.0;
double fake_clock() {
    return g_clock;
}

class EngineRestartTest : public ::testing::Test {
protected:
    void SetUp() override { fwtime_set_source(fake_clock); }
    void TearDown() override { fwtime_set_source(nullptr); }
    void configure(const std::string& command_json) {
        navtest::write_file(dir_ / "config.json",
                            "{\"gps\": {\"engine_restart_command\": " + command_json + "}}");
    }
    navtest::TempDir dir_;
    navtest::ScopedEnv config_{"PLATFORM_CONFIG", dir_ / "config.json"};
    navtest::LogCapture log_;
};

TEST_F(EngineRestartTest, RunsTheConfiguredCommand) {
    configure("\"printf '$PSTMGPSRESTART\\\\r\\\\n' > " + dir_ / "sent" + "\"");
    EXPECT_EQ(restart_gps_engine(), 0);
    EXPECT_EQ(navtest::read_file(dir_ / "sent"), "$PSTMGPSRESTART\r\n");
}

TEST_F(EngineRestartTest, UnconfiguredOrFailingCommandWarnsAtMostEveryTenMinutes) {
    const struct {
        const char* config;  // nullptr: no configuration file at all
        const char* message;
    } cases[] = {
        {nullptr, "No GPS engine restart command configured"},
        {"\"\"", "No GPS engine restart command configured"},
        {"42", "No GPS engine restart command configured"},
        {"\"exit 3\"", "GPS engine restart command failed (status 3)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.config != nullptr ? c.config : "no file");
        const double base = g_clock += 100000.0;  // far from the previous case's messages
        unlink((dir_ / "config.json").c_str());
        if (c.config != nullptr) configure(c.config);
        log_.clear();
        // Called every second while the receiver stays silent; a few calls stand for them.
        for (double t : {0.0, 1.0, 300.0, 599.0, 600.0}) {
            g_clock = base + t;
            EXPECT_EQ(restart_gps_engine(), -1);
            EXPECT_EQ(log_.count(c.message), t < 600.0 ? 1 : 2);
        }
    }
}

TEST_F(EngineRestartTest, HungCommandIsKilledWithItsChildren) {
    configure("\"sleep 60 & echo $! > " + dir_ / "pid" + "; wait\"");
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(restart_gps_engine(), -1);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
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
