// Configuration store: one JSON file addressed by dotted paths, parsed once per file state
// and shared by every thread.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>

#include "platform/platform.h"

namespace {

const char* const kDefaultConfigPath = "/etc/navmon/config.json";

// What identifies one state of the file: a replaced or rewritten file differs in at least
// one of these.
struct FileState {
    dev_t dev = 0;
    ino_t ino = 0;
    off_t size = -1;
    time_t mtime_sec = 0;
    long mtime_nsec = 0;

    static FileState of(const struct stat& st) {
        FileState s;
        s.dev = st.st_dev;
        s.ino = st.st_ino;
        s.size = st.st_size;
        s.mtime_sec = st.st_mtim.tv_sec;
        s.mtime_nsec = st.st_mtim.tv_nsec;
        return s;
    }
    bool operator==(const FileState& o) const {
        return dev == o.dev && ino == o.ino && size == o.size && mtime_sec == o.mtime_sec &&
               mtime_nsec == o.mtime_nsec;
    }
};

struct Cache {
    bool loaded = false;  // `state` and `path` describe a file that was read
    std::string path;
    FileState state;
    bool malformed = false;
    Json::Value root;
};

std::mutex g_mutex;
Cache g_cache;

bool parse_json(const std::string& text, Json::Value* out, std::string* errors) {
    Json::CharReaderBuilder builder;
    Json::CharReaderBuilder::strictMode(&builder.settings_);
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    return reader->parse(text.data(), text.data() + text.size(), out, errors);
}

bool read_fd(int fd, std::string* out) {
    char buf[4096];
    for (;;) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (n == 0) return true;
        out->append(buf, static_cast<size_t>(n));
    }
}

// Brings the cache up to date with the file; false when there is no usable configuration.
// Called with g_mutex held.
bool refresh_locked(const std::string& path) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) {
        g_cache = Cache();
        return false;
    }
    if (g_cache.loaded && g_cache.path == path && g_cache.state == FileState::of(st))
        return !g_cache.malformed;

    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        g_cache = Cache();
        return false;
    }
    // The state is taken from the descriptor actually read, so a file replaced between the
    // stat() above and the open() is keyed correctly.
    std::string text;
    bool ok = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && read_fd(fd, &text);
    close(fd);
    if (!ok) {
        g_cache = Cache();
        return false;
    }

    Cache fresh;
    fresh.loaded = true;
    fresh.path = path;
    fresh.state = FileState::of(st);
    std::string errors;
    if (!parse_json(text, &fresh.root, &errors) || !fresh.root.isObject()) {
        fresh.malformed = true;
        fresh.root = Json::Value();
        // Logged once per state of the file: the cache remembers it until the file changes.
        for (char& c : errors)
            if (c == '\n') c = ' ';
        nm_log(LOG_ERR, "configuration %s is not a valid JSON object: %s", path.c_str(),
               errors.c_str());
    }
    g_cache = std::move(fresh);
    return !g_cache.malformed;
}

// Walks a dotted path through nested objects; null when any step is missing.
const Json::Value* find_path(const Json::Value& root, const char* path) {
    if (!path || !*path) return nullptr;
    const Json::Value* node = &root;
    const char* p = path;
    for (;;) {
        const char* dot = strchr(p, '.');
        size_t len = dot ? static_cast<size_t>(dot - p) : strlen(p);
        if (len == 0 || !node->isObject()) return nullptr;
        node = node->find(p, p + len);
        if (!node) return nullptr;
        if (!dot) return node;
        p = dot + 1;
    }
}

}  // namespace

const char* platform_config_path() {
    // A per-thread copy, so that the pointer stays valid whatever the environment does next.
    thread_local std::string path;
    const char* env = getenv("PLATFORM_CONFIG");
    path = (env && *env) ? env : kDefaultConfigPath;
    return path.c_str();
}

int cmd_get_value_json(const char* key, Json::Value& out) {
    if (!key || !*key) return -1;
    std::string path = platform_config_path();
    std::lock_guard<std::mutex> lock(g_mutex);
    if (!refresh_locked(path)) return -1;
    const Json::Value* v = find_path(g_cache.root, key);
    if (!v) return -1;
    out = *v;
    return 0;
}

int cmd_get_value_bool(const char* key, bool* out) {
    if (!out) return -1;
    Json::Value v;
    if (cmd_get_value_json(key, v) != 0 || !v.isBool()) return -1;
    *out = v.asBool();
    return 0;
}

int config_get_int(const Json::Value& config, int* out, const char* path) {
    if (!out) return 0;
    const Json::Value* v = find_path(config, path);
    // Whole JSON numbers only: 3.0 and true are not integers here.
    if (!v || !(v->type() == Json::intValue || v->type() == Json::uintValue) || !v->isInt())
        return 0;
    *out = v->asInt();
    return 1;
}

int config_get_bool(const Json::Value& config, bool* out, const char* path) {
    if (!out) return 0;
    const Json::Value* v = find_path(config, path);
    if (!v || !v->isBool()) return 0;
    *out = v->asBool();
    return 1;
}
