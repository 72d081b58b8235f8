// The server's connection string as it may be shown, and the limits it sets. Plain text work,
// the same in every build: the parts are found as libpq finds them.
#include <stdlib.h>

#include <algorithm>
#include <vector>

#include "history/history_server.h"

namespace {

const char kUnreadable[] = "(a connection string that cannot be read)";

bool isSecretKey(const std::string& key) {
    return key == "password" || key == "sslpassword";
}

bool isUri(const std::string& s) {
    return s.rfind("postgresql://", 0) == 0 || s.rfind("postgres://", 0) == 0;
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// %XX decoded; a malformed escape stays as written.
std::string percentDecoded(const std::string& s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '%' && i + 2 < s.size() && hexValue(s[i + 1]) >= 0 && hexValue(s[i + 2]) >= 0) {
            out += static_cast<char>(hexValue(s[i + 1]) * 16 + hexValue(s[i + 2]));
            i += 2;
        } else {
            out += s[i];
        }
    }
    return out;
}

// One key=value pair of the words form, as written (begin and end of the whole pair) and as
// meant (key, and value with its quotes and escapes taken off).
struct Pair {
    size_t begin = 0, end = 0;
    std::string key, value;
};

bool isSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}

// The words form read as libpq reads it; false when it cannot be (no '=', an open quote).
bool readWords(const std::string& s, std::vector<Pair>* pairs) {
    size_t i = 0;
    for (;;) {
        while (i < s.size() && isSpace(s[i])) ++i;
        if (i >= s.size()) return true;
        Pair p;
        p.begin = i;
        while (i < s.size() && s[i] != '=' && !isSpace(s[i])) p.key += s[i++];
        while (i < s.size() && isSpace(s[i])) ++i;
        if (i >= s.size() || s[i] != '=' || p.key.empty()) return false;
        ++i;
        while (i < s.size() && isSpace(s[i])) ++i;
        if (i < s.size() && s[i] == '\'') {
            ++i;
            for (;;) {
                if (i >= s.size()) return false;
                if (s[i] == '\\' && i + 1 < s.size()) {
                    p.value += s[i + 1];
                    i += 2;
                } else if (s[i] == '\'') {
                    ++i;
                    break;
                } else {
                    p.value += s[i++];
                }
            }
        } else {
            while (i < s.size() && !isSpace(s[i])) {
                if (s[i] == '\\' && i + 1 < s.size()) ++i;
                p.value += s[i++];
            }
        }
        p.end = i;
        pairs->push_back(p);
    }
}

// The parts of a URI: [scheme://][user[:password]@]hosts[/dbname][?key=value&...].
struct Uri {
    std::string head;      // scheme:// and user (without the password)
    std::string password;  // as written (percent-encoded); "" none
    bool hasPassword = false;
    std::string rest;                 // hosts and database
    std::vector<std::string> params;  // key=value, as written
};

Uri readUri(const std::string& s) {
    Uri u;
    size_t start = s.find("://") + 3;
    size_t query = s.find('?', start);
    std::string body = s.substr(0, query);
    // libpq looks for the user's part up to the first '/': "@" ends it.
    size_t at = std::string::npos;
    for (size_t i = start; i < body.size() && body[i] != '/'; ++i)
        if (body[i] == '@') at = i;
    if (at == std::string::npos) {
        u.head = body.substr(0, start);
        u.rest = body.substr(start);
    } else {
        std::string user = body.substr(start, at - start);
        size_t colon = user.find(':');
        if (colon != std::string::npos) {
            u.hasPassword = true;
            u.password = user.substr(colon + 1);
            user = user.substr(0, colon);
        }
        u.head = body.substr(0, start) + user + "@";
        u.rest = body.substr(at + 1);
    }
    if (query != std::string::npos) {
        std::string q = s.substr(query + 1);
        for (size_t b = 0, e; b <= q.size(); b = e + 1) {
            e = q.find('&', b);
            if (e == std::string::npos) e = q.size();
            if (e > b) u.params.push_back(q.substr(b, e - b));
        }
    }
    return u;
}

