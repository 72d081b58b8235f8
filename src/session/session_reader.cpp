#include "session/session_reader.h"

namespace session {

std::string SessionProblem::text() const {
    return line > 0 ? "line " + std::to_string(line) + ": " + what : what;
}

bool Session::wholePayload() const {
    auto p = header.find("payload");
    return p != header.end() && p->is_string() && p->get<std::string>() == PAYLOAD_WHOLE;
}

double Session::scale() const {
    auto s = header.find("scale");
    return s != header.end() && s->is_number() ? s->get<double>() : 1.0;
}

namespace {

bool fail(SessionProblem* p, int64_t line, const std::string& what) {
    p->line = line;
    p->what = what;
    return false;
}

bool isHex8(const std::string& s, size_t at) {
    if (s.size() < at + 8) return false;
    for (size_t i = at; i < at + 8; ++i) {
        char c = s[i];
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    }
    return true;
}

bool hasString(const Json& e, const char* key) {
    auto it = e.find(key);
    return it != e.end() && it->is_string();
}

bool hasInteger(const Json& e, const char* key) {
    auto it = e.find(key);
    return it != e.end() && it->is_number_integer();
}

bool hasBool(const Json& e, const char* key) {
    auto it = e.find(key);
    return it != e.end() && it->is_boolean();
}

// The fields each kind must have, with their types; what is wrong, or "".
std::string shapeProblem(const std::string& ev, const Json& e) {
    std::string bytes;
    if (ev == "open") {
        if (!hasString(e, "port") || !hasBool(e, "ok") || !hasBool(e, "probe"))
            return "an open without its port, ok or probe";
    } else if (ev == "close" || ev == "vanished" || ev == "back") {
        if (!hasString(e, "port")) return "a " + ev + " without its port";
    } else if (ev == "write") {
        if (!hasInteger(e, "count") || !hasInteger(e, "sent"))
            return "a write without count or sent";
        if ((e.contains("text") || e.contains("hex")) && !getBytes(e, &bytes))
            return "a write whose bytes are not valid text or hex";
        if (!e.contains("text") && !e.contains("hex") && !hasBool(e, "frames"))
            return "a write without its bytes";
    } else if (ev == "read") {
        if (!hasInteger(e, "got")) return "a read without got";
        if (e["got"].get<int64_t>() > 0 && !getBytes(e, &bytes))
            return "a read whose bytes are not valid text or hex";
        if (e["got"].get<int64_t>() > 0 && static_cast<int64_t>(bytes.size()) != e["got"])
            return "a read whose bytes are not as many as it got";
    } else if (ev == "frame") {
        if (!hasString(e, "frame") || !hasInteger(e, "len") || !hasString(e, "sum") ||
            !hasString(e, "sha256"))
            return "a frame without its kind, len, sum or sha256";
        if ((e.contains("text") || e.contains("hex")) &&
            (!getBytes(e, &bytes) || static_cast<int64_t>(bytes.size()) != e["len"]))
            return "a frame whose bytes are not valid hex of its length";
    } else if (ev == "purge" || ev == "queues" || ev == "events" || ev == "line" ||
               ev == "timeouts") {
        if (!hasBool(e, "ok")) return "a " + ev + " without ok";
    } else if (ev == "result") {
        if (!hasInteger(e, "code")) return "a result without its code";
    } else if (ev == "ident") {
        if (!hasString(e, "command") || !hasString(e, "answer"))
            return "an ident without its command or answer";
    } else if (ev == "firmware") {
        auto f = e.find("files");
        if (f == e.end() || !f->is_array()) return "a firmware event without files";
        for (const Json& file : *f)
            if (!file.is_object() || !hasString(file, "name") || !hasInteger(file, "size") ||
                !hasString(file, "sha256"))
                return "a firmware file without name, size or sha256";
    }
    return "";
}

}  // namespace

bool parseSession(const SessionText& text, const ReadOptions& options, Session* out,
                  SessionProblem* problem) {
    *out = Session();
    out->compression = text.compression;
    const std::vector<std::string>& lines = text.lines;
    if (lines.empty()) return fail(problem, 1, "the file is empty: not a session");
    {
        // What the file is, before whether it is whole.
        Json first = Json::parse(lines[0], nullptr, false);
        if (first.is_discarded() || !first.is_object() || !first.contains("format") ||
            !first["format"].is_string() || first["format"].get<std::string>() != FORMAT_NAME)
            return fail(problem, 1, "not a modemflash session (line 1 does not say so)");
    }
    size_t whole = lines.size();
    if (text.lastLineCut || text.streamCut) {
        // The last line is not known to be whole.
        if (!options.allowPartial)
            return fail(problem, static_cast<int64_t>(lines.size()),
                        text.streamCut ? "the compressed stream ends early, inside this line or "
                                         "after it (the file was cut short)"
                                       : "the line is cut short (no line end): the file was cut "
                                         "short");
        if (text.lastLineCut || text.streamCut) --whole;
        out->note = "the last line was cut short and is left out";
    }
    std::string crc;
    int64_t lastT = 0;
    bool ended = false;
    for (size_t i = 0; i < whole; ++i) {
        const int64_t n = static_cast<int64_t>(i) + 1;
        const std::string& line = lines[i];
        if (ended) return fail(problem, n, "a line after the session's end line");
        Json e = Json::parse(line, nullptr, false);
        if (e.is_discarded() || !e.is_object()) {
            if (n == 1) return fail(problem, 1, "not a modemflash session (not a JSON object)");
            return fail(problem, n, "not a JSON object");
        }
        size_t at = line.rfind(",\"crc\":\"");
        if (at == std::string::npos || !isHex8(line, at + 8) || line.size() != at + 18 ||
            line.compare(at + 16, 2, "\"}") != 0) {
            if (n == 1) return fail(problem, 1, "not a modemflash session (no seal)");
            return fail(problem, n, "the line has no seal (\"crc\") at its end");
        }
        if (!hasInteger(e, "n") || e["n"].get<int64_t>() != n)
            return fail(problem, n,
                        "numbered " + (e.contains("n") ? e["n"].dump() : std::string("nothing")) +
                            ", expected " + std::to_string(n) +
                            " (lines missing, repeated or out of order)");
        std::string seal = sealOf(crc, line.substr(0, at));
        if (line.compare(at + 8, 8, seal) != 0)
            return fail(problem, n, "the line does not match its seal: it was edited");
        crc = seal;
        if (!hasString(e, "ev")) return fail(problem, n, "an event without its kind (ev)");
        const std::string ev = e["ev"].get<std::string>();
        if (n == 1) {
            if (ev != "session" || !hasString(e, "format") ||
                e["format"].get<std::string>() != FORMAT_NAME)
                return fail(problem, 1, "not a modemflash session (line 1 does not say so)");
            if (!hasInteger(e, "version") || e["version"].get<int64_t>() < 1)
                return fail(problem, 1, "the session's version is missing or not a number");
            if (e["version"].get<int64_t>() > FORMAT_VERSION)
                return fail(problem, 1,
                            "the session is of version " + e["version"].dump() +
                                ", newer than this program reads (" +
                                std::to_string(FORMAT_VERSION) + ")");
            out->header = e;
            continue;
        }
        if (!knownEventKind(ev) || ev == "session")
            return fail(problem, n, "an event of unknown kind \"" + ev + "\"");
        if (!hasInteger(e, "t") || e["t"].get<int64_t>() < 0)
            return fail(problem, n, "an event without its time (t)");
        int64_t t = e["t"].get<int64_t>();
        if (t < lastT)
            return fail(problem, n,
                        "its time " + std::to_string(t) + " us is before the previous line's (" +
                            std::to_string(lastT) + " us): lines out of order");
        lastT = t;
        std::string shape = shapeProblem(ev, e);
        if (!shape.empty()) return fail(problem, n, shape);
        if (ev == "end") {
            ended = true;
            if (hasBool(e, "interrupted") && e["interrupted"].get<bool>()) out->interrupted = true;
        }
        out->events.push_back(std::move(e));
    }
    if (out->header.is_null()) return fail(problem, 1, "not a modemflash session");
    if (!ended) {
        if (!options.allowPartial)
            return fail(problem, static_cast<int64_t>(whole),
                        "the session ends here without its end line (the recording was "
                        "interrupted or the file cut short; --partial reads it up to here)");
        out->interrupted = true;
        if (out->note.empty()) out->note = "the session has no end line";
    }
    return true;
}

bool readSession(const std::string& path, const ReadOptions& options, Session* out,
                 SessionProblem* problem) {
    SessionText text;
    std::string error;
    if (!readSessionText(path, &text, &error, options.maxBytes)) {
        problem->line = 0;
        problem->what = error;
        return false;
    }
    return parseSession(text, options, out, problem);
}

}  // namespace session
