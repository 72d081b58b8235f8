// The simulated modem's AT commands: each one's answer, and the mode switch.
#include "sim_core.h"
#include "sim_core_detail.h"

namespace modemsim {

using namespace detail;

void Core::runCommand(const std::string& cmd, CoreOutput& out) {
    if (useFault(findCommandFault(FAULT_SILENT, cmd))) {
        state_ = ST_SILENT;
        return;
    }
    Fault* v = findCommandFault(FAULT_VANISH, cmd);
    if (useFault(v)) {
        dropPending_ = true;
        drop_ = DropRequest();
        drop_.newMode = mode_;
        drop_.comeBack = v->hasReturn;
        drop_.useRepublishDelay = false;
        drop_.extraDelayMs = v->ms;
        state_ = ST_DROPPED;
        return;
    }
    if (useFault(findCommandFault(FAULT_IGNORE, cmd))) {
        ignoring_ = true;
        return;
    }
    Shape shape;
    Fault* late = findCommandFault(FAULT_LATE, cmd);
    if (useFault(late)) shape.lateMs = late->ms;
    Fault* pieces = findCommandFault(FAULT_PIECES, cmd);
    if (useFault(pieces)) {
        shape.pieceSize = pieces->size;
        shape.pieceGapMs = pieces->gapMs;
    }
    if (useFault(findCommandFault(FAULT_REFUSE, cmd))) {
        answer(ERROR_TEXT, shape, out);
        return;
    }
    execute(cmd, shape, out);
}

void Core::answer(const std::string& text, const Shape& shape, CoreOutput& out) {
    if (shape.lateMs > 0) out.pause(shape.lateMs);
    const uint8_t* p = reinterpret_cast<const uint8_t*>(text.data());
    if (shape.pieceSize <= 0) {
        out.write(p, text.size());
        return;
    }
    for (size_t off = 0; off < text.size(); off += (size_t)shape.pieceSize) {
        if (off > 0) out.pauseReal(shape.pieceGapMs);
        size_t n = text.size() - off;
        if (n > (size_t)shape.pieceSize) n = (size_t)shape.pieceSize;
        out.write(p + off, n);
    }
}

// How a command line is written: "AT%MODE" (plain), "AT%MODE?" (a query) or "AT%MODE=1" (a
// setting, with a decimal argument of at most 9 digits).
enum CommandForm { FORM_PLAIN, FORM_QUERY, FORM_SET };

// One command the modem understands, in one form. A setting whose argument is not a number or
// fails accepts is not understood.
struct Core::Command {
    const char* name;
    CommandForm form;
    bool (*accepts)(int argument);  // settings only
    void (*run)(Core& core, const Call& call);
};

struct Core::Call {
    const std::string& cmd;  // the whole command line, upper case
    int argument;            // a setting's argument
    const Shape& shape;
    CoreOutput& out;
};

namespace {

bool upTo255(int n) {
    return n <= 255;
}
bool zeroOrOne(int n) {
    return n == 0 || n == 1;
}
bool upTo2(int n) {
    return n <= 2;
}
bool validBaud(int b) {
    static const int rates[] = {9600,   19200,  38400,   57600,   115200,  230400,
                                460800, 921600, 1000000, 2000000, 3000000, 4000000};
    for (int r : rates) {
        if (r == b) return true;
    }
    return false;
}

}  // namespace

void Core::answerOk(const Call& c) {
    answer(OK, c.shape, c.out);
}

void Core::answerLine(const std::string& line, const Call& c) {
    answer("\r\n" + line + "\r\n" + OK, c.shape, c.out);
}

const std::vector<Core::Command>& Core::commandTable() {
    static const std::vector<Command> table = {
        {"AT", FORM_PLAIN, nullptr, [](Core& m, const Call& c) { m.answerOk(c); }},
        {"ATZ", FORM_PLAIN, nullptr, [](Core& m, const Call& c) { m.answerOk(c); }},
        {"ATI", FORM_PLAIN, nullptr,
         [](Core& m, const Call& c) {
             m.answerLine("Simulated Modems Inc\r\nSimulated Cellular Modem\r\nRevision: SIM1.0",
                          c);
         }},
        {"ATE0", FORM_PLAIN, nullptr,
         [](Core& m, const Call& c) {
             m.echo_ = false;
             m.answerOk(c);
         }},
        {"ATE", FORM_PLAIN, nullptr,
         [](Core& m, const Call& c) {
             m.echo_ = false;
             m.answerOk(c);
         }},
        {"ATE1", FORM_PLAIN, nullptr,
         [](Core& m, const Call& c) {
             m.echo_ = true;
             m.answerOk(c);
         }},
        {"AT+GMR", FORM_PLAIN, nullptr,
         [](Core& m, const Call& c) { m.answerLine("SIM_1.0.0 [2026-01-01]", c); }},
        {"AT%IFWR", FORM_PLAIN, nullptr,
         [](Core& m, const Call& c) { m.answerLine("%IFWR: BT2 1.0.0, LDR 1.0.0, MDM 1.0.0", c); }},
        {"AT%ICOMPAT", FORM_PLAIN, nullptr,
         [](Core& m, const Call& c) { m.answerLine("%ICOMPAT: 1", c); }},
        {"AT%IFLIST", FORM_PLAIN, nullptr,
         [](Core& m, const Call& c) {
             m.answerLine("%IFLIST: MDM,BT2,IFT,LDR,IMEI,CUSTCFG,ZEROCD,MASS,AUDIOCFG,COMPAT", c);
         }},
        {"AT%CHIPID", FORM_PLAIN, nullptr,
         [](Core& m, const Call& c) { m.answerLine("%CHIPID: 0x51A0C0DE 0x00000001", c); }},
        {"AT%DEBUG", FORM_SET, upTo255, [](Core& m, const Call& c) { m.answerOk(c); }},
        {"AT%MODE", FORM_QUERY, nullptr,
         [](Core& m, const Call& c) {
             int reported = m.mode_;
             if (m.wrongModeLeft_ != 0 && m.mode_ == 0) {
                 reported = m.wrongModeValue_;
                 if (m.wrongModeLeft_ > 0) --m.wrongModeLeft_;
             }
             m.answerLine("%MODE: " + std::to_string(reported), c);
         }},
        {"AT%MODE", FORM_SET, zeroOrOne,
         [](Core& m, const Call& c) {
             m.answerOk(c);
             m.requestSwitch(c.argument);
         }},
        {"AT+IPR", FORM_QUERY, nullptr,
         [](Core& m, const Call& c) { m.answerLine("+IPR: " + std::to_string(m.baud_), c); }},
        {"AT+IPR", FORM_SET, validBaud,
         [](Core& m, const Call& c) {
             m.baud_ = c.argument;
             m.answerOk(c);
         }},
        {"AT%USBMODEM", FORM_QUERY, nullptr,
         [](Core& m, const Call& c) {
             m.answerLine("%USBMODEM: " + std::to_string(m.autorun_), c);
         }},
        {"AT%USBMODEM", FORM_SET, zeroOrOne,
         [](Core& m, const Call& c) {
             bool stuck = false;
             for (const Fault& f : m.scenario_.faults) {
                 if (f.kind == FAULT_AUTORUN_STUCK) stuck = true;
             }
             m.autorun_ = (stuck && c.argument == 1) ? 0 : c.argument;
             m.answerOk(c);
         }},
        {"AT%LOAD", FORM_PLAIN, nullptr, [](Core& m, const Call& c) { m.startLoad(c); }},
        {"AT%PROG", FORM_SET, upTo2, [](Core& m, const Call& c) { m.program(c); }},
    };
    return table;
}

void Core::startLoad(const Call& c) {
    if (mode_ != 1) {
        deviation("AT%LOAD in modem mode");
        return answer(ERROR_TEXT, c.shape, c.out);
    }
    answerOk(c);
    ++loads_;
    // A new load replaces the last one, even if it fails: AT%PROG never programs an older
    // archive by mistake.
    lastLoaded_ = -1;
    state_ = ST_HEADER;
    frameLen_ = 0;
    frameNeed_ = 0;
    frameRejects_ = 0;
}

void Core::program(const Call& c) {
    if (mode_ != 1) {
        deviation(c.cmd + " in modem mode");
        return answer(ERROR_TEXT, c.shape, c.out);
    }
    if (lastLoaded_ < 0) {
        deviation(c.cmd + " with no archive loaded");
        return answer(ERROR_TEXT, c.shape, c.out);
    }
    ArchiveRecord& a = archives_[(size_t)lastLoaded_];
    if (c.argument == 0) {
        a.signatureChecked = true;
        return answerOk(c);
    }
    for (const Fault& f : scenario_.faults) {
        if (f.kind == FAULT_PROG_TIME) c.out.pause(f.ms);
    }
    flash_[a.id] = a.payload;
    a.programmed = true;
    answerOk(c);
}

void Core::execute(const std::string& cmd, const Shape& shape, CoreOutput& out) {
    std::string name = cmd, arg;
    CommandForm form = FORM_PLAIN;
    size_t eq = cmd.find('=');
    if (eq != std::string::npos) {
        name = cmd.substr(0, eq);
        arg = cmd.substr(eq + 1);
        form = FORM_SET;
    } else if (cmd.size() > 2 && cmd.back() == '?') {
        name = cmd.substr(0, cmd.size() - 1);
        form = FORM_QUERY;
    }
    int n = 0;
    for (const Command& command : commandTable()) {
        if (command.form != form || name != command.name) continue;
        if (form == FORM_SET && !(parseNumber(arg, &n) && command.accepts(n))) continue;
        command.run(*this, Call{cmd, n, shape, out});
        return;
    }
    deviation("unknown or unusable command [" + cmd + "]");
    answer(ERROR_TEXT, shape, out);
}

void Core::requestSwitch(int newMode) {
    ++switches_;
    DropRequest d;
    d.isModeSwitch = true;
    d.newMode = newMode;
    for (const Fault& f : scenario_.faults) {
        bool applies = f.switchNo == 0 || f.switchNo == switches_;
        if (!applies) continue;
        if (f.kind == FAULT_RETURN_LATE) d.extraDelayMs += f.ms;
        if (f.kind == FAULT_NEVER_RETURN) d.comeBack = false;
        if (f.kind == FAULT_RENUMBER) d.renumber = true;
    }
    if (newMode == 0 && mode_ == 1) {
        for (const Fault& f : scenario_.faults) {
            if (f.kind == FAULT_WRONG_MODE) {
                wrongModeLeft_ = f.times;
                wrongModeValue_ = f.value;
            }
        }
    }
    mode_ = newMode;
    drop_ = d;
    dropPending_ = true;
    state_ = ST_DROPPED;
}

}  // namespace modemsim
