// Defined numeric conversions for values that come from gpsd, the receiver or FixRecord: a
// double that is NaN, infinite or out of the target's range must not reach a plain cast.
#pragma once

#include <cmath>
#include <limits>
#include <type_traits>

namespace navnum {

// Truncates toward zero into T, saturating at T's limits; NaN gives 0. For values inside T's
// range this is exactly static_cast<T>(v).
template <typename T>
inline T trunc_to(double v) {
    static_assert(std::is_integral<T>::value, "integer target");
    if (std::isnan(v)) return 0;
    constexpr T lo = std::numeric_limits<T>::min();
    constexpr T hi = std::numeric_limits<T>::max();
    if (v <= static_cast<double>(lo)) return lo;
    if (v >= static_cast<double>(hi)) return hi;
    return static_cast<T>(v);
}

// Rounds to single precision; magnitudes beyond float's range saturate at the largest float,
// so no infinity ever reaches a stored JSON document (its text would not parse back).
inline float to_float(double v) {
    constexpr float kMax = std::numeric_limits<float>::max();
    if (v >= static_cast<double>(kMax)) return kMax;
    if (v <= -static_cast<double>(kMax)) return -kMax;
    return static_cast<float>(v);
}

// A JSON number "read as single precision": the float, widened back to double.
inline double single(double v) {
    return static_cast<double>(to_float(v));
}

// Whole part and scaled fraction of a non-negative magnitude, both truncated:
// 328.084 with scale 100 gives 328 and 8. Negative input gives 0 and 0.
inline void split_whole(double magnitude, double scale, unsigned* whole, unsigned* fraction) {
    *whole = trunc_to<unsigned>(magnitude);
    *fraction = trunc_to<unsigned>((magnitude - std::trunc(magnitude)) * scale);
}

}  // namespace navnum
