// modemsim: the simulated modem as a program, for scripts and end-to-end runs.
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>

#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "modem_bank.h"
#include "modem_sim.h"
#include "platform/clock.h"
#include "platform/env.h"
#include "replay_core.h"

extern char** environ;

namespace {

const char* const kVersion = "modemsim 0.1.0";

void usage(FILE* to) {
    fprintf(to,
            "Usage: modemsim [options]\n"
            "A simulated USB cellular modem on a pseudo-terminal: it publishes its port as\n"
            "<dev-root>/<tty> (a symlink to the pty) with matching sysfs entries, answers the\n"
            "modem's AT commands, takes firmware archives in loader mode, and drops and\n"
            "re-offers its port after every mode command. Stops on SIGINT or SIGTERM.\n"
            "\n"
            "Options:\n"
            "  --dev-root DIR            where the port's name goes (default\n"
            "                            $MODEMFLASH_DEV_ROOT; required)\n"
            "  --sysfs-root DIR          where the sysfs entries go (default\n"
            "                            $MODEMFLASH_SYSFS_ROOT; required)\n"
            "  --tty NAME                tty name (default ttyACM0, i.e. COM65)\n"
            "  --modems N                run N modems (1 to 16) in the one tree, at USB\n"
            "                            locations 1-1.1 .. 1-1.4, 1-2.1 .. 1-4.4 (four hubs of\n"
            "                            four), serial numbers SIM0001 ..; each takes the lowest\n"
            "                            free ttyACM number whenever its port appears, so names\n"
            "                            swap between modems; --fault lines apply to every modem\n"
            "  --modem-fault K:LINE      one fault line for modem K (1..N) only; repeatable\n"
            "  --renumber                after a mode switch come back as the next number\n"
            "  --republish-delay-ms N    pause between dropping and re-offering the port\n"
            "                            (default 3000, scaled by the time scale)\n"
            "  --line-rate BYTES         the line's speed toward the modem in bytes per\n"
            "                            second (scaled by the time scale); default: no limit\n"
            "  --time-scale X            run pauses X times faster (default\n"
            "                            $MODEMFLASH_TIME_SCALE, else 1)\n"
            "  --mode N                  initial mode: 0 modem (default), 1 loader\n"
            "  --autorun N               initial autorun setting (default 1)\n"
            "  --scenario FILE           faults, one a line (format below)\n"
            "  --fault LINE              one fault line; repeatable\n"
            "  --transcript FILE         every byte in and out, with time stamps\n"
            "  --report FILE             JSON written at exit: commands in order, archives\n"
            "                            {id, size, sha256, programmed}, flash, final mode,\n"
            "                            autorun, deviations; with --modems, one such report per\n"
            "                            modem: {\"modems\": [{location, serial, report}]}\n"
            "  --on-publish CMD          run CMD (through /bin/sh) each time the port is\n"
            "                            published (after the pty is ready, before the modem\n"
            "                            answers on it) and unpublished (after the names are\n"
            "                            removed), with MODEMSIM_EVENT=publish|unpublish,\n"
            "                            MODEMSIM_TTY, MODEMSIM_COM, MODEMSIM_DEVICE=/dev/pts/N,\n"
            "                            MODEMSIM_LOCATION, MODEMSIM_SERIAL (with --modems;\n"
            "                            empty for the single modem)\n"
            "  --ready-file FILE         written once the first port is published\n"
            "  --replay FILE             play the modem of a session that `modemflash flash\n"
            "                            --record` wrote: it appears at the recorded USB\n"
            "                            location with the recorded serial number and port,\n"
            "                            answers each command and frame as recorded, drops and\n"
            "                            offers its port again as recorded (the timing scaled),\n"
            "                            and lists in --report (\"replay\") every place where the\n"
            "                            host does otherwise, with the byte offset and both sides\n"
            "                            (faults, --mode, --autorun and --tty are not used)\n"
            "  --replay-strict           end the session at the host's first deviation: the\n"
            "                            port goes away and modemsim exits (status 3)\n"
            "  --replay-partial          play a session whose recording was interrupted, up to\n"
            "                            its last whole line\n"
            "  --help, --version\n"
            "\n"
            "Exit status: 0 after a clean stop, 2 for bad options, 1 when the modem could not\n"
            "start (a session that is refused: its line and what is wrong are printed) or the\n"
            "report could not be written, 3 when a played-back host deviated from the recording.\n"
            "\n%s",
            modemsim::scenario_HelpText());
}

bool readFile(const std::string& path, std::string* out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream s;
    s << in.rdbuf();
    *out = s.str();
    return true;
}

// Written under a temporary name and renamed into place: whoever waits for the file (the
// ready file above all) sees it whole or not at all.
bool writeFile(const std::string& path, const std::string& text) {
    const std::string partial = path + ".partial";
    FILE* f = fopen(partial.c_str(), "w");
    if (f == nullptr) return false;
    bool ok = fwrite(text.data(), 1, text.size(), f) == text.size();
    ok = fclose(f) == 0 && ok;
    if (ok && rename(partial.c_str(), path.c_str()) == 0) return true;
    remove(partial.c_str());
    return false;
}

bool parseInt(const char* s, long minV, long maxV, long* out) {
    char* end = nullptr;
    long v = strtol(s, &end, 10);
    if (end == s || *end != '\0' || v < minV || v > maxV) return false;
    *out = v;
    return true;
}

// Runs the hook command synchronously with the event in its environment.
void runHook(const std::string& cmd, const modemsim::PublishEvent& e, const std::string& location,
             const std::string& serial) {
    std::vector<std::string> vars = {
        std::string("MODEMSIM_EVENT=") + (e.publish ? "publish" : "unpublish"),
        "MODEMSIM_TTY=" + e.ttyName,
        "MODEMSIM_COM=" + std::to_string(e.comNumber),
        "MODEMSIM_DEVICE=" + e.devicePath,
        "MODEMSIM_LOCATION=" + location,
        "MODEMSIM_SERIAL=" + serial};
    std::vector<char*> envp;
    for (char** p = environ; *p != nullptr; ++p) {
        if (strncmp(*p, "MODEMSIM_", 9) != 0) envp.push_back(*p);
    }
    for (std::string& v : vars) envp.push_back(&v[0]);
    envp.push_back(nullptr);
    std::string command = cmd;
    char sh[] = "/bin/sh", dashC[] = "-c";
    char* argv[] = {sh, dashC, &command[0], nullptr};
    pid_t pid;
    if (posix_spawn(&pid, "/bin/sh", nullptr, nullptr, argv, envp.data()) != 0) {
        fprintf(stderr, "modemsim: cannot run --on-publish command\n");
        return;
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        fprintf(stderr, "modemsim: --on-publish command failed (%s)\n",
                e.publish ? "publish" : "unpublish");
    }
}

// Several modems in one tree until a stop signal; then the report of every modem.
int runBank(const modemsim::SimOptions& opt, int count, const std::map<int, std::string>& faults,
            const std::string& hook, const std::string& reportPath, const std::string& readyPath,
            sigset_t& stopSignals) {
    modemsim::BankOptions b;
    b.devRoot = opt.devRoot;
    b.sysfsRoot = opt.sysfsRoot;
    b.count = count;
    b.republishDelayMs = opt.republishDelayMs;
    b.lineRate = opt.lineRate;
    b.scenario = opt.scenario;
    b.scenarios = faults;
    if (!hook.empty()) {
        b.onPublish = [hook](int modem, const modemsim::PublishEvent& e) {
            runHook(hook, e, modemsim::bank_Location(modem), modemsim::bank_Serial(modem));
        };
    }
    modemsim::ModemBank bank;
    std::string error;
    if (!bank.start(b, &error)) {
        fprintf(stderr, "modemsim: %s\n", error.c_str());
        return 1;
    }
    std::string ready;
    for (int i = 0; i < bank.count(); ++i) {
        const modemsim::ModemSim& m = bank.modem(i);
        fprintf(stderr, "modemsim: modem %s (%s) published as %s/%s (COM%d)\n",
                m.location().c_str(), m.serialNumber().c_str(), opt.devRoot.c_str(),
                m.ttyName().c_str(), m.comNumber());
        ready += m.location() + " " + m.ttyName() + "\n";
    }
    if (!readyPath.empty() && !writeFile(readyPath, ready))
        fprintf(stderr, "modemsim: cannot write %s\n", readyPath.c_str());
    int sig = 0;
    sigwait(&stopSignals, &sig);
    bank.stop();
    if (!reportPath.empty() && !writeFile(reportPath, bank.reportJson())) {
        fprintf(stderr, "modemsim: cannot write report %s\n", reportPath.c_str());
        return 1;
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    modemsim::SimOptions opt;
    const char* d = env_Get("MODEMFLASH_DEV_ROOT");
    const char* s = env_Get("MODEMFLASH_SYSFS_ROOT");
    if (d != nullptr) opt.devRoot = d;
    if (s != nullptr) opt.sysfsRoot = s;
    std::string reportPath, readyPath, hook, scenario;
    long modemCount = 0;  // 0: the single modem of --tty
    std::map<int, std::string> modemFaults;
    double scale = 0;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&](const char** out) {
            if (i + 1 >= argc) {
                fprintf(stderr, "modemsim: %s needs a value\n", a.c_str());
                return false;
            }
            *out = argv[++i];
            return true;
        };
        const char* v = nullptr;
        long n = 0;
        if (a == "--help" || a == "-h") {
            usage(stdout);
            return 0;
        } else if (a == "--version") {
            printf("%s\n", kVersion);
            return 0;
        } else if (a == "--renumber") {
            opt.renumberOnSwitch = true;
        } else if (a == "--replay-strict") {
            opt.replayStrict = true;
        } else if (a == "--replay-partial") {
            opt.replayPartial = true;
        } else if (a == "--dev-root" || a == "--sysfs-root" || a == "--tty" ||
                   a == "--transcript" || a == "--report" || a == "--on-publish" ||
                   a == "--ready-file" || a == "--fault" || a == "--scenario" ||
                   a == "--modem-fault" || a == "--replay") {
            if (!value(&v)) return 2;
            if (a == "--replay") opt.replayPath = v;
            if (a == "--dev-root") opt.devRoot = v;
            if (a == "--sysfs-root") opt.sysfsRoot = v;
            if (a == "--tty") opt.ttyName = v;
            if (a == "--transcript") opt.transcriptPath = v;
            if (a == "--report") reportPath = v;
            if (a == "--on-publish") hook = v;
            if (a == "--ready-file") readyPath = v;
            if (a == "--fault") scenario += std::string(v) + "\n";
            if (a == "--modem-fault") {
                const char* colon = strchr(v, ':');
                long k = 0;
                if (colon == nullptr ||
                    !parseInt(std::string(v, colon).c_str(), 1, BANK_MAX_MODEMS, &k)) {
                    fprintf(stderr, "modemsim: --modem-fault needs K:LINE with K 1..%d: %s\n",
                            BANK_MAX_MODEMS, v);
                    return 2;
                }
                modemFaults[static_cast<int>(k) - 1] += std::string(colon + 1) + "\n";
            }
            if (a == "--scenario") {
                std::string text;
                if (!readFile(v, &text)) {
                    fprintf(stderr, "modemsim: cannot read scenario %s\n", v);
                    return 2;
                }
                scenario += text + "\n";
            }
        } else if (a == "--modems") {
            if (!value(&v)) return 2;
            if (!parseInt(v, 1, BANK_MAX_MODEMS, &modemCount)) {
                fprintf(stderr, "modemsim: --modems takes 1 to %d: %s\n", BANK_MAX_MODEMS, v);
                return 2;
            }
        } else if (a == "--republish-delay-ms" || a == "--mode" || a == "--autorun" ||
                   a == "--line-rate") {
            if (!value(&v)) return 2;
            long maxV = a == "--republish-delay-ms" ? 86400000L
                        : a == "--line-rate"        ? 1000000000L
                                                    : 1L;
            if (!parseInt(v, 0, maxV, &n)) {
                fprintf(stderr, "modemsim: bad value for %s: %s\n", a.c_str(), v);
                return 2;
            }
            if (a == "--republish-delay-ms") opt.republishDelayMs = (uint32_t)n;
            if (a == "--line-rate") opt.lineRate = (uint32_t)n;
            if (a == "--mode") opt.initialMode = (int)n;
            if (a == "--autorun") opt.initialAutorun = (int)n;
        } else if (a == "--time-scale") {
            if (!value(&v)) return 2;
            char* end = nullptr;
            scale = strtod(v, &end);
            if (end == v || *end != '\0' || !(scale >= 1) || scale > 1e6) {
                fprintf(stderr, "modemsim: bad time scale %s (a number >= 1)\n", v);
                return 2;
            }
        } else {
            fprintf(stderr, "modemsim: unknown option %s (try --help)\n", a.c_str());
            return 2;
        }
    }
    if (opt.devRoot.empty() || opt.sysfsRoot.empty()) {
        fprintf(stderr, "modemsim: --dev-root and --sysfs-root are required\n");
        return 2;
    }
    modemsim::Scenario check;
    std::string why;
    if (!modemsim::scenario_Parse(scenario, &check, &why)) {
        fprintf(stderr, "modemsim: %s\n", why.c_str());
        return 2;
    }
    for (const auto& own : modemFaults) {
        if (modemCount == 0 || own.first >= modemCount) {
            fprintf(stderr, "modemsim: --modem-fault %d names no modem (see --modems)\n",
                    own.first + 1);
            return 2;
        }
        if (!modemsim::scenario_Parse(own.second, &check, &why)) {
            fprintf(stderr, "modemsim: modem %d: %s\n", own.first + 1, why.c_str());
            return 2;
        }
    }
    if (!opt.replayPath.empty() && modemCount > 0) {
        fprintf(stderr, "modemsim: --replay plays one modem: it does not go with --modems\n");
        return 2;
    }
    if ((opt.replayStrict || opt.replayPartial) && opt.replayPath.empty()) {
        fprintf(stderr, "modemsim: --replay-strict and --replay-partial need --replay FILE\n");
        return 2;
    }
    if (scale >= 1) clk_SetScale(scale);
    opt.scenario = scenario;
    if (!hook.empty()) {
        // The single modem's hook sees no location, as before several modems existed.
        opt.onPublish = [hook](const modemsim::PublishEvent& e) { runHook(hook, e, "", ""); };
    }

