#include "tests/support/support.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <mosquitto.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include "platform/platform.h"

extern char** environ;

namespace navtest {

TempDir::TempDir() {
    char tmpl[] = "/tmp/navmon-test-XXXXXX";
    char* p = mkdtemp(tmpl);
    if (p == nullptr) abort();
    path_ = p;
    chmod(p, 0755);
}

TempDir::~TempDir() {
    if (!path_.empty()) run_command("rm -rf '" + path_ + "'");
}

ScopedEnv::ScopedEnv(const std::string& name, const std::string& value) : name_(name) {
    const char* old = getenv(name.c_str());
    had_ = old != nullptr;
    if (had_) old_ = old;
    setenv(name.c_str(), value.c_str(), 1);
}

ScopedEnv::~ScopedEnv() {
    if (had_)
        setenv(name_.c_str(), old_.c_str(), 1);
    else
        unsetenv(name_.c_str());
}

int free_port() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) abort();
    socklen_t len = sizeof addr;
    getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    close(fd);
    return ntohs(addr.sin_port);
}

bool wait_for(const std::function<bool()>& cond, int timeout_ms) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (true) {
        if (cond()) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void write_file(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

std::string nmea_sentence(const std::string& body) {
    unsigned sum = 0;
    for (size_t i = 1; i < body.size(); ++i) sum ^= static_cast<unsigned char>(body[i]);
    char suffix[8];
    snprintf(suffix, sizeof suffix, "*%02X\r\n", sum);
    return body + suffix;
}

bool file_exists(const std::string& path) {
    return access(path.c_str(), F_OK) == 0;
}

void mkdirs(const std::string& path) {
    run_command("mkdir -p '" + path + "'");
}

// ---- LogCapture -------------------------------------------------------------------------

namespace {
std::mutex g_log_mutex;
std::vector<std::string> g_log_lines;
void capture_hook(int, const char* text) {
    std::lock_guard<std::mutex> lock(g_log_mutex);
    g_log_lines.emplace_back(text);
}
}  // namespace

LogCapture::LogCapture() {
    clear();
    log_set_verbose(true);
    log_set_hook(capture_hook);
}

LogCapture::~LogCapture() {
    log_set_hook(nullptr);
}

std::vector<std::string> LogCapture::lines() const {
    std::lock_guard<std::mutex> lock(g_log_mutex);
    return g_log_lines;
}

bool LogCapture::contains(const std::string& text) const {
    return count(text) > 0;
}

int LogCapture::count(const std::string& text) const {
    std::lock_guard<std::mutex> lock(g_log_mutex);
    int n = 0;
    for (const auto& l : g_log_lines)
        if (l.find(text) != std::string::npos) ++n;
    return n;
}

void LogCapture::clear() {
    std::lock_guard<std::mutex> lock(g_log_mutex);
    g_log_lines.clear();
}

// ---- Process ----------------------------------------------------------------------------

Process::~Process() {
    if (pid_ > 0 && !reaped_) stop(2000);
}

bool Process::start(const std::vector<std::string>& argv,
                    const std::map<std::string, std::string>& env, const std::string& output_file) {
    std::vector<std::string> envs;
    for (char** e = environ; *e != nullptr; ++e) {
        std::string kv = *e;
        std::string name = kv.substr(0, kv.find('='));
        if (env.count(name) == 0) envs.push_back(kv);
    }
    for (const auto& kv : env) envs.push_back(kv.first + "=" + kv.second);
    std::vector<char*> cargv, cenv;
    for (const auto& a : argv) cargv.push_back(const_cast<char*>(a.c_str()));
    cargv.push_back(nullptr);
    for (const auto& e : envs) cenv.push_back(const_cast<char*>(e.c_str()));
    cenv.push_back(nullptr);

    pid_t pid = fork();
    if (pid < 0) return false;
    if (pid == 0) {
        // A clean signal state for the child: the test runner's mask must not leak into it.
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        int fd = open(output_file.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        if (fd >= 0) {
            dup2(fd, 1);
            dup2(fd, 2);
            close(fd);
        }
        int devnull = open("/dev/null", O_RDONLY);
        if (devnull >= 0) dup2(devnull, 0);
        execve(cargv[0], cargv.data(), cenv.data());
        _exit(127);
    }
    pid_ = pid;
    reaped_ = false;
    status_ = -1;
    return true;
}

bool Process::running() {
    if (pid_ <= 0 || reaped_) return false;
    int st = 0;
    pid_t r = waitpid(pid_, &st, WNOHANG);
    if (r == pid_) {
        reaped_ = true;
        status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
        return false;
    }
    return true;
}

void Process::signal(int sig) {
    if (pid_ > 0 && !reaped_) kill(pid_, sig);
}

int Process::wait(int timeout_ms) {
    if (pid_ <= 0) return -1;
    if (reaped_) return status_;
    if (!wait_for([this] { return !running(); }, timeout_ms)) return -1;
    return status_;
}

int Process::stop(int grace_ms) {
    if (pid_ <= 0) return -1;
    if (reaped_) return status_;
    signal(SIGTERM);
    int st = wait(grace_ms);
    if (st >= 0) return st;
    signal(SIGKILL);
    return wait(5000);
}

int run_command(const std::string& cmd, std::string* out) {
    FILE* p = popen(cmd.c_str(), "r");
    if (p == nullptr) return -1;
    char buf[4096];
    size_t n;
    std::string acc;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) acc.append(buf, n);
    int st = pclose(p);
    if (out != nullptr) *out = acc;
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

// ---- Broker -----------------------------------------------------------------------------

Broker::Broker() {}

Broker::~Broker() {
    stop();
}

bool Broker::start() {
    if (port_ == 0) port_ = free_port();
    std::string conf = dir_ / "mosquitto.conf";
    write_file(conf, "listener " + std::to_string(port_) +
                         " 127.0.0.1\nallow_anonymous true\npersistence false\nlog_dest stderr\n");
    if (!proc_.start({"/usr/sbin/mosquitto", "-c", conf}, {}, dir_ / "mosquitto.log")) return false;
    int port = port_;
    return wait_for(
        [port] {
            int fd = socket(AF_INET, SOCK_STREAM, 0);
            sockaddr_in addr{};
            addr.sin_family = AF_INET;
            addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            addr.sin_port = htons(port);
            bool ok = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
            close(fd);
            return ok;
        },
        5000);
}

void Broker::stop() {
    proc_.stop(3000);
}

// ---- Subscriber -------------------------------------------------------------------------

struct Subscriber::Impl {
    mosquitto* mosq = nullptr;
    std::vector<std::string> topics;
    mutable std::mutex mutex;
    std::vector<Message> messages;
    std::atomic<bool> subscribed{false};
};

namespace {
struct MosqInit {
    MosqInit() { mosquitto_lib_init(); }
};
MosqInit g_mosq_init;
}  // namespace

Subscriber::Subscriber(int port, const std::vector<std::string>& topics) : impl_(new Impl) {
    impl_->topics = topics;
    impl_->mosq = mosquitto_new(nullptr, true, impl_);
    mosquitto_connect_callback_set(impl_->mosq, [](mosquitto* m, void* obj, int rc) {
        auto* impl = static_cast<Impl*>(obj);
        if (rc != 0) return;
        for (const auto& t : impl->topics) mosquitto_subscribe(m, nullptr, t.c_str(), 0);
    });
    mosquitto_subscribe_callback_set(impl_->mosq, [](mosquitto*, void* obj, int, int, const int*) {
        static_cast<Impl*>(obj)->subscribed = true;
    });
    mosquitto_message_callback_set(
        impl_->mosq, [](mosquitto*, void* obj, const mosquitto_message* msg) {
            auto* impl = static_cast<Impl*>(obj);
            Message m;
            m.topic = msg->topic;
            if (msg->payload != nullptr)
                m.payload.assign(static_cast<const char*>(msg->payload), msg->payloadlen);
            m.retained = msg->retain;
            std::lock_guard<std::mutex> lock(impl->mutex);
            impl->messages.push_back(std::move(m));
        });
    mosquitto_connect(impl_->mosq, "127.0.0.1", port, 30);
    mosquitto_loop_start(impl_->mosq);
    // Every topic is subscribed in one go; the first SUBACK means the broker has them all
    // only when there is one topic, so wait until each has been acknowledged.
    wait_for([this] { return impl_->subscribed.load(); }, 5000);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
}

Subscriber::~Subscriber() {
    mosquitto_disconnect(impl_->mosq);
    mosquitto_loop_stop(impl_->mosq, false);
    mosquitto_destroy(impl_->mosq);
    delete impl_;
}

bool Subscriber::connected() const {
    return impl_->subscribed.load();
}

std::vector<Message> Subscriber::messages() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->messages;
}

bool Subscriber::wait_message(const std::string& topic, int timeout_ms, Message* out) {
    return wait_for(
        [&] {
            std::lock_guard<std::mutex> lock(impl_->mutex);
            for (const auto& m : impl_->messages) {
                if (m.topic == topic) {
                    if (out != nullptr) *out = m;
                    return true;
                }
            }
            return false;
        },
        timeout_ms);
}

void Subscriber::clear() {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->messages.clear();
}

bool publish(int port, const std::string& topic, const std::string& payload, bool retain) {
    std::string cmd = "mosquitto_pub -h 127.0.0.1 -p " + std::to_string(port) + " -t '" + topic +
                      "' " + (retain ? "-r " : "") + "-s";
    FILE* p = popen(cmd.c_str(), "w");
    if (p == nullptr) return false;
    fwrite(payload.data(), 1, payload.size(), p);
    int st = pclose(p);
    return WIFEXITED(st) && WEXITSTATUS(st) == 0;
}

}  // namespace navtest
