// Running another program: systemctl and the receiver's engine restart command.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/base/base.h"
#include "platform/clock/clock.h"
#include "platform/cmd/cmd.h"

extern char** environ;

namespace {

// The signals this process handles or ignores: the child starts with their default actions.
const int kHandledSignals[] = {SIGTERM, SIGQUIT, SIGINT, SIGUSR1, SIGUSR2, SIGCONT, SIGPIPE};

int exit_status(int status) {
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return -1;
}

}  // namespace

int run_command(const std::vector<std::string>& argv, int limit_ms, bool* timed_out) {
    if (timed_out != nullptr) *timed_out = false;
    if (argv.empty()) return -1;
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);

    posix_spawnattr_t attr;
    posix_spawn_file_actions_t files;
    posix_spawnattr_init(&attr);
    posix_spawn_file_actions_init(&files);
    sigset_t none, defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    for (int sig : kHandledSignals) sigaddset(&defaults, sig);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    // Its own group, so that a command that outlives its limit is killed with its children.
    posix_spawnattr_setpgroup(&attr, 0);
    posix_spawnattr_setflags(
        &attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);
    posix_spawn_file_actions_addopen(&files, 0, "/dev/null", O_RDONLY, 0);

    pid_t pid = -1;
    const int err = posix_spawn(&pid, args[0], &files, &attr, args.data(), environ);
    posix_spawn_file_actions_destroy(&files);
    posix_spawnattr_destroy(&attr);
    if (err != 0) {
        nm_log(LOG_ERR, "Could not run %s: %s", args[0], strerror(err));
        return -1;
    }
    const double deadline = steady_seconds() + limit_ms / 1000.0;
    int status = 0;
    for (;;) {
        const pid_t r = waitpid(pid, &status, limit_ms > 0 ? WNOHANG : 0);
        if (r == pid) return exit_status(status);
        if (r < 0 && errno != EINTR) return -1;
        if (limit_ms > 0 && steady_seconds() >= deadline) break;
        if (r == 0) usleep(20000);
    }
    if (timed_out != nullptr) *timed_out = true;
    kill(-pid, SIGKILL);
    kill(pid, SIGKILL);
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return -1;
}
