// The gpsd client against a real gpsd fed from the recordings, and the test gpsd itself.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <json/json.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/gpsd_client.h"
#include "platform/platform.h"
#include "tests/support/gpsd_fixture.h"
#include "tests/support/support.h"

using navtest::GpsdFixture;
using navtest::GpsdFixtureOptions;
using navtest::GpsdWatch;
using navtest::TempDir;

namespace {

Json::Value parse(const std::string& line) {
    Json::Value v;
    Json::Reader reader;
    reader.parse(line, v);
    return v;
}

GpsdFixtureOptions fast(double rate, long start_epoch = 0) {
    GpsdFixtureOptions o;
    o.rate = rate;
    o.start_epoch = start_epoch;
    return o;
}

}  // namespace

// The short drive gives every kind of TPV navmon must handle: no fix, 2D, 3D.
TEST(GpsdRecordings, ShortDriveGivesNoFix2dAnd3dReports) {
    TempDir root;
    GpsdFixture fx(root.path(), "drive_short.nmea", fast(10));
    ASSERT_TRUE(fx.ok());
    GpsdWatch watch(fx.gpsd_port(), false);
    ASSERT_TRUE(watch.connected());
    bool nofix = false, fix2d = false, fix3d = false, sky = false;
    for (const auto& line : watch.collect(8000)) {
        Json::Value v = parse(line);
        if (v["class"] == "SKY" && v["satellites"].size() > 0) sky = true;
        if (v["class"] != "TPV") continue;
        int mode = v["mode"].asInt();
        if (mode == 1) {
            nofix = true;
            EXPECT_FALSE(v.isMember("lat")) << line;
        }
        if (mode == 2) {
            fix2d = true;
            EXPECT_TRUE(v.isMember("lat")) << line;
            EXPECT_FALSE(v.isMember("alt")) << line;
        }
        if (mode == 3) {
            fix3d = true;
            for (const char* k : {"lat", "lon", "alt", "speed", "time", "track"})
                EXPECT_TRUE(v.isMember(k)) << k << " in " << line;
        }
    }
    EXPECT_TRUE(nofix);
    EXPECT_TRUE(fix2d);
    EXPECT_TRUE(fix3d);
    EXPECT_TRUE(sky);
}

// The long drive's sky has GLONASS (gnssid 6) and Galileo (2) besides GPS, and its garbage
// does not stop gpsd from reporting.
TEST(GpsdRecordings, LongDriveHasMultiGnssSkyAndSurvivesGarbage) {
    TempDir root;
    GpsdFixture fx(root.path(), "drive_long.nmea", fast(20, 95));
    ASSERT_TRUE(fx.ok());
    GpsdWatch json(fx.gpsd_port(), false);
    GpsdWatch raw(fx.gpsd_port(), true);
    ASSERT_TRUE(raw.wait_line("$PSTMDRPVA", 5000));
    bool glonass = false, galileo = false;
    for (const auto& line : json.collect(4000)) {
        Json::Value v = parse(line);
        if (v["class"] != "SKY") continue;
        for (const auto& s : v["satellites"]) {
            if (s["gnssid"].asInt() == 6) glonass = true;
            if (s["gnssid"].asInt() == 2) galileo = true;
        }
    }
    EXPECT_TRUE(glonass);
    EXPECT_TRUE(galileo);
    // Epoch 100 held garbage; gpsd still reports 3D fixes after it.
    EXPECT_TRUE(json.wait_line("\"mode\":3", 3000));
    EXPECT_TRUE(fx.gpsd_running());
}

