// Configuration store: one JSON file addressed by dotted paths, parsed once per file state.
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

#include "platform/base/base.h"
#include "platform/cmd/cmd.h"

namespace {

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

// Brings the cache up to date with the file; false when there is no usable configuration.
// Called with mutex_ held.
bool ConfigStore::refresh_locked() {
    // What identifies one state of the file: a replaced or rewritten file differs in at least
    // one of these.
    auto same_state = [this](const struct stat& st) {
        return state_.dev == st.st_dev && state_.ino == st.st_ino && state_.size == st.st_size &&
               state_.mtime_sec == st.st_mtim.tv_sec && state_.mtime_nsec == st.st_mtim.tv_nsec;
    };
    auto forget = [this] {
        loaded_ = false;
        malformed_ = false;
        root_ = Json::Value();
        return false;
    };
    struct stat st;
    if (stat(path_.c_str(), &st) != 0) return forget();
    if (loaded_ && same_state(st)) return !malformed_;

    int fd = open(path_.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return forget();
    // The state is taken from the descriptor actually read, so a file replaced between the
    // stat() above and the open() is keyed correctly.
    std::string text;
    bool ok = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && read_fd(fd, &text);
    close(fd);
    if (!ok) return forget();

    loaded_ = true;
    state_.dev = st.st_dev;
    state_.ino = st.st_ino;
    state_.size = st.st_size;
    state_.mtime_sec = st.st_mtim.tv_sec;
    state_.mtime_nsec = st.st_mtim.tv_nsec;
    root_ = Json::Value();
    std::string errors;
    malformed_ = !parse_json(text, &root_, &errors) || !root_.isObject();
    if (malformed_) {
        root_ = Json::Value();
        // Logged once per state of the file: the cache remembers it until the file changes.
        for (char& c : errors)
            if (c == '\n') c = ' ';
        nm_log(LOG_ERR, "configuration %s is not a valid JSON object: %s", path_.c_str(),
               errors.c_str());
    }
    return !malformed_;
}

int ConfigStore::cmd_get_value_json(const char* key, Json::Value& out) {
    if (!key || !*key) return -1;
    std::lock_guard<std::mutex> lock(mutex_);
    if (!refresh_locked()) return -1;
    const Json::Value* v = find_path(root_, key);
    if (!v) return -1;
    out = *v;
    return 0;
}

int ConfigStore::cmd_get_value_bool(const char* key, bool* out) {
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
