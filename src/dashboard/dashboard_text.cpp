#include "dashboard/dashboard_text.h"

#include <vector>

#include "platform/text.h"
#include "util/utf8.h"

std::string dashboard_Utf8(const char* bytes, size_t length) {
    if (utf8_Valid(bytes, length)) return std::string(bytes, length);
    // Two GBK bytes become at most three UTF-8 bytes, one ASCII byte stays one.
    std::vector<char> gbk(length * 2 + 1);
    long n = text_GbkToUtf8(bytes, length, gbk.data(), gbk.size());
    if (n >= 0) return std::string(gbk.data(), static_cast<size_t>(n));
    return utf8_Repaired(std::string(bytes, length));
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
