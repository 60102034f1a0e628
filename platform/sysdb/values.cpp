// Values as their writers stored them: the typed reads that take what peers store, and the text
// form shared by string reads and the command-line tool.
#include <cctype>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/sysdb/store.h"

namespace {

// The whole number a value holds, whatever type its writer chose: an integer, a double with no
// fraction (peers may store counts as doubles), or text of decimal digits with an optional sign
// (`sysdb set` stores text unless told otherwise). False for anything else or out of range.
bool whole_number(const sysdb_value& v, long long* out) {
    switch (v.type) {
        case SYSDB_INT:
            *out = v.i;
            return true;
        case SYSDB_DBL:
            // 2^63 itself is out of range; every double below it in magnitude converts exactly.
            if (!(std::fabs(v.d) < 9223372036854775808.0) || std::trunc(v.d) != v.d) return false;
            *out = static_cast<long long>(v.d);
            return true;
        case SYSDB_TEXT: {
            const std::string& t = v.text;
            const size_t start = !t.empty() && (t[0] == '+' || t[0] == '-') ? 1 : 0;
            if (t.size() == start || t.find_first_not_of("0123456789", start) != std::string::npos)
                return false;
            errno = 0;
            const long long n = strtoll(t.c_str(), nullptr, 10);
            if (errno == ERANGE) return false;
            *out = n;
            return true;
        }
        default:
            return false;
    }
}

// The number a value holds: an integer, a double, or text that is one number and nothing else
// (as `sysdb set` stores it by default). False for anything else, or a text out of range.
bool number(const sysdb_value& v, double* out) {
    switch (v.type) {
        case SYSDB_DBL:
            *out = v.d;
            return true;
        case SYSDB_INT:
            *out = static_cast<double>(v.i);
            return true;
        case SYSDB_TEXT: {
            const char* t = v.text.c_str();
            if (*t == '\0' || isspace(static_cast<unsigned char>(*t))) return false;
            char* end = nullptr;
            errno = 0;
            const double d = strtod(t, &end);
            if (*end != '\0' || errno == ERANGE || !std::isfinite(d)) return false;
            *out = d;
            return true;
        }
        default:
            return false;
    }
}

}  // namespace

namespace sysdb_store {

int read_int(Conn& c, const char* db, const char* key, int* out) {
    sysdb_value v;
    const int rc = c.get(db, key, &v, "read_int");
    if (rc != 0) return rc;
    long long n = 0;
    if (!whole_number(v, &n) || n < INT_MIN || n > INT_MAX) return -1;
    *out = static_cast<int>(n);
    return 0;
}

int read_dbl(Conn& c, const char* db, const char* key, double* out) {
    sysdb_value v;
    const int rc = c.get(db, key, &v, "read_dbl");
    if (rc != 0) return rc;
    return number(v, out) ? 0 : -1;
}

int read_str(Conn& c, const char* db, const char* key, char* buf, size_t size) {
    sysdb_value v;
    const int rc = c.get(db, key, &v, "read_str");
    if (rc != 0) return rc;
    const std::string text = sysdb_value_text(v);
    const size_t n = text.size() < size - 1 ? text.size() : size - 1;
    memcpy(buf, text.data(), n);
    buf[n] = '\0';
    return 0;
}

}  // namespace sysdb_store

std::string sysdb_value_text(const sysdb_value& v) {
    char buf[40];
    switch (v.type) {
        case SYSDB_INT:
            snprintf(buf, sizeof buf, "%lld", v.i);
            return buf;
        case SYSDB_DBL: {
            // A whole number that a double holds exactly (an IMEI, a count) reads as its digits,
            // as peers expect: 350000000000000, not 3.5e+14.
            if (std::fabs(v.d) < 9007199254740992.0 && std::trunc(v.d) == v.d) {
                snprintf(buf, sizeof buf, "%.0f", v.d);
                return buf;
            }
            // Anything else: the shortest text that reads back as the same double: 48.0913, not
            // 48.091299999999997.
            const std::to_chars_result r = std::to_chars(buf, buf + sizeof buf, v.d);
            if (r.ec != std::errc()) return "nan";  // cannot happen with 40 bytes
            return std::string(buf, r.ptr);
        }
        default:
            return v.text;
    }
}
