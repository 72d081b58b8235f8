// Who may reach the dashboard: the address it listens on, and the token every request then
// needs.
//
// The dashboard listens on loopback unless told otherwise; another address is accepted only
// together with a token file, which must hold at least 32 characters of a random secret and
// must not be open to other users of the machine.
#ifndef MODEMFLASH_DASHBOARD_DASHBOARD_ACCESS_H
#define MODEMFLASH_DASHBOARD_DASHBOARD_ACCESS_H

#include <string>

#define DASHBOARD_DEFAULT_PORT 8470
#define DASHBOARD_TOKEN_MIN 32

struct ListenAddress {
    std::string host;                   // a numeric IPv4 or IPv6 address, as the server binds it
    int port = DASHBOARD_DEFAULT_PORT;  // 0: any free port
    bool loopback = true;               // reachable from this machine only
    std::string url() const;            // "http://127.0.0.1:8470/", "http://[::1]:8470/"
};

// Reads "ADDR:PORT", "[IPV6]:PORT" or "localhost:PORT" (port 0 to 65535). False with the
// reason in *why.
bool dashboard_ParseListen(const std::string& text, ListenAddress* out, std::string* why);

// Reads the token from path: the first line, without surrounding blanks; at least
// DASHBOARD_TOKEN_MIN characters, printable and without blanks, of at least 10 different
// kinds; the file not readable or writable by other users. False with the reason in *why.
bool dashboard_ReadToken(const std::string& path, std::string* token, std::string* why);

// Whether an Authorization header value is "Bearer <token>", compared in a time that does
// not depend on where they differ.
bool dashboard_TokenMatches(const std::string& header, const std::string& token);

// Whether a Host header names this machine's loopback ("localhost", 127.x.x.x or [::1],
// with or without a port). A page elsewhere that has its name resolve to 127.0.0.1 sends
// its own name, and is refused.
bool dashboard_IsLoopbackHost(const std::string& hostHeader);

#endif
