// What the files of the simulated modem's core share: the wire's constants, little-endian
// words, and the texts the records and the report are written in. Only sim_*.cpp include it.
#ifndef MODEMFLASH_SIM_SIM_CORE_DETAIL_H
#define MODEMFLASH_SIM_SIM_CORE_DETAIL_H

#include <ctype.h>
#include <stdio.h>
#include <stdlib.h>

#include <string>

#include "sim_core.h"

namespace modemsim {
namespace detail {

const uint32_t WRAPPED_MAGIC = 0x1CE8040A;
const uint32_t HEADER_MAX = 160;
const uint32_t EXTENDED_MAX = 152;  // the extended form must still fit HEADER_MAX
const uint8_t FRAME_LEAD = 0xAA;
const uint8_t FRAME_TYPE_HEADER = 0x73;
const uint8_t FRAME_TYPE_DATA = 0x00;
const size_t FRAME_MAX = 65534 + 5;

inline uint16_t le16(const uint8_t* p) {
    return (uint16_t)(p[0] | p[1] << 8);
}
inline uint32_t le32(const uint8_t* p) {
    return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}

// A header field at offset off of a header of length len; zero where the header is shorter.
inline uint32_t headerWord(const uint8_t* header, uint32_t len, uint32_t off) {
    uint8_t w[4] = {0, 0, 0, 0};
    for (uint32_t i = 0; i < 4; ++i) {
        if (off + i < len) w[i] = header[off + i];
    }
    return le32(w);
}

inline std::string hex8(unsigned v) {
    char b[8];
    snprintf(b, sizeof b, "0x%02X", v & 0xFF);
    return b;
}

inline std::string hex16(unsigned v) {
    char b[16];
    snprintf(b, sizeof b, "0x%04X", v & 0xFFFF);
    return b;
}

inline std::string upper(const std::string& s) {
    std::string u(s);
    for (char& c : u) c = (char)toupper((unsigned char)c);
    return u;
}

// A command's text as it goes into the record: printable, with other bytes as \xHH.
inline std::string printable(const char* p, size_t n) {
    std::string s;
    for (size_t i = 0; i < n; ++i) {
        unsigned char c = (unsigned char)p[i];
        if (c >= 0x20 && c < 0x7F && c != '\\') {
            s += (char)c;
        } else {
            char b[8];
            snprintf(b, sizeof b, "\\x%02X", c);
            s += b;
        }
    }
    return s;
}

// A decimal number of at most 9 digits, the whole text.
inline bool parseNumber(const std::string& s, int* out) {
    if (s.empty() || s.size() > 9) return false;
    for (char c : s) {
        if (!isdigit((unsigned char)c)) return false;
    }
    *out = atoi(s.c_str());
    return true;
}

inline std::string jsonString(const std::string& s) {
    std::string o = "\"";
    for (unsigned char c : s) {
        if (c == '"' || c == '\\') {
            o += '\\';
            o += (char)c;
        } else if (c < 0x20 || c >= 0x7F) {
            char b[8];
            snprintf(b, sizeof b, "\\u%04x", c);
            o += b;
        } else {
            o += (char)c;
        }
    }
    return o + "\"";
}

const char* const OK = "\r\nOK\r\n";
const char* const ERROR_TEXT = "\r\nERROR\r\n";

}  // namespace detail
}  // namespace modemsim

#endif
