// The gpsd client library's NMEA checksum, header-only: the sentence generator and the receiver
// intake use it without linking libgps.
#pragma once

// XOR of the characters after a leading '$' up to '*' or the end of the text (0..255).
inline int calculate_nmea_checksum(const char* sentence) {
    if (!sentence) return 0;
    const char* p = sentence;
    if (*p == '$') ++p;
    unsigned char sum = 0;
    for (; *p && *p != '*'; ++p) sum ^= static_cast<unsigned char>(*p);
    return sum;
}