std::string keyOf(const std::string& param) {
    return percentDecoded(param.substr(0, param.find('=')));
}

// Every password of the string, in each form it may appear in (as written and as meant).
std::vector<std::string> secretsOf(const std::string& server) {
    std::vector<std::string> out;
    if (isUri(server)) {
        Uri u = readUri(server);
        if (u.hasPassword) out.push_back(u.password);
        for (const std::string& p : u.params) {
            size_t eq = p.find('=');
            if (eq != std::string::npos && isSecretKey(keyOf(p))) out.push_back(p.substr(eq + 1));
        }
        size_t n = out.size();
        for (size_t i = 0; i < n; ++i) out.push_back(percentDecoded(out[i]));
    } else {
        std::vector<Pair> pairs;
        readWords(server, &pairs);  // what could be read, even from a string that ends badly
        for (const Pair& p : pairs)
            if (isSecretKey(p.key)) {
                out.push_back(p.value);
                out.push_back(server.substr(p.begin, p.end - p.begin));
            }
        // An open quote: whatever follows the last password= may be its value.
        size_t last = server.rfind("password");
        if (last != std::string::npos && !readWords(server, &pairs)) {
            size_t eq = server.find('=', last);
            if (eq != std::string::npos) {
                std::string rest = server.substr(eq + 1);
                out.push_back(rest);
                size_t quote = rest.find('\'');
                if (quote != std::string::npos) out.push_back(rest.substr(quote + 1));
            }
        }
    }
    out.erase(std::remove(out.begin(), out.end(), std::string()), out.end());
    // Longest first, so that a password that holds another is cut out whole.
    std::sort(out.begin(), out.end(),
              [](const std::string& a, const std::string& b) { return a.size() > b.size(); });
    return out;
}

// The value of one key of the string ("" when it is not there).
std::string valueOf(const std::string& server, const std::string& key) {
    if (isUri(server)) {
        for (const std::string& p : readUri(server).params)
            if (keyOf(p) == key && p.find('=') != std::string::npos)
                return percentDecoded(p.substr(p.find('=') + 1));
        return "";
    }
    std::vector<Pair> pairs;
    if (!readWords(server, &pairs)) return "";
    std::string value;
    for (const Pair& p : pairs)
        if (p.key == key) value = p.value;  // the last one counts, as in libpq
    return value;
}

}  // namespace

std::string history_ShowServer(const std::string& server) {
    if (isUri(server)) {
        Uri u = readUri(server);
        std::string out = u.head + u.rest;
        std::string sep = "?";
        for (const std::string& p : u.params) {
            if (isSecretKey(keyOf(p))) continue;
            out += sep + p;
            sep = "&";
        }
        return out;
    }
    if (server.find('=') == std::string::npos) return server;  // a database name alone
    std::vector<Pair> pairs;
    if (!readWords(server, &pairs)) return kUnreadable;
    std::string out;
    for (const Pair& p : pairs) {
        if (isSecretKey(p.key)) continue;
        if (!out.empty()) out += ' ';
        out += server.substr(p.begin, p.end - p.begin);
    }
    return out;
}

std::string history_HideSecrets(const std::string& text, const std::string& server) {
    std::string out = text;
    for (const std::string& secret : secretsOf(server)) {
        for (size_t p = 0; (p = out.find(secret, p)) != std::string::npos;) {
            out.replace(p, secret.size(), "***");
            p += 3;
        }
    }
    return out;
}

HistoryServerLimits history_ServerLimits(const std::string& server) {
    HistoryServerLimits limits;
    std::string timeout = valueOf(server, "connect_timeout");
    char* end = nullptr;
    long seconds = timeout.empty() ? 0 : strtol(timeout.c_str(), &end, 10);
    // As libpq: a time-out under 2 s is taken as 2 s; none or 0 is our default.
    if (seconds > 0 && end && *end == '\0') {
        if (seconds < 2) seconds = 2;
        if (seconds > 3600) seconds = 3600;
        limits.connectMs = static_cast<int>(seconds * 1000);
    }
    limits.statementMs = 2 * limits.connectMs;
    return limits;
}
