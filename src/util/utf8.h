// UTF-8 text: whether bytes are valid UTF-8, and bytes made valid for a reader.
#ifndef MODEMFLASH_UTIL_UTF8_H
#define MODEMFLASH_UTIL_UTF8_H

#include <stddef.h>

#include <string>

// U+FFFD, the replacement character, as UTF-8: what stands for bytes that are not UTF-8.
#define UTF8_REPLACEMENT "\xEF\xBF\xBD"

// True when the bytes are valid UTF-8 (RFC 3629: no overlong forms, no surrogates, nothing
// above U+10FFFF).
bool utf8_Valid(const char* text, size_t length);
bool utf8_Valid(const std::string& text);

// The bytes with every part that is not valid UTF-8 replaced by U+FFFD, one for each byte
// that cannot start a character and one for each sequence cut short (the byte that cut it
// starts anew), as the JSON writer replaces them (json_line.h). Valid text comes back as it is.
std::string utf8_Repaired(const std::string& text);

#endif
