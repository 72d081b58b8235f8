#include "replay_script.h"

#include <ctype.h>
#include <stdlib.h>
#include <string.h>

namespace modemsim {

namespace {

using session::Json;

std::string str(const Json& e, const char* key) {
    auto it = e.find(key);
    return it != e.end() && it->is_string() ? it->get<std::string>() : std::string();
}

int64_t num(const Json& e, const char* key) {
    auto it = e.find(key);
    return it != e.end() && it->is_number_integer() ? it->get<int64_t>() : 0;
}

bool flag(const Json& e, const char* key) {
    auto it = e.find(key);
    return it != e.end() && it->is_boolean() && it->get<bool>();
}

std::string upper(std::string s) {
    for (char& c : s) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    return s;
}

// The number after "<tag>: " in an answer, or -1.
int valueAfter(const std::string& answer, const char* tag) {
    size_t at = answer.find(tag);
    if (at == std::string::npos) return -1;
    at += strlen(tag);
    if (at >= answer.size() || !isdigit(static_cast<unsigned char>(answer[at]))) return -1;
    return atoi(answer.c_str() + at);
}

std::string joined(const ReplayAction& a) {
    std::string s;
    for (const ReplayPiece& p : a.answer) s += p.bytes;
    return s;
}

bool answeredAsExpected(const ReplayAction& a) {
    std::string s = joined(a);
    if (a.kind == ReplayAction::FRAME) return s.size() >= 2;
    if (a.text == "AT" || a.text == "ATI") return s.find("OK") != std::string::npos;
    return s.find("\r\nOK\r\n") != std::string::npos ||
           s.find("\r\nERROR\r\n") != std::string::npos;
}

// Collects the command lines of the host's text writes.
struct Lines : session::WireDecoder::Listener {
    std::vector<std::string> got;
    void onLine(const std::string& text) override { got.push_back(text); }
    void onFrame(const session::FrameInfo&, const std::string&) override {}
};

}  // namespace

std::string replay_TtyOf(const std::string& port) {
    std::string u = upper(port);
    if (u.compare(0, 3, "COM") == 0 && u.size() > 3) {
        int n = atoi(u.c_str() + 3);
        if (n >= 65) return "ttyACM" + std::to_string(n - 65);
        if (n >= 33) return "ttyUSB" + std::to_string(n - 33);
        if (n >= 1) return "ttyS" + std::to_string(n - 1);
    }
    size_t slash = port.rfind('/');
    return slash == std::string::npos ? port : port.substr(slash + 1);
}

bool replay_BuildScript(const session::Session& s, ReplayScript* out, std::string* error) {
    *out = ReplayScript();
    Lines lines;
    session::WireDecoder decoder(&lines);
    uint64_t offset = 0;
    bool modeKnown = false, autorunKnown = false, firstOpen = true;
    // The port's story since the last action: where it went and when.
    enum Away { NONE, CLOSED, VANISHED } away = NONE;
    int64_t awayT = 0, lastAbsentT = -1;
    std::string lastPort;
    int awayAction = -1;
    int64_t prevReadUs = -1;  // when the host read the current action's last piece

    auto current = [&]() -> ReplayAction* {
        return out->actions.empty() ? nullptr : &out->actions.back();
    };
    auto addAction = [&](ReplayAction a) {
        a.publication = out->publications - 1;
        out->actions.push_back(std::move(a));
        away = NONE;  // a host action means the port was there
        prevReadUs = -1;
    };

    for (const Json& e : s.events) {
        const std::string ev = str(e, "ev");
        const int64_t t = num(e, "t");
        if (ev == "modem") {
            out->location = str(e, "location");
            out->serial = str(e, "serial");
        } else if (ev == "result") {
            out->result = static_cast<int>(num(e, "code"));
        } else if (ev == "open" && flag(e, "ok")) {
            const std::string port = str(e, "port");
            if (firstOpen) {
                out->ttyName = replay_TtyOf(port);
                if (out->location.empty()) {
                    out->location = str(e, "location");
                    out->serial = str(e, "serial");
                }
                firstOpen = false;
            } else if (away != NONE && awayAction >= 0) {
                ReplayAction& a = out->actions[static_cast<size_t>(awayAction)];
                // Away for certain when it vanished, when an open found no port, under another
                // name, or after the modem took a mode command.
                bool modeSwitch = a.kind == ReplayAction::LINE &&
                                  upper(a.text).compare(0, 8, "AT%MODE=") == 0 &&
                                  joined(a).find("\r\nOK\r\n") != std::string::npos;
                if (away == VANISHED || lastAbsentT >= 0 || port != lastPort || modeSwitch) {
                    if (away == CLOSED) a.dropAfterClose = true;
                    a.comesBack = true;
                    // Back soon after the last moment the host found it away, well before
                    // the moment it found it again: a slow machine must not make the host
                    // miss it where the recorded host did not.
                    int64_t from = lastAbsentT >= 0 ? lastAbsentT : awayT;
                    int64_t soon = (t - from) / 4;
                    if (soon > 1000000) soon = 1000000;  // a second of the scaled clock
                    a.backAfterUs = from + soon - awayT;
                    a.backAs = replay_TtyOf(port);
                    ++out->publications;
                }
            }
            away = NONE;
            lastAbsentT = -1;
            lastPort = port;
            decoder.reset();
        } else if (ev == "open") {
            if (flag(e, "absent") && away != NONE) lastAbsentT = t;
        } else if (ev == "close") {
            decoder.reset();
            if (away == NONE && !out->actions.empty()) {
                away = CLOSED;
                awayT = t;
                awayAction = static_cast<int>(out->actions.size()) - 1;
            }
        } else if (ev == "vanished") {
            if (str(e, "how") != "open" && !out->actions.empty()) {
                ReplayAction& a = out->actions.back();
                if (!a.vanish && away != VANISHED) {
                    a.vanish = true;
                    a.dropAfterClose = false;
                    a.vanishAfterUs = t - a.t;
                    away = VANISHED;
                    awayT = t;
                    awayAction = static_cast<int>(out->actions.size()) - 1;
                }
            } else if (away == CLOSED) {
                lastAbsentT = t;
            }
        } else if (ev == "write") {
            const int64_t sent = num(e, "sent");
            std::string bytes;
            if (sent > 0 && !flag(e, "frames") && session::getBytes(e, &bytes)) {
                lines.got.clear();
                decoder.host(reinterpret_cast<const uint8_t*>(bytes.data()),
                             static_cast<size_t>(sent) < bytes.size() ? static_cast<size_t>(sent)
                                                                      : bytes.size());
                for (const std::string& text : lines.got) {
                    ReplayAction a;
                    a.kind = ReplayAction::LINE;
                    a.text = text;
                    a.t = t;
                    a.line = num(e, "n");
                    a.offset = offset;
                    out->commands.push_back(text);
                    addAction(std::move(a));
                }
            }
            if (sent > 0) offset += static_cast<uint64_t>(sent);
        } else if (ev == "frame") {
            ReplayAction a;
            a.kind = ReplayAction::FRAME;
            std::string kind = str(e, "frame");
            a.frame.kind = kind == "header" ? session::FRAME_HEADER
                           : kind == "data" ? session::FRAME_DATA
                                            : session::FRAME_OTHER;
            a.frame.length = static_cast<size_t>(num(e, "len"));
            a.frame.sum = static_cast<uint16_t>(strtoul(str(e, "sum").c_str(), nullptr, 16));
            a.frame.sha256 = str(e, "sha256");
            a.frame.block = static_cast<int>(num(e, "block"));
            a.frame.payload = static_cast<size_t>(num(e, "payload"));
            a.frame.archiveId = static_cast<uint32_t>(num(e, "archive"));
            a.t = t;
            a.line = num(e, "n");
            a.offset = offset >= a.frame.length ? offset - a.frame.length : 0;
            addAction(std::move(a));
        } else if (ev == "read" && num(e, "got") > 0) {
            ReplayAction* a = current();
            std::string bytes;
            if (a == nullptr || away != NONE || !session::getBytes(e, &bytes)) continue;
            ReplayPiece p;
            // Sent once the host had read the piece before (the first at once).
            p.afterUs = prevReadUs < 0 ? 0 : prevReadUs + 1;
            prevReadUs = t - a->t;
            p.bytes = bytes;
            a->answer.push_back(p);
            if (a->kind == ReplayAction::LINE) {
                const std::string u = upper(a->text);
                const std::string all = joined(*a);
                if (!modeKnown && u == "AT%MODE?" && valueAfter(all, "%MODE: ") >= 0) {
                    out->initialMode = valueAfter(all, "%MODE: ");
                    modeKnown = true;
                }
                if (u.compare(0, 8, "AT%MODE=") == 0) modeKnown = true;
                if (!autorunKnown && u == "AT%USBMODEM?" && valueAfter(all, "%USBMODEM: ") >= 0) {
                    out->initialAutorun = valueAfter(all, "%USBMODEM: ");
                    autorunKnown = true;
                }
                if (u.compare(0, 12, "AT%USBMODEM=") == 0) autorunKnown = true;
            }
        }
    }
    for (ReplayAction& a : out->actions) a.answered = answeredAsExpected(a);
    if (out->actions.empty()) {
        *error = "the session holds no command of the host's: there is nothing to play";
        return false;
    }
    return true;
}

}  // namespace modemsim