TEST(GpsdFixture, SystemctlStopsAndStartsItsGpsd) {
    TempDir root;
    GpsdFixture fx(root.path(), "drive_short.nmea");
    ASSERT_TRUE(fx.ok());
    pid_t first = fx.gpsd_pid();
    ASSERT_GT(first, 0);
    EXPECT_EQ(navtest::run_command("'" + fx.systemctl() + "' is-active gpsd"), 0);
    // Starting a running unit is a no-op.
    EXPECT_TRUE(fx.start_gpsd());
    EXPECT_EQ(fx.gpsd_pid(), first);

    EXPECT_TRUE(fx.stop_gpsd());
    EXPECT_FALSE(navtest::file_exists(fx.pidfile()));
    EXPECT_FALSE(fx.gpsd_running());
    EXPECT_EQ(navtest::run_command("'" + fx.systemctl() + "' is-active gpsd"), 3);

    ASSERT_TRUE(fx.start_gpsd());
    EXPECT_GT(fx.gpsd_pid(), 0);
    EXPECT_NE(fx.gpsd_pid(), first);
    EXPECT_EQ(fx.start_count(), 3);

    // A killed gpsd leaves its pid file naming a process that is gone.
    pid_t pid = fx.gpsd_pid();
    ASSERT_TRUE(fx.kill_gpsd(SIGKILL));
    EXPECT_EQ(fx.gpsd_pid(), pid);
    EXPECT_NE(kill(pid, 0), 0);
    EXPECT_FALSE(fx.gpsd_running());
    ASSERT_TRUE(fx.start_gpsd());
    EXPECT_TRUE(fx.gpsd_running());

    fx.stop();
    EXPECT_FALSE(navtest::port_listening(fx.gpsd_port()));
    EXPECT_FALSE(navtest::port_listening(fx.feed_port()));
}

// ---- gpsdClient -------------------------------------------------------------------------

namespace {

// Callbacks are plain function pointers, so each slot collects into its own global.
struct Collector {
    std::mutex mutex;
    std::vector<std::string> blocks;
    std::atomic<int> timeouts{0};
    std::atomic<int> calls_after_stop{0};
    std::atomic<bool> stopped{false};

    void reset() {
        std::lock_guard<std::mutex> lock(mutex);
        blocks.clear();
        timeouts = 0;
        calls_after_stop = 0;
        stopped = false;
    }
    std::vector<std::string> take() {
        std::lock_guard<std::mutex> lock(mutex);
        return blocks;
    }
    bool has(const std::string& needle) {
        std::lock_guard<std::mutex> lock(mutex);
        for (const auto& b : blocks)
            if (b.find(needle) != std::string::npos) return true;
        return false;
    }
    int count(const std::string& needle) {
        std::lock_guard<std::mutex> lock(mutex);
        int n = 0;
        for (const auto& b : blocks)
            if (b.find(needle) != std::string::npos) ++n;
        return n;
    }
};
Collector g_slot[2];

template <int N>
void on_msg(char* text) {
    if (g_slot[N].stopped) ++g_slot[N].calls_after_stop;
    {
        std::lock_guard<std::mutex> lock(g_slot[N].mutex);
        g_slot[N].blocks.emplace_back(text);
    }
    // The block is the callback's to modify (the reassembly code splits it in place).
    text[0] = '\0';
}

template <int N>
void on_timeout() {
    if (g_slot[N].stopped) ++g_slot[N].calls_after_stop;
    ++g_slot[N].timeouts;
}

// A gpsd stand-in: accepts connections on a free loopback port, sends `greeting` to each and
// then keeps the connection open and silent until it is destroyed.
class FakeGpsd {
public:
    explicit FakeGpsd(std::string greeting) : greeting_(std::move(greeting)) {
        port_ = navtest::free_port();
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int one = 1;
        setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = htons(static_cast<uint16_t>(port_));
        if (bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(fd_, 4) != 0)
            ADD_FAILURE() << "cannot listen on " << port_;
        thread_ = std::thread([this] { serve(); });
    }
    ~FakeGpsd() {
        stop_ = true;
        thread_.join();
        for (int c : clients_) close(c);
        close(fd_);
    }
    int port() const { return port_; }
    int accepted() const { return accepted_; }

private:
    void serve() {
        while (!stop_) {
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, 50) <= 0) continue;
            int c = accept(fd_, nullptr, nullptr);
            if (c < 0) continue;
            send(c, greeting_.data(), greeting_.size(), MSG_NOSIGNAL);
            clients_.push_back(c);
            ++accepted_;
        }
    }
    std::string greeting_;
    int port_ = 0;
    int fd_ = -1;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<int> accepted_{0};
    std::vector<int> clients_;
};

