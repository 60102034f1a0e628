// Serves an NMEA recording on 127.0.0.1:PORT, one epoch at a time, to every connected client.
//
//   nmea_replay --port PORT --file RECORDING [--rate EPOCHS_PER_SECOND] [--loop]
//               [--start-epoch N]
//
// An epoch is the lines from one RMC sentence up to the next (lines before the first RMC belong
// to the first epoch). The timeline runs from start whether or not anybody listens, so a client
// that connects late (a restarted gpsd) picks the drive up where it currently is. Lines starting
// with '#' are comments. Exits on SIGTERM or SIGINT.
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

namespace {

volatile sig_atomic_t g_quit = 0;
void on_quit(int) {
    g_quit = 1;
}

// A client that does not read is cut off once this much is waiting for it.
constexpr size_t kMaxBacklog = 1 << 20;

struct Client {
    int fd;
    std::string out;
};

void usage() {
    fprintf(stderr,
            "usage: nmea_replay --port PORT --file RECORDING [--rate EPOCHS_PER_SECOND] [--loop] "
            "[--start-epoch N]\n");
}

bool is_rmc(const std::string& line) {
    return line.size() >= 6 && line[0] == '$' && line.compare(3, 3, "RMC") == 0;
}

bool load_epochs(const char* path, std::vector<std::string>* epochs) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::string line;
    std::string current;
    bool seen_rmc = false;
    while (std::getline(in, line)) {
        while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.pop_back();
        if (line.empty() || line[0] == '#') continue;
        if (is_rmc(line)) {
            if (seen_rmc) {
                epochs->push_back(current);
                current.clear();
            }
            seen_rmc = true;
        }
        current += line;
        current += "\r\n";
    }
    if (!current.empty()) epochs->push_back(current);
    return true;
}

double now_s() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

int open_listener(int port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return -1;
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(fd, 16) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// Writes what the socket takes now; false when the client is gone or hopelessly behind.
bool flush_client(Client& c) {
    while (!c.out.empty()) {
        ssize_t n = send(c.fd, c.out.data(), c.out.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            c.out.erase(0, static_cast<size_t>(n));
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
        if (n < 0 && errno == EINTR) continue;
        return false;
    }
    return c.out.size() <= kMaxBacklog;
}

}  // namespace

int main(int argc, char** argv) {
    int port = 0;
    const char* file = nullptr;
    double rate = 1.0;
    bool loop = false;
    long start_epoch = 0;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        bool has_value = i + 1 < argc;
        if (a == "--port" && has_value) {
            port = atoi(argv[++i]);
        } else if (a == "--file" && has_value) {
            file = argv[++i];
        } else if (a == "--rate" && has_value) {
            rate = strtod(argv[++i], nullptr);
        } else if (a == "--start-epoch" && has_value) {
            start_epoch = strtol(argv[++i], nullptr, 10);
        } else if (a == "--loop") {
            loop = true;
        } else {
            usage();
            return 2;
        }
    }
    if (port <= 0 || port > 65535 || file == nullptr || !(rate > 0.0) || !std::isfinite(rate) ||
        start_epoch < 0) {
        usage();
        return 2;
    }

    std::vector<std::string> epochs;
    if (!load_epochs(file, &epochs)) {
        fprintf(stderr, "nmea_replay: cannot read %s\n", file);
        return 1;
    }

    signal(SIGPIPE, SIG_IGN);
    struct sigaction sa {};
    sa.sa_handler = on_quit;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    // The quit signals are only let through inside ppoll, so none is lost between the flag
    // test and the wait.
    sigset_t quit_set, wait_mask;
    sigemptyset(&quit_set);
    sigaddset(&quit_set, SIGTERM);
    sigaddset(&quit_set, SIGINT);
    sigprocmask(SIG_BLOCK, &quit_set, &wait_mask);
    sigdelset(&wait_mask, SIGTERM);
    sigdelset(&wait_mask, SIGINT);

    int listen_fd = open_listener(port);
    if (listen_fd < 0) {
        fprintf(stderr, "nmea_replay: cannot listen on 127.0.0.1:%d: %s\n", port, strerror(errno));
        return 1;
    }

    const double period = 1.0 / rate;
    size_t next = static_cast<size_t>(start_epoch);
    double next_time = now_s();
    std::vector<Client> clients;
    std::vector<pollfd> fds;

    while (!g_quit) {
        double now = now_s();
        while (next < epochs.size() && now >= next_time) {
            for (auto& c : clients) c.out += epochs[next];
            ++next;
            next_time += period;
            if (next >= epochs.size() && loop && !epochs.empty()) next = 0;
        }
        for (size_t i = 0; i < clients.size();) {
            if (flush_client(clients[i])) {
                ++i;
            } else {
                close(clients[i].fd);
                clients.erase(clients.begin() + static_cast<long>(i));
            }
        }

        fds.clear();
        fds.push_back({listen_fd, POLLIN, 0});
        for (const auto& c : clients)
            fds.push_back({c.fd, static_cast<short>(POLLIN | (c.out.empty() ? 0 : POLLOUT)), 0});
        timespec timeout{};
        timespec* tp = nullptr;  // after the last epoch: wait for clients or a signal only
        if (next < epochs.size()) {
            double wait = next_time - now_s();
            if (wait < 0) wait = 0;
            timeout.tv_sec = static_cast<time_t>(wait);
            timeout.tv_nsec = static_cast<long>((wait - static_cast<double>(timeout.tv_sec)) * 1e9);
            tp = &timeout;
        }
        int r = ppoll(fds.data(), fds.size(), tp, &wait_mask);
        if (r < 0) {
            if (errno == EINTR) continue;
            perror("nmea_replay: poll");
            break;
        }
        if (fds[0].revents & POLLIN) {
            int fd = accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
            if (fd >= 0) clients.push_back({fd, std::string()});
        }
        // Whatever clients send is read and thrown away; end of stream or an error drops them.
        for (size_t i = 1; i < fds.size(); ++i) {
            if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            char sink[512];
            ssize_t n = recv(fds[i].fd, sink, sizeof sink, MSG_DONTWAIT);
            if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
                for (size_t k = 0; k < clients.size(); ++k) {
                    if (clients[k].fd == fds[i].fd) {
                        close(clients[k].fd);
                        clients.erase(clients.begin() + static_cast<long>(k));
                        break;
                    }
                }
            }
        }
    }

    for (auto& c : clients) close(c.fd);
    close(listen_fd);
    return 0;
}
