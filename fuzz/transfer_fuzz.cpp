// Fuzz target: the status bytes, and the bytes after them, that answer the block transfer's
// frames.
//
// Input: a byte for the payload size (0 to 255 bytes, in frames of 64), then the answers as
// chunks (fuzz_peer.h) that a peer on a pty sends, one per frame or command the engine writes
// (and one more whenever the engine stays quiet). Whatever the answers, load_SendArchive must
// end with 1 or 0, write each frame at most three times and AT%LOAD at most six times, and
// leave no file open (its rejection log included).
#include <dirent.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <vector>

#include "engine/archive_writer.h"
#include "engine/port_context.h"
#include "engine/transfer.h"
#include "fuzz_peer.h"
#include "platform/clock.h"
#include "report/log.h"
#include "support/open_descriptors.h"

namespace {

const uint16_t kBlockSize = 64;

void quiet(void*, int, int, const char*) {}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool ready = false;
    if (!ready) {
        ctx_LogLevel(0, 0);
        log_SetHook(quiet, nullptr);
        // The rejection log, log0.txt, is written to the current directory (scripts/fuzz.sh
        // runs each target in a scratch folder).
        ready = true;
    }
    if (size < 1) return 0;
    const uint32_t payloadSize = data[0];

    const int fdsBefore = testsupport::openDescriptors();
    // The archive, in a temporary file.
    std::vector<uint8_t> payload(payloadSize);
    for (uint32_t i = 0; i < payloadSize; ++i) payload[i] = static_cast<uint8_t>(i * 7);
    FILE* file = tmpfile();
    if (file == nullptr) return 0;
    ArchiveLayout layout;
    CMemoryPayload source(payload.data(), payload.size());
    std::string why;
    if (archive_Write(file, layout, payloadSize, source, &why) != 1) abort();
    rewind(file);

    fuzzpeer::ScriptedPeer peer(fuzzpeer::chunks(data + 1, size - 1, 64), /*lineMode=*/false);
    if (!peer.ok()) {
        fclose(file);
        return 0;
    }
    peer.start();
    // A status wait ends after 60 s of the clock and 100 empty reads; an AT exchange after
    // its time-out: with the fast clock both cost only their reads.
    clk_SetScale(1e6);
    if (com_Open(0, peer.slavePath()) != nullptr) {
        PortContext* c = ctx_Get(0);
        report_Port(0)->comVerbosity = 0;
        c->blockSize = kBlockSize;
        c->progressBase = 15;
        c->progressShare = 80;
        int r = load_SendArchive(0, file, "fuzz.wrapped");
        if (r != 0 && r != 1) abort();
        com_Close(0);
    }
    peer.stop();
    fclose(file);

    // At most 6 AT%LOAD, 3 header frames and 3 tries of each data frame.
    const int frames = static_cast<int>((payloadSize + kBlockSize - 1) / kBlockSize);
    if (peer.requests() > 6 + 3 + 3 * frames) abort();
    // The archive and the peer's pty are closed by now: nothing of this call may remain open.
    if (testsupport::openDescriptors() != fdsBefore) abort();
    return 0;
}
