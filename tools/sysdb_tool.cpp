// sysdb: read, write and watch the system database from the shell. The output formats are
// fixed so that scripts and other services can parse them.
#include <json/json.h>
#include <signal.h>
#include <time.h>

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "platform/sysdb/sysdb.h"

namespace {

const char kUsage[] =
    "usage: sysdb get DB KEY\n"
    "       sysdb dump DB\n"
    "       sysdb set DB KEY VALUE [--text|--int|--dbl|--json]\n"
    "       sysdb del DB KEY\n"
    "       sysdb watch DB [KEY...]\n"
    "\n"
    "get    prints the value: text as stored, integers in decimal, whole doubles as their\n"
    "       digits and others in the shortest form that reads back as the same value, JSON\n"
    "       compact; exit 1 when the key does not exist\n"
    "dump   prints every key of DB as one JSON object, keys sorted\n"
    "set    stores VALUE as text (--text, the default), an integer (--int), a double\n"
    "       (--dbl) or a JSON document (--json); put -- before a VALUE that begins with --\n"
    "del    removes KEY (no error when it does not exist)\n"
    "watch  prints 'KEY VALUE' for each change and 'KEY (deleted)' for each removal\n"
    "       until interrupted; control characters in text are escaped (\\n, \\r, \\t, \\\\)\n"
    "\n"
    "The database file is $SYSDB_PATH, default /var/lib/sysdb/sysdb.sqlite.\n"
    "Exit status: 0 success, 1 missing key or database error, 2 bad arguments.\n";

int usage_error(const char* what) {
    if (what != nullptr) fprintf(stderr, "sysdb: %s\n", what);
    fputs(kUsage, stderr);
    return 2;
}

int value_error(const std::string& what) {
    fprintf(stderr, "sysdb: %s\n", what.c_str());
    return 2;
}

int db_error(const char* op) {
    const char* msg = sysdb_last_error();
    fprintf(stderr, "sysdb: %s failed: %s\n", op, msg[0] != '\0' ? msg : "invalid arguments");
    return 1;
}

// One change must stay one line, whatever the text holds (sentence groups end in CR LF).
std::string escape_line(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (unsigned char ch : text) {
        switch (ch) {
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (ch < 0x20 || ch == 0x7f) {
                    char hex[8];
                    snprintf(hex, sizeof hex, "\\x%02x", ch);
                    out += hex;
                } else {
                    out += static_cast<char>(ch);
                }
        }
    }
    return out;
}

bool parse_json(const std::string& text, Json::Value* out) {
    Json::CharReaderBuilder builder;
    builder["failIfExtra"] = true;
    builder["allowComments"] = false;
    builder["allowTrailingCommas"] = false;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    std::string errs;
    return reader->parse(text.data(), text.data() + text.size(), out, &errs);
}

std::string json_string(const std::string& s) {
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "";
    builder["emitUTF8"] = true;
    return Json::writeString(builder, Json::Value(s));
}

int cmd_get(const std::vector<std::string>& args) {
    if (args.size() != 2) return usage_error("get takes DB KEY");
    sysdb_value v;
    int rc = sysdb_namedb_read_value(nullptr, args[0].c_str(), args[1].c_str(), &v);
    if (rc == 1) {
        fprintf(stderr, "sysdb: %s/%s: no such key\n", args[0].c_str(), args[1].c_str());
        return 1;
    }
    if (rc != 0) return db_error("get");
    std::string text = sysdb_value_text(v);
    fwrite(text.data(), 1, text.size(), stdout);
    fputc('\n', stdout);
    return fflush(stdout) == 0 ? 0 : 1;
}

int cmd_dump(const std::vector<std::string>& args) {
    if (args.size() != 1) return usage_error("dump takes DB");
    std::vector<std::pair<std::string, sysdb_value>> rows;
    if (sysdb_namedb_list(nullptr, args[0].c_str(), &rows) != 0) return db_error("dump");
    // Rows come sorted by key bytes, the order of std::string comparison.
    std::string out = "{";
    for (size_t n = 0; n < rows.size(); ++n) {
        const sysdb_value& v = rows[n].second;
        if (n > 0) out += ",";
        out += json_string(rows[n].first);
        out += ":";
        switch (v.type) {
            case SYSDB_INT:
                out += sysdb_value_text(v);
                break;
            case SYSDB_DBL:  // non-finite values have no JSON form
                out += std::isfinite(v.d) ? sysdb_value_text(v) : "null";
                break;
            case SYSDB_JSON: {
                // Stored JSON is embedded as it is; text that is not JSON (written by another
                // tool) goes in as a string so the dump stays valid.
                Json::Value parsed;
                out += parse_json(v.text, &parsed) ? v.text : json_string(v.text);
                break;
            }
            default:
                out += json_string(v.text);
        }
    }
    out += "}\n";
    fwrite(out.data(), 1, out.size(), stdout);
    return fflush(stdout) == 0 ? 0 : 1;
}

int cmd_set(const std::vector<std::string>& in) {
    sysdb_type type = SYSDB_TEXT;
    std::vector<std::string> args;
    bool options = true;
    int type_flags = 0;
    for (const std::string& a : in) {
        if (options && a == "--") {
            options = false;
        } else if (options && (a == "--int" || a == "--dbl" || a == "--json" || a == "--text")) {
            type = a == "--int"    ? SYSDB_INT
                   : a == "--dbl"  ? SYSDB_DBL
                   : a == "--json" ? SYSDB_JSON
                                   : SYSDB_TEXT;
            type_flags++;
        } else if (options && a.size() > 2 && a.compare(0, 2, "--") == 0) {
            return usage_error(("unknown option " + a).c_str());
        } else {
            args.push_back(a);
        }
    }
    if (args.size() != 3) return usage_error("set takes DB KEY VALUE");
    if (type_flags > 1) return usage_error("set takes one type option");
    const char* db = args[0].c_str();
    const char* key = args[1].c_str();
    const std::string& value = args[2];
    int rc;
    switch (type) {
        case SYSDB_INT: {
            errno = 0;
            char* end = nullptr;
            long long n = strtoll(value.c_str(), &end, 10);
            if (value.empty() || *end != '\0' || errno == ERANGE || n < INT_MIN || n > INT_MAX)
                return value_error("not an integer: " + value);
            rc = sysdb_namedb_write_int(nullptr, db, key, static_cast<int>(n), 0);
            break;
        }
        case SYSDB_DBL: {
            errno = 0;
            char* end = nullptr;
            double d = strtod(value.c_str(), &end);
            if (value.empty() || *end != '\0' || (errno == ERANGE && std::isinf(d)))
                return value_error("not a number: " + value);
            rc = sysdb_namedb_write_dbl(nullptr, db, key, d, 0);
            break;
        }
        case SYSDB_JSON: {
            Json::Value parsed;
            if (!parse_json(value, &parsed)) return value_error("not a JSON document: " + value);
            rc = sysdb_namedb_write_json(nullptr, db, key, parsed, 0);
            break;
        }
        default:
            rc = sysdb_namedb_write_str(nullptr, db, key, value.c_str(), 0);
    }
    return rc == 0 ? 0 : db_error("set");
}

int cmd_del(const std::vector<std::string>& args) {
    if (args.size() != 2) return usage_error("del takes DB KEY");
    return sysdb_namedb_del(nullptr, args[0].c_str(), args[1].c_str()) == 0 ? 0 : db_error("del");
}

volatile sig_atomic_t g_stop = 0;

void on_stop_signal(int) {
    g_stop = 1;
}

using Snapshot = std::map<std::string, std::string>;

bool load(const std::string& db, const std::vector<std::string>& keys, Snapshot* out) {
    std::vector<std::pair<std::string, sysdb_value>> rows;
    if (sysdb_namedb_list(nullptr, db.c_str(), &rows) != 0) return false;
    out->clear();
    for (auto& row : rows) {
        if (!keys.empty()) {
            bool wanted = false;
            for (const std::string& k : keys) wanted = wanted || k == row.first;
            if (!wanted) continue;
        }
        (*out)[row.first] = escape_line(sysdb_value_text(row.second));
    }
    return true;
}

int cmd_watch(const std::vector<std::string>& args) {
    if (args.empty()) return usage_error("watch takes DB [KEY...]");
    const std::string db = args[0];
    const std::vector<std::string> keys(args.begin() + 1, args.end());

    struct sigaction sa {};
    sa.sa_handler = on_stop_signal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;  // no SA_RESTART: the signal must cut the poll sleep short
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    signal(SIGPIPE, SIG_DFL);

    Snapshot seen;
    long long version = -1;
    bool loaded = false;
    std::string last_error;
    while (!g_stop) {
        long long now_version = 0;
        bool ok = sysdb_data_version(&now_version) == 0;
        if (ok && (!loaded || now_version != version)) {
            Snapshot current;
            ok = load(db, keys, &current);
            if (ok) {
                if (loaded) {
                    // Both maps are sorted by key: one merge walk finds every change.
                    auto a = seen.begin();
                    auto b = current.begin();
                    while (a != seen.end() || b != current.end()) {
                        if (b == current.end() || (a != seen.end() && a->first < b->first)) {
                            printf("%s (deleted)\n", a->first.c_str());
                            ++a;
                        } else if (a == seen.end() || b->first < a->first) {
                            printf("%s %s\n", b->first.c_str(), b->second.c_str());
                            ++b;
                        } else {
                            if (a->second != b->second)
                                printf("%s %s\n", b->first.c_str(), b->second.c_str());
                            ++a;
                            ++b;
                        }
                        fflush(stdout);
                    }
                }
                seen.swap(current);
                version = now_version;
                loaded = true;
                last_error.clear();
            }
        }
        if (!ok && last_error != sysdb_last_error()) {
            last_error = sysdb_last_error();
            fprintf(stderr, "sysdb: watch: %s\n", last_error.c_str());
        }
        timespec pause{0, 150 * 1000 * 1000};
        nanosleep(&pause, nullptr);
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty()) return usage_error(nullptr);
    const std::string cmd = args[0];
    if (cmd == "--help" || cmd == "-h" || cmd == "help") {
        fputs(kUsage, stdout);
        return 0;
    }
    if (cmd == "--version") {
        printf("sysdb %s\n", NAVMON_VERSION);
        return 0;
    }
    args.erase(args.begin());
    if (!args.empty() && (args[0] == "--help" || args[0] == "-h")) {
        fputs(kUsage, stdout);
        return 0;
    }
    if (cmd == "get") return cmd_get(args);
    if (cmd == "dump") return cmd_dump(args);
    if (cmd == "set") return cmd_set(args);
    if (cmd == "del") return cmd_del(args);
    if (cmd == "watch") return cmd_watch(args);
    return usage_error(("unknown command " + cmd).c_str());
}