    // The modem's thread inherits a mask without the stop signals, so that only sigwait
    // below receives them.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    signal(SIGPIPE, SIG_IGN);

    if (modemCount > 0)
        return runBank(opt, static_cast<int>(modemCount), modemFaults, hook, reportPath, readyPath,
                       stopSignals);

    modemsim::ModemSim sim;
    std::string error;
    if (!sim.start(opt, &error)) {
        fprintf(stderr, "modemsim: %s\n", error.c_str());
        return 1;
    }
    fprintf(stderr, "modemsim: %s published as %s/%s (COM%d)\n", sim.devicePath().c_str(),
            opt.devRoot.c_str(), sim.ttyName().c_str(), sim.comNumber());
    if (!readyPath.empty() && !writeFile(readyPath, sim.ttyName() + "\n")) {
        fprintf(stderr, "modemsim: cannot write %s\n", readyPath.c_str());
    }
    // A played-back session that ends by itself (strict, at a deviation) ends the program.
    const timespec step = {0, 20 * 1000 * 1000};
    for (;;) {
        if (opt.replayStrict && sim.ended()) break;
        if (sigtimedwait(&stopSignals, nullptr, &step) > 0) break;
    }
    sim.stop();
    int rc = 0;
    const std::string report = sim.reportJson();
    if (!reportPath.empty() && !writeFile(reportPath, report)) {
        fprintf(stderr, "modemsim: cannot write report %s\n", reportPath.c_str());
        rc = 1;
    }
    if (!opt.replayPath.empty() && rc == 0) {
        modemsim::ReplayOutcome o = modemsim::replay_Outcome(report);
        fprintf(stderr,
                "modemsim: the host followed %zu of %zu recorded actions; %zu deviation(s)\n",
                o.followed, o.actions, o.deviations);
        if (o.deviations > 0) rc = 3;
    }
    return rc;
}
