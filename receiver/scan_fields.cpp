// A bounded stand-in for sscanf over the receiver's sentences. It accepts exactly what the C
// library's sscanf accepts for the directives the handlers use (%d %u %x %lf %c %*s and
// literal characters) and returns the same count, but integers that do not fit saturate
// instead of being undefined behaviour.
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "platform/base/base.h"
#include "receiver/receiver.h"

namespace {

bool is_space(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

const char* skip_space(const char* p) {
    while (is_space(*p)) ++p;
    return p;
}

// Sign and digits in `base` (10 or 16, the latter with an optional 0x prefix). The magnitude
// saturates at UINT64_MAX. Returns the end of the number, or nullptr when no digit was read.
const char* scan_integer(const char* p, int base, bool* negative, uint64_t* magnitude) {
    *negative = false;
    if (*p == '+' || *p == '-') {
        *negative = *p == '-';
        ++p;
    }
    bool any = false;
    if (base == 16 && p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) {
        // The library's scanf takes "0x" even when no hex digit follows, as the number 0.
        p += 2;
        any = true;
    }
    uint64_t value = 0;
    for (;; ++p) {
        int digit = base == 16 ? hex_value(*p) : (is_digit(*p) ? *p - '0' : -1);
        if (digit < 0) break;
        any = true;
        if (value > (UINT64_MAX - static_cast<uint64_t>(digit)) / static_cast<uint64_t>(base)) {
            value = UINT64_MAX;
        } else {
            value = value * static_cast<uint64_t>(base) + static_cast<uint64_t>(digit);
        }
    }
    *magnitude = value;
    return any ? p : nullptr;
}

int saturate_int(bool negative, uint64_t magnitude) {
    if (negative) {
        return magnitude >= static_cast<uint64_t>(INT_MAX) + 1 ? INT_MIN
                                                               : -static_cast<int>(magnitude);
    }
    return magnitude > static_cast<uint64_t>(INT_MAX) ? INT_MAX : static_cast<int>(magnitude);
}

// Unsigned conversions negate in unsigned arithmetic, as strtoul does ("-1" reads as the
// largest value); a magnitude beyond the type gives the largest value whatever the sign.
unsigned saturate_unsigned(bool negative, uint64_t magnitude) {
    if (magnitude > UINT_MAX) return UINT_MAX;
    const unsigned value = static_cast<unsigned>(magnitude);
    return negative ? 0u - value : value;
}

bool ieq_prefix(const char* p, const char* word) {
    for (; *word; ++p, ++word) {
        char c = *p;
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != *word) return false;
    }
    return true;
}

// The extent the library's scanf gives a floating-point field: sign, "inf"/"infinity"/"nan"
// (without a parenthesised payload), or decimal or 0x-prefixed hexadecimal digits with a
// point, and an exponent marker with optional sign and digits (taken even without digits).
// Returns the end, or nullptr when the field is not a number.
const char* float_extent(const char* p) {
    const char* s = p;
    if (*s == '+' || *s == '-') ++s;
    if (ieq_prefix(s, "inf")) {
        // An 'i' after "inf" commits the library to "infinity": "infi" to "infinit" fail.
        if (s[3] != 'i' && s[3] != 'I') return s + 3;
        return ieq_prefix(s, "infinity") ? s + 8 : nullptr;
    }
    if (ieq_prefix(s, "nan")) return s + 3;
    bool hex = s[0] == '0' && (s[1] == 'x' || s[1] == 'X');
    if (hex) s += 2;
    auto digit = [hex](char c) { return hex ? hex_value(c) >= 0 : is_digit(c); };
    bool any = false;
    while (digit(*s)) {
        ++s;
        any = true;
    }
    if (*s == '.') {
        ++s;
        while (digit(*s)) {
            ++s;
            any = true;
        }
    }
    if (!any) return nullptr;
    char marker = *s;
    if (hex ? (marker == 'p' || marker == 'P') : (marker == 'e' || marker == 'E')) {
        ++s;
        if (*s == '+' || *s == '-') ++s;
        while (is_digit(*s)) ++s;
    }
    return s;
}

// Converts the field [p, end) as strtod would; the field is copied so that strtod cannot read
// past the extent the scanner chose.
double convert_float(const char* p, const char* end) {
    char small[64];
    size_t n = static_cast<size_t>(end - p);
    char* buf = small;
    char* heap = nullptr;
    if (n >= sizeof small) {
        heap = static_cast<char*>(std::malloc(n + 1));
        if (!heap) return 0.0;
        buf = heap;
    }
    std::memcpy(buf, p, n);
    buf[n] = '\0';
    int saved = errno;
    double value = std::strtod(buf, nullptr);
    errno = saved;
    std::free(heap);
    return value;
}

// True when every directive is one the scanner converts: any other would leave its argument
// unwritten on every line, a handler that never stores.
bool format_supported(const char* f) {
    while ((f = strchr(f, '%')) != nullptr) {
        f += f[1] == '*' ? 2 : 1;
        const bool is_long = *f == 'l';
        if (is_long ? f[1] != 'f' : *f == '\0' || strchr("%cdsux", *f) == nullptr) return false;
        f += is_long ? 2 : 1;
    }
    return true;
}

}  // namespace

int scan_fields(const char* input, const char* format, ...) {
    if (!format_supported(format)) {
        program_error("scan_fields: unsupported directive in format");
        return -1;
    }
    va_list ap;
    va_start(ap, format);
    int converted = 0;
    const char* p = input;
    const char* f = format;
    while (*f) {
        if (*f != '%') {
            if (is_space(*f)) {
                p = skip_space(p);
            } else if (*p != *f) {
                break;
            } else {
                ++p;
            }
            ++f;
            continue;
        }
        ++f;
        bool suppress = false;
        if (*f == '*') {
            suppress = true;
            ++f;
        }
        bool is_long = false;
        if (*f == 'l') {
            is_long = true;
            ++f;
        }
        char conv = *f;
        if (conv == '\0') break;
        ++f;
        if (conv == '%') {
            p = skip_space(p);
            if (*p != '%') break;
            ++p;
            continue;
        }
        if (conv == 'c') {
            if (*p == '\0') break;
            if (!suppress) {
                *va_arg(ap, char*) = *p;
                ++converted;
            }
            ++p;
            continue;
        }
        p = skip_space(p);
        if (*p == '\0') break;
        if (conv == 's') {
            const char* start = p;
            while (*p && !is_space(*p)) ++p;
            if (!suppress) {
                char* out = va_arg(ap, char*);
                std::memcpy(out, start, static_cast<size_t>(p - start));
                out[p - start] = '\0';
                ++converted;
            }
            continue;
        }
        if (conv == 'd' || conv == 'u' || conv == 'x') {
            bool negative = false;
            uint64_t magnitude = 0;
            const char* end = scan_integer(p, conv == 'x' ? 16 : 10, &negative, &magnitude);
            if (!end) break;
            p = end;
            if (suppress) continue;
            if (conv == 'd') {
                *va_arg(ap, int*) = saturate_int(negative, magnitude);
            } else {
                *va_arg(ap, unsigned*) = saturate_unsigned(negative, magnitude);
            }
            ++converted;
            continue;
        }
        if (conv == 'f' && is_long) {
            const char* end = float_extent(p);
            if (!end) break;
            if (!suppress) {
                *va_arg(ap, double*) = convert_float(p, end);
                ++converted;
            }
            p = end;
            continue;
        }
    }
    va_end(ap);
    return converted;
}
