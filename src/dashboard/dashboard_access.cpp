#include "dashboard/dashboard_access.h"

#include <stdio.h>

#include <set>

#include "platform/file.h"

namespace {

bool digitsOnly(const std::string& s) {
    if (s.empty()) return false;
    for (char c : s)
        if (c < '0' || c > '9') return false;
    return true;
}

// a.b.c.d with each part 0..255; *first is a.
bool parseIpv4(const std::string& s, int* first) {
    int parts = 0;
    size_t start = 0;
    while (true) {
        size_t dot = s.find('.', start);
        std::string part =
            s.substr(start, dot == std::string::npos ? std::string::npos : dot - start);
        if (!digitsOnly(part) || part.size() > 3 || std::stoi(part) > 255) return false;
        if (parts == 0) *first = std::stoi(part);
        ++parts;
        if (dot == std::string::npos) break;
        start = dot + 1;
    }
    return parts == 4;
}

// Hex digits and colons with at most one "::", or an IPv4 tail; loose, the server's own
// parser has the last word.
bool looksIpv6(const std::string& s) {
    if (s.size() < 2 || s.find(':') == std::string::npos) return false;
    for (char c : s) {
        bool ok = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F') ||
                  c == ':' || c == '.';
        if (!ok) return false;
    }
    return true;
}

bool isIpv6Loopback(const std::string& s) {
    return s == "::1" || s == "0:0:0:0:0:0:0:1";
}

}  // namespace

std::string ListenAddress::url() const {
    bool v6 = host.find(':') != std::string::npos;
    return "http://" + (v6 ? "[" + host + "]" : host) + ":" + std::to_string(port) + "/";
}

bool dashboard_ParseListen(const std::string& text, ListenAddress* out, std::string* why) {
    std::string host, port;
    if (!text.empty() && text[0] == '[') {
        size_t close = text.find(']');
        if (close == std::string::npos || close + 1 >= text.size() || text[close + 1] != ':') {
            *why = "--listen takes [IPV6]:PORT, for example [::1]:8470";
            return false;
        }
        host = text.substr(1, close - 1);
        port = text.substr(close + 2);
        if (!looksIpv6(host)) {
            *why = "--listen: '" + host + "' is not an IPv6 address";
            return false;
        }
    } else {
        size_t colon = text.rfind(':');
        if (colon == std::string::npos || text.find(':') != colon) {
            *why = "--listen takes ADDRESS:PORT, for example 127.0.0.1:8470 or 0.0.0.0:8470";
            return false;
        }
        host = text.substr(0, colon);
        port = text.substr(colon + 1);
    }
    if (!digitsOnly(port) || port.size() > 5 || std::stoi(port) > 65535) {
        *why = "--listen: the port must be a number from 0 to 65535, not '" + port + "'";
        return false;
    }
    ListenAddress a;
    a.port = std::stoi(port);
    int first = 0;
    if (host == "localhost") {
        a.host = "127.0.0.1";
        a.loopback = true;
    } else if (parseIpv4(host, &first)) {
        a.host = host;
        a.loopback = first == 127;
    } else if (looksIpv6(host)) {
        a.host = host;
        a.loopback = isIpv6Loopback(host);
    } else {
        *why = "--listen: '" + host +
               "' is not a numeric address (give the address to listen on, such as 0.0.0.0 for "
               "every network, or localhost)";
        return false;
    }
    *out = a;
    return true;
}

bool dashboard_ReadToken(const std::string& path, std::string* token, std::string* why) {
    long long size = 0;
    int type = file_Type(path.c_str(), &size);
    if (type != FILE_TYPE_REGULAR) {
        *why = "the token file " + path + " is " +
               (type == FILE_TYPE_MISSING ? std::string("missing or cannot be read")
                                          : std::string(file_TypeName(type)));
        return false;
    }
    if (file_OpenToOthers(path.c_str()) == 1) {
        *why = "the token file " + path +
               " may be read or written by other users; allow only its owner and group "
               "(chmod 600 or 640)";
        return false;
    }
    FILE* f = file_Open(path.c_str(), "rb");
    if (f == nullptr) {
        *why = "the token file " + path + " cannot be read";
        return false;
    }
    char buf[1024];
    size_t n = fread(buf, 1, sizeof buf, f);
    fclose(f);
    std::string text(buf, n);
    text = text.substr(0, text.find_first_of("\r\n"));
    size_t b = text.find_first_not_of(" \t"), e = text.find_last_not_of(" \t");
    text = b == std::string::npos ? std::string() : text.substr(b, e - b + 1);
    std::set<char> kinds;
    for (char c : text) {
        if (c <= ' ' || c > '~') {
            *why =
                "the token in " + path + " holds blanks or characters that are not printable ASCII";
            return false;
        }
        kinds.insert(c);
    }
    if (text.size() < DASHBOARD_TOKEN_MIN || kinds.size() < 10) {
        *why = "the token in " + path + " is too weak: it needs at least " +
               std::to_string(DASHBOARD_TOKEN_MIN) +
               " random characters on its first line (for example: head -c 32 /dev/urandom | "
               "base64 > FILE)";
        return false;
    }
    *token = text;
    return true;
}

bool dashboard_TokenMatches(const std::string& header, const std::string& token) {
    static const char kScheme[] = "Bearer ";
    const size_t schemeLength = sizeof kScheme - 1;
    if (token.empty() || header.size() != schemeLength + token.size()) return false;
    unsigned diff = 0;
    for (size_t i = 0; i < schemeLength; ++i) {
        char c = header[i];
        if (c >= 'A' && c <= 'Z' && i < schemeLength - 1) c = static_cast<char>(c - 'A' + 'a');
        char k = kScheme[i];
        if (k >= 'A' && k <= 'Z') k = static_cast<char>(k - 'A' + 'a');
        diff |= static_cast<unsigned>(c ^ k);
    }
    for (size_t i = 0; i < token.size(); ++i)
        diff |= static_cast<unsigned>(header[schemeLength + i] ^ token[i]);
    return diff == 0;
}

bool dashboard_IsLoopbackHost(const std::string& hostHeader) {
    std::string host = hostHeader;
    if (!host.empty() && host[0] == '[') {
        size_t close = host.find(']');
        if (close == std::string::npos) return false;
        std::string rest = host.substr(close + 1);
        if (!rest.empty() && (rest[0] != ':' || !digitsOnly(rest.substr(1)))) return false;
        return isIpv6Loopback(host.substr(1, close - 1));
    }
    size_t colon = host.find(':');
    if (colon != std::string::npos) {
        if (!digitsOnly(host.substr(colon + 1))) return false;
        host = host.substr(0, colon);
    }
    for (char& c : host)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    int first = 0;
    return host == "localhost" || (parseIpv4(host, &first) && first == 127);
}
