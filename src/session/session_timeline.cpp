#include "session/session_timeline.h"

#include <ctype.h>
#include <stdarg.h>
#include <stdio.h>

namespace session {

namespace {

const double kPauseSeconds = 1.0;

std::string str(const Json& e, const char* key) {
    auto it = e.find(key);
    return it != e.end() && it->is_string() ? it->get<std::string>() : std::string();
}

long long num(const Json& e, const char* key, long long otherwise = 0) {
    auto it = e.find(key);
    return it != e.end() && it->is_number() ? it->get<long long>() : otherwise;
}

bool flag(const Json& e, const char* key) {
    auto it = e.find(key);
    return it != e.end() && it->is_boolean() && it->get<bool>();
}

// mingw-w64's printf family is the C99 one here (__USE_MINGW_ANSI_STDIO): its format checks too.
#ifdef __MINGW_PRINTF_FORMAT
std::string fmt(const char* format, ...) __attribute__((format(__MINGW_PRINTF_FORMAT, 1, 2)));
#else
std::string fmt(const char* format, ...) __attribute__((format(printf, 1, 2)));
#endif
std::string fmt(const char* format, ...) {
    char b[512];
    va_list a;
    va_start(a, format);
    vsnprintf(b, sizeof b, format, a);
    va_end(a);
    return b;
}

std::string statusWords(const std::string& bytes) {
    if (bytes.size() < 2 || static_cast<unsigned char>(bytes[0]) != 0xAA) return "";
    return static_cast<unsigned char>(bytes[1]) == 0x01 ? " (accepted)" : " (rejected)";
}

std::string frameText(const Json& e) {
    std::string kind = str(e, "frame");
    std::string sum = str(e, "sum");
    std::string bad = e.contains("sum_expected") ? ", should be " + str(e, "sum_expected") : "";
    long long len = num(e, "len");
    if (kind == "header" && e.contains("archive"))
        return fmt(
            "header frame: archive %lld, %lld payload bytes in blocks of %lld (%lld bytes, "
            "sum %s%s)",
            num(e, "archive"), num(e, "payload_size"), num(e, "block_size"), len, sum.c_str(),
            bad.c_str());
    if (kind == "data")
        return fmt("data frame, block %lld: %lld payload bytes (%lld bytes, sum %s%s, sha256 "
                   "%.12s...)",
                   num(e, "block"), num(e, "payload"), len, sum.c_str(), bad.c_str(),
                   str(e, "sha256").c_str()) +
               (e.contains("expected") ? fmt(", %lld expected", num(e, "expected")) : "");
    return fmt("%s frame of %lld bytes (sum %s%s)", kind.c_str(), len, sum.c_str(), bad.c_str());
}

std::string lineText(const Json& e) {
    std::string parity = str(e, "parity");
    std::string text =
        fmt("line %lld %lld%c%lld", num(e, "baud"), num(e, "data"),
            parity.empty() ? 'N' : static_cast<char>(toupper(parity[0])), num(e, "stop"));
    if (num(e, "cts") || num(e, "rts")) text += ", CTS/RTS handshake";
    if (num(e, "xon_xoff")) text += ", XON/XOFF";
    text += num(e, "dtr") ? ", DTR on" : ", DTR off";
    return text;
}

}  // namespace

std::string session_ShowBytes(const std::string& bytes) {
    bool text = true;
    for (unsigned char c : bytes)
        if (!((c >= 0x20 && c < 0x7F) || c == '\r' || c == '\n' || c == '\t')) text = false;
    std::string out;
    if (text) {
        out = "\"";
        for (char c : bytes) {
            if (c == '\r')
                out += "\\r";
            else if (c == '\n')
                out += "\\n";
            else if (c == '\t')
                out += "\\t";
            else if (c == '"' || c == '\\')
                out += std::string("\\") + c;
            else
                out += c;
        }
        return out + "\"";
    }
    for (size_t i = 0; i < bytes.size() && i < 64; ++i)
        out += fmt("%s%02X", i ? " " : "", static_cast<unsigned char>(bytes[i]));
    if (bytes.size() > 64) out += fmt(" ... (%zu bytes)", bytes.size());
    return out;
}

std::string session_Describe(const Session& s) {
    const Json& h = s.header;
    return fmt("session of %s %s, started %s, time scale %g, data-frame payloads %s%s",
               str(h, "program").c_str(), str(h, "command").c_str(), str(h, "started").c_str(),
               s.scale(), s.wholePayload() ? "kept whole" : "as length and SHA-256",
               s.interrupted ? "; the recording was interrupted" : "");
}

std::vector<TimelineEntry> session_Timeline(const Session& s) {
    std::vector<TimelineEntry> out;
    double last = 0;
    for (const Json& e : s.events) {
        TimelineEntry t;
        t.event = e;
        t.seconds = static_cast<double>(num(e, "t")) / 1e6;
        t.kind = str(e, "ev");
        if (t.seconds - last >= kPauseSeconds && !out.empty()) {
            TimelineEntry p;
            p.seconds = last;
            p.dir = "pause";
            p.kind = "pause";
            p.text = fmt("%.1f s without traffic", t.seconds - last);
            out.push_back(p);
        }
        last = t.seconds;
        const std::string& k = t.kind;
        std::string bytes;
        if (k == "write") {
            t.dir = "host";
            if (flag(e, "frames") && !e.contains("hex")) continue;  // its frames follow
            if (num(e, "sent") < 0) {
                t.text = fmt("write of %lld bytes failed (error %lld%s)", num(e, "count"),
                             num(e, "error"), flag(e, "absent") ? ", the port has gone" : "");
            } else {
                getBytes(e, &bytes);
                t.text = session_ShowBytes(bytes);
                if (num(e, "sent") != num(e, "count"))
                    t.text += fmt(" (%lld of %lld bytes sent)", num(e, "sent"), num(e, "count"));
            }
        } else if (k == "frame") {
            t.dir = "host";
            t.text = frameText(e);
        } else if (k == "read") {
            t.dir = "modem";
            if (num(e, "got") < 0) {
                t.text = fmt("read failed (error %lld%s)", num(e, "error"),
                             flag(e, "absent") ? ", the port has gone" : "");
            } else {
                getBytes(e, &bytes);
                t.text = session_ShowBytes(bytes) + statusWords(bytes);
            }
        } else if (k == "open") {
            t.dir = "port";
            t.text = "open " + str(e, "port") + (flag(e, "probe") ? " (probe)" : "");
            if (flag(e, "ok")) {
                if (!str(e, "location").empty())
                    t.text += " at " + str(e, "location") + ", serial " + str(e, "serial");
            } else {
                t.text += fmt(" failed (error %lld%s)", num(e, "error"),
                              flag(e, "absent") ? ": no such port" : "");
            }
        } else if (k == "close") {
            t.dir = "port";
            t.text = "close " + str(e, "port");
        } else if (k == "vanished") {
            t.dir = "port";
            t.text = "port " + str(e, "port") + " vanished (seen by " + str(e, "how") + ")";
        } else if (k == "back") {
            t.dir = "port";
            t.text = "port back as " + str(e, "port");
        } else if (k == "line") {
            t.dir = "port";
            t.text = lineText(e);
        } else if (k == "timeouts") {
            t.dir = "port";
            t.text =
                fmt("time-outs: read %lld/%lld/%lld ms, write %lld/%lld ms (4294967295: none)",
                    num(e, "read_interval"), num(e, "read_multiplier"), num(e, "read_constant"),
                    num(e, "write_multiplier"), num(e, "write_constant"));
        } else if (k == "queues") {
            t.dir = "port";
            t.text = fmt("queues %lld in, %lld out", num(e, "in"), num(e, "out"));
        } else if (k == "events") {
            t.dir = "port";
            t.text = fmt("line events 0x%llX", num(e, "mask"));
        } else if (k == "purge") {
            t.dir = "port";
            t.text = std::string("purge") + (flag(e, "rx") ? " input" : "") +
                     (flag(e, "tx") ? " output" : "");
        } else if (k == "modem") {
            t.dir = "info";
            t.text = "modem at " + str(e, "location") + ", serial " + str(e, "serial") +
                     (str(e, "port").empty() ? "" : ", port " + str(e, "port"));
        } else if (k == "firmware") {
            t.dir = "info";
            t.text = "firmware from " + str(e, "folder") + ":";
            for (const Json& f : e["files"])
                t.text += fmt("\n    %s, %lld bytes, sha256 %s", str(f, "name").c_str(),
                              num(f, "size"), str(f, "sha256").c_str());
        } else if (k == "ident") {
            t.dir = "info";
            t.text = fmt("%s in mode %lld answered: ", str(e, "command").c_str(), num(e, "mode")) +
                     str(e, "answer");
        } else if (k == "result") {
            t.dir = "info";
            t.text = fmt("result %lld: ", num(e, "code")) + str(e, "words");
        } else if (k == "end") {
            t.dir = "info";
            t.text = flag(e, "interrupted") ? "end of the session (the update was interrupted)"
                                            : "end of the session";
        } else {
            t.dir = "info";
            t.text = str(e, "text");
        }
        out.push_back(t);
    }
    return out;
}

}  // namespace session
