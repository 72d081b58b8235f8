#include "util/utf8.h"

namespace {

// The length of the valid character that starts at text[i], or 0 with *used set to the bytes
// that belong to the broken part (at least 1).
size_t characterAt(const unsigned char* text, size_t length, size_t i, size_t* used) {
    unsigned char c = text[i];
    *used = 1;
    if (c < 0x80) return 1;
    size_t need;
    unsigned char low = 0x80, high = 0xBF;  // the range of the second byte
    if (c >= 0xC2 && c <= 0xDF) {
        need = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
        need = 3;
        if (c == 0xE0) low = 0xA0;   // no overlong forms
        if (c == 0xED) high = 0x9F;  // no surrogates
    } else if (c >= 0xF0 && c <= 0xF4) {
        need = 4;
        if (c == 0xF0) low = 0x90;
        if (c == 0xF4) high = 0x8F;  // nothing above U+10FFFF
    } else {
        return 0;  // a continuation byte, an overlong lead, or above F4
    }
    for (size_t k = 1; k < need; ++k) {
        if (i + k >= length) {
            *used = k;
            return 0;
        }
        unsigned char b = text[i + k];
        bool fits = k == 1 ? b >= low && b <= high : b >= 0x80 && b <= 0xBF;
        if (!fits) {
            *used = k;  // the byte that does not fit starts anew
            return 0;
        }
    }
    return need;
}

}  // namespace

bool utf8_Valid(const char* text, size_t length) {
    const unsigned char* t = reinterpret_cast<const unsigned char*>(text);
    size_t used;
    for (size_t i = 0; i < length;) {
        size_t n = characterAt(t, length, i, &used);
        if (n == 0) return false;
        i += n;
    }
    return true;
}

bool utf8_Valid(const std::string& text) {
    return utf8_Valid(text.data(), text.size());
}

std::string utf8_Repaired(const std::string& text) {
    if (utf8_Valid(text)) return text;
    const unsigned char* t = reinterpret_cast<const unsigned char*>(text.data());
    std::string out;
    out.reserve(text.size() + 8);
    size_t used;
    for (size_t i = 0; i < text.size();) {
        size_t n = characterAt(t, text.size(), i, &used);
        if (n > 0) {
            out.append(text, i, n);
            i += n;
        } else {
            out += UTF8_REPLACEMENT;
            i += used;
        }
    }
    return out;
}