double cpu_seconds() {
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
           static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

class GpsdClientTest : public ::testing::Test {
protected:
    void SetUp() override {
        g_slot[0].reset();
        g_slot[1].reset();
    }
    void point_at(int port) {
        // The previous values go back first, or their restore would undo the new ones.
        port_.reset();
        host_.reset();
        host_ = std::make_unique<navtest::ScopedEnv>("GPSD_HOST", "127.0.0.1");
        port_ = std::make_unique<navtest::ScopedEnv>("GPSD_PORT", std::to_string(port));
    }
    std::unique_ptr<navtest::ScopedEnv> host_, port_;
    TempDir root_;
};

// Every block holds whole lines, ends in "\n" and has no NUL before its end.
void expect_well_formed(const std::vector<std::string>& blocks) {
    for (const auto& b : blocks) {
        ASSERT_FALSE(b.empty());
        EXPECT_EQ(b.back(), '\n') << b;
        EXPECT_EQ(b.find('\0'), std::string::npos);
    }
}

}  // namespace

TEST_F(GpsdClientTest, JsonAndRawClientsReceiveTheirStreams) {
    GpsdFixture fx(root_.path(), "drive_short.nmea", fast(5, 30));
    ASSERT_TRUE(fx.ok());
    point_at(fx.gpsd_port());
    gpsdClient json("json_parser"), raw("nmea_parser");
    json.set_polling_timeout(15000000);
    json.set_on_msg_callback_fkt(on_msg<0>);
    json.set_gpsd_stream_flags(0x11);
    raw.set_polling_timeout(15000000);
    raw.set_on_msg_callback_fkt(on_msg<1>);
    raw.set_gpsd_stream_flags(0x81);
    ASSERT_EQ(json.get_gpsd_forever_non_blocking(), 0);
    ASSERT_EQ(raw.get_gpsd_forever_non_blocking(), 0);

    EXPECT_TRUE(navtest::wait_for(
        [] { return g_slot[0].has("\"class\":\"TPV\"") && g_slot[0].has("\"class\":\"SKY\""); },
        8000));
    EXPECT_TRUE(json.gpsd_connected());
    EXPECT_TRUE(navtest::wait_for(
        [] { return g_slot[1].has("$GPRMC,") && g_slot[1].has("$PSTMDRPVA,"); }, 8000));
    EXPECT_TRUE(raw.gpsd_connected());
    json.stop_loop();
    raw.stop_loop();

    auto j = g_slot[0].take();
    expect_well_formed(j);
    EXPECT_FALSE(g_slot[0].has("$GPRMC"));
    auto r = g_slot[1].take();
    expect_well_formed(r);
    // Receiver lines keep their carriage return before the line feed.
    for (const auto& b : r) {
        if (b.rfind("$GPRMC", 0) == 0) {
            EXPECT_NE(b.find("\r\n"), std::string::npos) << b;
        }
    }
}

TEST_F(GpsdClientTest, TimeoutCallbackFiresWhileTheFeedIsSilent) {
    // Three epochs, then nothing: gpsd stays connected but has nothing to say.
    std::string rec = root_ / "tiny.nmea";
    std::string all =
        navtest::read_file(std::string(NAVMON_SOURCE_DIR) + "/testdata/drive_short.nmea");
    size_t pos = 0;
    for (int rmc = 0; rmc < 4; ++rmc) pos = all.find("$GPRMC", pos + 1);
    navtest::write_file(rec, all.substr(0, pos));
    GpsdFixture fx(root_.path(), rec, fast(20));
    ASSERT_TRUE(fx.ok());
    point_at(fx.gpsd_port());
    gpsdClient raw("nmea_parser");
    raw.set_polling_timeout(200000);
    raw.set_on_msg_callback_fkt(on_msg<0>);
    raw.set_timeout_callback_fkt(on_timeout<0>);
    raw.set_gpsd_stream_flags(0x81);
    ASSERT_EQ(raw.get_gpsd_forever_non_blocking(), 0);
    EXPECT_TRUE(navtest::wait_for([] { return g_slot[0].timeouts >= 3; }, 5000));
    EXPECT_TRUE(raw.gpsd_connected());
    raw.stop_loop();
}

