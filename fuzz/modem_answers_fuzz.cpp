// Fuzz target: the modem's answers to the AT exchange, the mode and autorun queries, the
// autorun setting and the port probe.
//
// Input: one byte choosing the operation, then the answers as chunks (fuzz_peer.h), which a
// peer on a pty sends back one per command line. The clock runs a million times faster, so an
// exchange that never sees its marker times out after its first empty read. Every operation
// must end with one of its documented results, and a result read from a reply must be the
// one the reply holds.
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "engine/at.h"
#include "engine/mode.h"
#include "engine/port_context.h"
#include "fuzz_peer.h"
#include "locator/probe_port.h"
#include "platform/clock.h"
#include "report/log.h"

namespace {

void quiet(void*, int, int, const char*) {}

// The number after the first ": " of the reply, as the queries read it; -1 without one.
int numberInReply() {
    const char* colon = strstr(at_Response(0), ": ");
    return colon ? atoi(colon + 2) : -1;
}

bool endedWithOk() {
    return strstr(at_Response(0), AT_OK_MARKER) != nullptr;
}

std::string g_devRoot;

void setUp() {
    ctx_LogLevel(0, 0);
    log_SetHook(quiet, nullptr);
    // The probe opens COM65, that is <dev root>/ttyACM0: a link to the peer's pty.
    // (A folder below the current directory: scripts/fuzz.sh runs each target in a scratch
    // folder.)
    char tmpl[] = "mffuzzdev.XXXXXX";
    char full[4096];
    if (mkdtemp(tmpl) == nullptr || realpath(tmpl, full) == nullptr) abort();
    g_devRoot = full;
    setenv("MODEMFLASH_DEV_ROOT", full, 1);
}

void probe(fuzzpeer::ScriptedPeer& peer) {
    std::string link = g_devRoot + "/ttyACM0";
    unlink(link.c_str());
    if (symlink(peer.slavePath(), link.c_str()) != 0) abort();
    // The probe judges what arrived within its 500 ms pause: keep that pause a few real
    // milliseconds long.
    clk_SetScale(200);
    CAtProber prober;
    if (prober.Port().Open(65, 115200, 8, 1) != 1) return;
    bool at = prober.ProbeAT();
    bool ati = prober.ProbeATI();
    bool both = prober.Probe();
    (void)at;
    (void)ati;
    (void)both;
    prober.Port().Close();
    unlink(link.c_str());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool ready = false;
    if (!ready) {
        setUp();
        ready = true;
    }
    if (size < 1) return 0;
    const int op = data[0] % 6;
    fuzzpeer::ScriptedPeer peer(fuzzpeer::chunks(data + 1, size - 1, 16), /*lineMode=*/true);
    if (!peer.ok()) return 0;
    peer.start();
    if (op == 5) {
        probe(peer);
        peer.stop();
        return 0;
    }

    clk_SetScale(1e6);
    if (com_Open(0, peer.slavePath()) == nullptr) {
        peer.stop();
        return 0;
    }
    report_Port(0)->comVerbosity = 0;  // the failure lines would drown the fuzzer's own output
    switch (op) {
        case 0: {
            int r = at_SendExpect(0, AT_OK_MARKER, AT_ERROR_MARKER, "AT%%DEBUG=99\r\n");
            if (r != 1 && r != 0 && r != -1 && r != -2) abort();
            if (r == 1 && !endedWithOk()) abort();
            break;
        }
        case 1:
        case 2: {
            int r = op == 1 ? mode_Query(0) : autorun_Query(0);
            // A number is reported only from a reply that ended in OK and holds ": ".
            if (r != -1 && (!endedWithOk() || numberInReply() != r)) abort();
            break;
        }
        case 3: {
            int r = autorun_Set(0, 1);
            if (r != 1 && r != 0 && r != -1) abort();
            if (r == 1 && (!endedWithOk() || numberInReply() != 1)) abort();
            break;
        }
        case 4: {
            // A reply that fills the whole answer area: the exchange still ends.
            int r = at_Send(0, "AT%%MODE?\r\n");
            if (r < -2 || r > 1) abort();
            if (strlen(at_Response(0)) >= RX_BUFFER_SIZE) abort();
            break;
        }
    }
    com_Close(0);
    peer.stop();
    return 0;
}
