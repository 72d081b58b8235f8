// Reading scenario text into faults.
#include "scenario.h"

#include <ctype.h>
#include <stdlib.h>

#include <sstream>

namespace modemsim {
namespace {

std::string upper(std::string s) {
    for (char& c : s) c = (char)toupper((unsigned char)c);
    return s;
}

bool parseUnsigned(const std::string& text, long long maxValue, long long* out) {
    if (text.empty() || text.size() > 12) return false;
    for (char c : text) {
        if (!isdigit((unsigned char)c)) return false;
    }
    long long v = atoll(text.c_str());
    if (v > maxValue) return false;
    *out = v;
    return true;
}

bool parseHex(const std::string& text, size_t maxBytes, std::vector<uint8_t>* out) {
    if (text.size() % 2 != 0 || text.size() / 2 > maxBytes) return false;
    out->clear();
    for (size_t i = 0; i < text.size(); i += 2) {
        if (!isxdigit((unsigned char)text[i]) || !isxdigit((unsigned char)text[i + 1])) {
            return false;
        }
        out->push_back((uint8_t)strtoul(text.substr(i, 2).c_str(), nullptr, 16));
    }
    return true;
}

struct KindName {
    const char* name;
    FaultKind kind;
    bool takesCommand;  // the first word after the name is a command
};

const KindName kKinds[] = {
    {"refuse", FAULT_REFUSE, true},
    {"ignore", FAULT_IGNORE, true},
    {"late", FAULT_LATE, true},
    {"pieces", FAULT_PIECES, true},
    {"reject-header", FAULT_REJECT_HEADER, false},
    {"reject-block", FAULT_REJECT_BLOCK, false},
    {"silent", FAULT_SILENT, true},
    {"vanish", FAULT_VANISH, true},
    {"return-late", FAULT_RETURN_LATE, false},
    {"never-return", FAULT_NEVER_RETURN, false},
    {"renumber", FAULT_RENUMBER, false},
    {"wrong-mode", FAULT_WRONG_MODE, false},
    {"autorun-stuck", FAULT_AUTORUN_STUCK, false},
    {"prog-time", FAULT_PROG_TIME, false},
};

// Reads one non-empty line; false with a reason on error.
bool parseLine(const std::string& line, Fault* f, std::string* why) {
    std::istringstream in(line);
    std::vector<std::string> words;
    std::string w;
    while (in >> w) words.push_back(w);
    const KindName* kind = nullptr;
    for (const KindName& k : kKinds) {
        if (words[0] == k.name) kind = &k;
    }
    if (kind == nullptr) {
        *why = "unknown fault '" + words[0] + "'";
        return false;
    }
    f->kind = kind->kind;
    f->text = line;
    if (f->kind == FAULT_WRONG_MODE) f->times = FAULT_ALWAYS;
    size_t i = 1;
    // silent, vanish, ignore, late and pieces take either a command or archive=/block=
    // options (then they strike a frame's status).
    bool optionalCommand = f->kind == FAULT_SILENT || f->kind == FAULT_VANISH ||
                           f->kind == FAULT_IGNORE || f->kind == FAULT_LATE ||
                           f->kind == FAULT_PIECES;
    if (kind->takesCommand && i < words.size() &&
        (!optionalCommand || words[i].find("archive=") != 0)) {
        f->command = upper(words[i]);
        ++i;
    }
    bool gotMs = false;
    for (; i < words.size(); ++i) {
        const std::string& opt = words[i];
        size_t eq = opt.find('=');
        if (eq == std::string::npos || eq == 0) {
            *why = "expected key=value, got '" + opt + "'";
            return false;
        }
        std::string key = opt.substr(0, eq), val = opt.substr(eq + 1);
        long long n = 0;
        bool ok = true;
        if (key == "times") {
            if (val == "all") {
                f->times = FAULT_ALWAYS;
            } else {
                ok = parseUnsigned(val, 1000000, &n) && n > 0;
                f->times = (int)n;
            }
        } else if (key == "ms" || key == "return") {
            ok = parseUnsigned(val, 86400000, &n);
            f->ms = (uint32_t)n;
            gotMs = true;
            if (key == "return") f->hasReturn = true;
        } else if (key == "size") {
            ok = parseUnsigned(val, 4096, &n) && n > 0;
            f->size = (int)n;
        } else if (key == "gap") {
            ok = parseUnsigned(val, 600000, &n);
            f->gapMs = (uint32_t)n;
        } else if (key == "archive") {
            ok = parseUnsigned(val, 1000000, &n) && n > 0;
            f->archive = (int)n;
        } else if (key == "block") {
            ok = parseUnsigned(val, 100000000, &n);
            f->block = (int)n;
        } else if (key == "switch") {
            ok = parseUnsigned(val, 1000000, &n) && n > 0;
            f->switchNo = (int)n;
        } else if (key == "value") {
            ok = parseUnsigned(val, 1000000, &n);
            f->value = (int)n;
        } else if (key == "status") {
            std::vector<uint8_t> bytes;
            ok = parseHex(val, 2, &bytes) && bytes.size() == 2;
            if (ok) {
                f->status[0] = bytes[0];
                f->status[1] = bytes[1];
            }
        } else if (key == "then") {
            ok = parseHex(val, 260, &f->after);
        } else {
            *why = "unknown option '" + key + "'";
            return false;
        }
        if (!ok) {
            *why = "bad value in '" + opt + "'";
            return false;
        }
    }
    switch (f->kind) {
        case FAULT_REFUSE:
        case FAULT_IGNORE:
        case FAULT_LATE:
        case FAULT_PIECES:
            if (f->command.empty() && (f->archive == 0 || f->block < 0)) {
                *why = "needs a command, or archive=J and block=K";
                return false;
            }
            if (f->kind == FAULT_LATE && !gotMs) {
                *why = "late needs ms=N";
                return false;
            }
            break;
        case FAULT_REJECT_HEADER:
            if (f->archive == 0) {
                *why = "reject-header needs archive=J";
                return false;
            }
            f->block = 0;
            break;
        case FAULT_REJECT_BLOCK:
            if (f->archive == 0 || f->block < 1) {
                *why = "reject-block needs archive=J and block=K (K from 1)";
                return false;
            }
            break;
        case FAULT_SILENT:
        case FAULT_VANISH:
            if (f->command.empty() && (f->archive == 0 || f->block < 0)) {
                *why = "needs a command, or archive=J and block=K";
                return false;
            }
            break;
        case FAULT_RETURN_LATE:
        case FAULT_PROG_TIME:
            if (!gotMs) {
                *why = "needs ms=N";
                return false;
            }
            break;
        default:
            break;
    }
    return true;
}

}  // namespace

bool scenario_Parse(const std::string& text, Scenario* out, std::string* error) {
    std::vector<Fault> parsed;
    std::istringstream in(text);
    std::string line;
    int number = 0;
    while (std::getline(in, line)) {
        ++number;
        size_t hash = line.find('#');
        if (hash != std::string::npos) line.erase(hash);
        while (!line.empty() && isspace((unsigned char)line.back())) line.pop_back();
        size_t start = 0;
        while (start < line.size() && isspace((unsigned char)line[start])) ++start;
        line.erase(0, start);
        if (line.empty()) continue;
        Fault f;
        std::string why;
        if (!parseLine(line, &f, &why)) {
            if (error != nullptr) {
                *error = "scenario line " + std::to_string(number) + ": " + why + " [" + line + "]";
            }
            return false;
        }
        parsed.push_back(f);
    }
    out->faults.insert(out->faults.end(), parsed.begin(), parsed.end());
    return true;
}

bool scenario_CommandMatches(const std::string& pattern, const std::string& command) {
    if (pattern == "*") return true;
    std::string cmd = upper(command);
    if (cmd == pattern) return true;
    if (cmd.size() > pattern.size() && cmd.compare(0, pattern.size(), pattern) == 0) {
        char next = cmd[pattern.size()];
        return next == '=' || next == '?';
    }
    return false;
}

const char* scenario_HelpText() {
    return "Scenario format: one fault a line; '#' starts a comment. A line is a fault name,\n"
           "then (for faults about a command) the command, then key=value options. Commands\n"
           "match case-insensitively: AT%MODE=1 matches that line, AT+IPR also matches\n"
           "AT+IPR=<n> and AT+IPR?, and * matches every command. times=N limits a fault to its\n"
           "first N matches (times=all: every match; default 1).\n"
           "\n"
           "  refuse CMD [times=N]        answer ERROR instead of carrying the command out\n"
           "  ignore CMD [times=N]        give no answer at all\n"
           "  late CMD ms=N [times=N]     wait N ms before answering\n"
           "  pieces CMD [size=K] [gap=MS] [times=N]\n"
           "                              write the answer in pieces of K bytes (default 3:\n"
           "                              \"\\r\\nO\" then \"K\\r\\n\"), MS ms apart (default 30;\n"
           "                              real time, not scaled, so the host reads them apart)\n"
           "  reject-header archive=J [times=N] [status=HHHH] [then=HEX]\n"
           "  reject-block archive=J block=K [times=N] [status=HHHH] [then=HEX]\n"
           "                              answer the header frame / data block K (from 1) of\n"
           "                              the J-th archive (from 1, counted by AT%LOAD) with\n"
           "                              status HHHH (default AA02), then the bytes HEX (at\n"
           "                              most 260; then=AA01 makes the host count it accepted)\n"
           "  ignore archive=J block=K [times=N]\n"
           "  late archive=J block=K ms=N [times=N]\n"
           "  pieces archive=J block=K [gap=MS] [times=N]\n"
           "                              the same for the status of the header frame (block=0)\n"
           "                              or data block K of the J-th archive: no status (the\n"
           "                              loader keeps waiting for that frame), the status N ms\n"
           "                              late, or its two bytes one at a time MS ms apart\n"
           "  silent CMD                  from that command on, answer nothing at all\n"
           "  silent archive=J block=K    the same from that frame on (block=0: header frame)\n"
           "  vanish CMD [return=MS]      on that command drop the port without an answer\n"
           "  vanish archive=J block=K [return=MS]\n"
           "                              on that frame remove the names and close the pty;\n"
           "                              back after MS ms (same mode, transfer abandoned) or,\n"
           "                              without return=, never\n"
           "  return-late ms=N [switch=S] after mode switch S (from 1; default every switch)\n"
           "                              come back N ms later than usual\n"
           "  never-return [switch=S]     after mode switch S never come back\n"
           "  renumber [switch=S]         after mode switch S come back as the next tty number\n"
           "                              (ttyACM0 -> ttyACM1, COM65 -> COM66)\n"
           "  wrong-mode [value=V] [times=N]\n"
           "                              after a switch back to modem mode AT%MODE? reports V\n"
           "                              (default 1; default times=all)\n"
           "  autorun-stuck               AT%USBMODEM=1 answers OK but the setting stays 0\n"
           "  prog-time ms=N              AT%PROG=2 and AT%PROG=1 take N ms before their OK\n"
           "\n"
           "Example:\n"
           "  refuse AT%MODE=1 times=2\n"
           "  reject-block archive=1 block=5 times=3 status=AA02\n"
           "  renumber switch=1\n";
}

}  // namespace modemsim
