#include "dashboard/dashboard_text.h"

#include <stdint.h>

#include <vector>

#include "platform/text.h"

namespace {

// The length of the UTF-8 sequence at s[i] (1 to 4), or 0 when it is not a valid one
// (overlong forms, surrogates and values beyond U+10FFFF included).
size_t utf8Sequence(const unsigned char* s, size_t n, size_t i) {
    unsigned char c = s[i];
    if (c < 0x80) return 1;
    size_t len;
    uint32_t min, cp;
    if ((c & 0xe0) == 0xc0) {
        len = 2, min = 0x80, cp = c & 0x1f;
    } else if ((c & 0xf0) == 0xe0) {
        len = 3, min = 0x800, cp = c & 0x0f;
    } else if ((c & 0xf8) == 0xf0) {
        len = 4, min = 0x10000, cp = c & 0x07;
    } else {
        return 0;
    }
    if (i + len > n) return 0;
    for (size_t k = 1; k < len; ++k) {
        if ((s[i + k] & 0xc0) != 0x80) return 0;
        cp = (cp << 6) | (s[i + k] & 0x3f);
    }
    if (cp < min || cp > 0x10ffff || (cp >= 0xd800 && cp <= 0xdfff)) return 0;
    return len;
}

bool validUtf8(const char* bytes, size_t length) {
    const unsigned char* s = reinterpret_cast<const unsigned char*>(bytes);
    for (size_t i = 0; i < length;) {
        size_t len = utf8Sequence(s, length, i);
        if (len == 0) return false;
        i += len;
    }
    return true;
}

}  // namespace

std::string dashboard_Utf8(const char* bytes, size_t length) {
    if (validUtf8(bytes, length)) return std::string(bytes, length);
    // Two GBK bytes become at most three UTF-8 bytes, one ASCII byte stays one.
    std::vector<char> gbk(length * 2 + 1);
    long n = text_GbkToUtf8(bytes, length, gbk.data(), gbk.size());
    if (n >= 0) return std::string(gbk.data(), static_cast<size_t>(n));
    std::string out;
    const unsigned char* s = reinterpret_cast<const unsigned char*>(bytes);
    for (size_t i = 0; i < length;) {
        size_t len = utf8Sequence(s, length, i);
        if (len == 0) {
            out += "\xef\xbf\xbd";
            ++i;
        } else {
            out.append(bytes + i, len);
            i += len;
        }
    }
    return out;
}

std::string dashboard_Utf8Lines(const std::string& bytes) {
    std::string out;
    out.reserve(bytes.size());
    for (size_t start = 0; start < bytes.size();) {
        size_t end = bytes.find('\n', start);
        end = end == std::string::npos ? bytes.size() : end + 1;
        out += dashboard_Utf8(bytes.data() + start, end - start);
        start = end;
    }
    return out;
}

std::string dashboard_UrlSegment(const std::string& text) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text) {
        bool plain = (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                     c == '-' || c == '.' || c == '_' || c == '~';
        if (plain) {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 15];
        }
    }
    return out;
}