TEST_F(GpsdClientTest, ReconnectsWhenGpsdComesBack) {
    GpsdFixture fx(root_.path(), "drive_short.nmea", fast(5, 20));
    ASSERT_TRUE(fx.ok());
    point_at(fx.gpsd_port());
    gpsdClient raw("nmea_parser");
    raw.set_on_msg_callback_fkt(on_msg<0>);
    raw.set_gpsd_stream_flags(0x81);
    ASSERT_EQ(raw.get_gpsd_forever_non_blocking(), 0);
    ASSERT_TRUE(navtest::wait_for([&] { return g_slot[0].has("$GPRMC,"); }, 5000));

    ASSERT_TRUE(fx.kill_gpsd(SIGKILL));
    EXPECT_TRUE(navtest::wait_for([&] { return !raw.gpsd_connected(); }, 3000));
    // Down for a while: the client keeps trying without piling up connections.
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    g_slot[0].reset();
    ASSERT_TRUE(fx.start_gpsd());
    EXPECT_TRUE(navtest::wait_for([&] { return raw.gpsd_connected(); }, 4000));
    EXPECT_TRUE(navtest::wait_for([&] { return g_slot[0].has("$GPRMC,"); }, 5000));
    raw.stop_loop();
    EXPECT_FALSE(raw.gpsd_connected());
}

TEST_F(GpsdClientTest, StopLoopEndsCallbacksAndCanRestart) {
    GpsdFixture fx(root_.path(), "drive_short.nmea", fast(20));
    ASSERT_TRUE(fx.ok());
    point_at(fx.gpsd_port());
    {
        gpsdClient raw("nmea_parser");
        raw.stop_loop();  // no loop yet: harmless
        raw.set_polling_timeout(1000);
        raw.set_on_msg_callback_fkt(on_msg<0>);
        raw.set_timeout_callback_fkt(on_timeout<0>);
        raw.set_gpsd_stream_flags(0x81);
        ASSERT_EQ(raw.get_gpsd_forever_non_blocking(), 0);
        EXPECT_EQ(raw.get_gpsd_forever_non_blocking(), 0);  // already running: no second thread
        ASSERT_TRUE(navtest::wait_for([] { return g_slot[0].count("$GP") > 20; }, 5000));
        raw.stop_loop();
        g_slot[0].stopped = true;
        raw.stop_loop();
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        EXPECT_EQ(g_slot[0].calls_after_stop, 0);
        EXPECT_FALSE(raw.gpsd_connected());

        g_slot[0].reset();
        ASSERT_EQ(raw.get_gpsd_forever_non_blocking(), 0);
        EXPECT_TRUE(navtest::wait_for([] { return g_slot[0].has("$GPRMC,"); }, 5000));
    }
    // The destructor stopped the running loop.
    g_slot[0].stopped = true;
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(g_slot[0].calls_after_stop, 0);
}

