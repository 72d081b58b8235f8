// Text for the web: everything the dashboard serves is UTF-8.
//
// The engine's texts are bytes: English and Italian ASCII, Chinese in GBK, and whatever a
// modem answered. A text that is valid UTF-8 stays as it is; one that reads as GBK is turned
// into UTF-8; any other byte becomes U+FFFD, so that a reader sees where something was.
#ifndef MODEMFLASH_DASHBOARD_DASHBOARD_TEXT_H
#define MODEMFLASH_DASHBOARD_DASHBOARD_TEXT_H

#include <stddef.h>

#include <string>

std::string dashboard_Utf8(const char* bytes, size_t length);
inline std::string dashboard_Utf8(const std::string& bytes) {
    return dashboard_Utf8(bytes.data(), bytes.size());
}

// The same, line by line (a log mixes lines of every kind).
std::string dashboard_Utf8Lines(const std::string& bytes);

// A path segment with every byte but letters, digits and "-._~" written as %XX.
std::string dashboard_UrlSegment(const std::string& text);

#endif