// An idle connection, a connection holding half a line and a gpsd that is not there at all
// must all cost (next to) no CPU: a spinning loop would burn a whole second here.
TEST_F(GpsdClientTest, IdleAndHalfLineConnectionsCostNoCpu) {
    FakeGpsd idle("{\"class\":\"VERSION\"}\n");
    FakeGpsd half("{\"class\":\"VERSION\"}\n{\"class\":\"TPV\",\"mo");
    int absent = navtest::free_port();
    struct Case {
        const char* name;
        int port;
        bool connected;
    } cases[] = {
        {"idle", idle.port(), true}, {"half", half.port(), true}, {"absent", absent, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        g_slot[0].reset();
        point_at(c.port);
        gpsdClient client("json_parser");
        client.set_polling_timeout(15000000);
        client.set_on_msg_callback_fkt(on_msg<0>);
        client.set_timeout_callback_fkt(on_timeout<0>);
        client.set_gpsd_stream_flags(0x11);
        ASSERT_EQ(client.get_gpsd_forever_non_blocking(), 0);
        if (c.connected) {
            ASSERT_TRUE(navtest::wait_for([] { return g_slot[0].has("VERSION"); }, 3000));
        }
        double before = cpu_seconds();
        std::this_thread::sleep_for(std::chrono::milliseconds(1000));
        double used = cpu_seconds() - before;
        EXPECT_LT(used, 0.1);
        EXPECT_EQ(client.gpsd_connected(), c.connected);
        client.stop_loop();
        // The half line never completed, so it was never delivered.
        EXPECT_FALSE(g_slot[0].has("\"mo"));
    }
}

TEST_F(GpsdClientTest, EmbeddedNulEndsTheDeliveredLine) {
    using namespace std::string_literals;
    FakeGpsd srv(
        "{\"class\":\"VERSION\"}\n{\"class\":\"TPV\",\"device\":\"a\0b\"}\r\n{\"class\":\"SKY\"}\n"s);
    point_at(srv.port());
    gpsdClient client("json_parser");
    client.set_on_msg_callback_fkt(on_msg<0>);
    client.set_gpsd_stream_flags(0x11);
    ASSERT_EQ(client.get_gpsd_forever_non_blocking(), 0);
    ASSERT_TRUE(navtest::wait_for([] { return g_slot[0].has("SKY"); }, 3000));
    client.stop_loop();
    auto blocks = g_slot[0].take();
    expect_well_formed(blocks);
    ASSERT_EQ(blocks.size(), 3u);
    EXPECT_EQ(blocks[1], "{\"class\":\"TPV\",\"device\":\"a\n");
    EXPECT_EQ(blocks[2], "{\"class\":\"SKY\"}\n");
}

// ---- restart_gps_engine -----------------------------------------------------------------

namespace {

double g_clock = 0.0;
double fake_clock() {
    return g_clock;
}

class EngineRestartTest : public ::testing::Test {
protected:
    void SetUp() override {
        // Far from any earlier test's time, so no earlier message holds back the first one.
        g_clock += 100000.0;
        fwtime_set_source(fake_clock);
    }
    void TearDown() override { fwtime_set_source(nullptr); }
    void configure(const std::string& command_json) {
        navtest::write_file(dir_ / "config.json",
                            "{\"gps\": {\"engine_restart_command\": " + command_json + "}}");
    }
    TempDir dir_;
    navtest::ScopedEnv config_{"PLATFORM_CONFIG", dir_ / "config.json"};
    navtest::LogCapture log_;
};

}  // namespace

TEST_F(EngineRestartTest, RunsTheConfiguredCommand) {
    std::string out = dir_ / "sent";
    configure("\"printf '$PSTMGPSRESTART\\\\r\\\\n' > " + out + "\"");
    EXPECT_EQ(restart_gps_engine(), 0);
    EXPECT_EQ(navtest::read_file(out), "$PSTMGPSRESTART\r\n");
}

TEST_F(EngineRestartTest, UnconfiguredOrFailingCommandWarnsAtMostEveryTenMinutes) {
    struct Case {
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
        const double base = g_clock += 100000.0;
        if (c.config != nullptr) configure(c.config);
        log_.clear();
        // Called every second while the receiver stays silent; a few calls stand for them.
        for (double t : {0.0, 1.0, 300.0, 599.0}) {
            g_clock = base + t;
            EXPECT_EQ(restart_gps_engine(), -1);
        }
        EXPECT_EQ(log_.count(c.message), 1);
        g_clock = base + 600.0;
        EXPECT_EQ(restart_gps_engine(), -1);
        EXPECT_EQ(log_.count(c.message), 2);
        unlink((dir_ / "config.json").c_str());
    }
}

TEST_F(EngineRestartTest, HungCommandIsKilledWithItsChildren) {
    std::string pidfile = dir_ / "pid";
    configure("\"sleep 60 & echo $! > " + pidfile + "; wait\"");
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(restart_gps_engine(), -1);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
    std::string pid = navtest::read_file(pidfile);
    while (!pid.empty() && pid.back() == '\n') pid.pop_back();
    ASSERT_FALSE(pid.empty());
    // Gone, or a zombie waiting for its new parent to reap it.
    EXPECT_TRUE(navtest::wait_for(
        [&] {
            std::string stat = navtest::read_file("/proc/" + pid + "/stat");
            size_t paren = stat.rfind(')');
            return stat.empty() ||
                   (paren != std::string::npos && stat.compare(paren, 3, ") Z") == 0);
        },
        3000));
    EXPECT_TRUE(log_.contains("timed out"));
}
