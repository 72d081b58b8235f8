// modemflash inspect: reads archives with the engine's reader and tells what they are.
#include <errno.h>
#include <stdio.h>
#include <string.h>

#include <memory>
#include <string>
#include <vector>

#include "cli/command_registry.h"
#include "cli/flash/preflight.h"
#include "engine/archive.h"
#include "engine/port_context.h"
#include "platform/file.h"
#include "report/log.h"

namespace {

// The reader logs through a port; inspect borrows the last one, which a command-line run
// never opens, and catches its lines with the log hook.
const int kInspectPort = PORT_CONTEXT_COUNT - 1;

struct InspectOptions {
    std::vector<std::string> files;
    bool verbose = false;
};

struct Captured {
    std::string info;
    std::string errors;
};

void capture(void* user, int port, int isError, const char* text) {
    if (port != kInspectPort) return;
    Captured* c = static_cast<Captured*>(user);
    (isError ? c->errors : c->info) += text;
}

// The message without its surrounding line breaks, for one line of output.
std::string oneLine(const std::string& text) {
    size_t b = text.find_first_not_of('\n');
    if (b == std::string::npos) return "";
    size_t e = text.find_last_not_of('\n');
    std::string s = text.substr(b, e - b + 1);
    for (char& ch : s)
        if (ch == '\n') ch = ' ';
    return s;
}

bool inspectOne(const std::string& path, bool verbose) {
    // A FIFO would block the open, a device might never end: only regular files are read.
    int kind = file_Type(path.c_str(), nullptr);
    if (kind != FILE_TYPE_REGULAR && kind != FILE_TYPE_MISSING) {
        printf("%s: INVALID: it is %s, not a regular file\n", path.c_str(), file_TypeName(kind));
        return false;
    }
    FILE* f = file_Open(path.c_str(), "rb");
    if (f == nullptr) {
        printf("%s: INVALID: cannot open: %s\n", path.c_str(), strerror(errno));
        return false;
    }
    Captured lines;
    log_SetHook(capture, &lines);
    uint8_t header[WRAPPED_HEADER_MAX];
    int length = archive_ReadHeader(kInspectPort, header, f, path.c_str());
    log_SetHook(nullptr, nullptr);
    ArchiveCheck check;
    if (length < 0) {
        uint8_t again[WRAPPED_HEADER_MAX];
        archive_CheckHeader(again, f, path.c_str(), &check);
    }
    long fileSize = -1;
    if (fseek(f, 0, SEEK_END) == 0) fileSize = ftell(f);
    fclose(f);

    if (verbose && !oneLine(lines.info).empty()) printf("%s\n", oneLine(lines.info).c_str());
    if (length < 0) {
        printf("%s: INVALID: %s\n", path.c_str(), preflight::describeFailure(check).c_str());
        return false;
    }
    WrappedHeader h = archive_DecodeHeader(header);
    uint32_t id = h.archiveIdWord & ARCHIVE_ID_MASK;
    int entry = archive_FindId(id);
    printf("%s: valid\n", path.c_str());
    if (entry >= 0) {
        printf("  archive    %s (ID %u)\n", g_archiveIds[entry].shortName, id);
        printf("  target     %s\n", g_archiveIds[entry].devicePath);
    } else
        printf("  archive    not in the table (ID %u)\n", id);
    if (static_cast<uint32_t>(length) == h.headerLength)
        printf("  header     %d bytes\n", length);
    else
        printf("  header     %d bytes (extended form: declared %u + %d payload bytes)\n", length,
               h.headerLength, WRAPPED_EXTENDED_EXTRA);
    printf("  payload    %u bytes (%u KB)\n", h.payloadSize, h.payloadSize / 1024u);
    printf("  file       %ld bytes\n", fileSize);
    printf("  signature  %s (type %u)\n", archive_SignatureName(h.signatureType), h.signatureType);
    return true;
}

int runInspect(const InspectOptions& o) {
    // Level 1: the reader's lines go to the hook only, nothing straight to the streams.
    int saved = ctx_LogLevel(kInspectPort, -1);
    ctx_LogLevel(kInspectPort, 1);
    bool allValid = true;
    for (const std::string& path : o.files) allValid = inspectOne(path, o.verbose) && allValid;
    ctx_LogLevel(kInspectPort, saved);
    return allValid ? cli::EXIT_OK : cli::EXIT_FAILED;
}

const cli::CommandRegistrar inspectCommand{
    "inspect", "Check wrapped archives and show their headers (opens no port)", [](CLI::App& app) {
        auto o = std::make_shared<InspectOptions>();
        app.add_option("FILE", o->files, "Archives to check")->required();
        app.add_flag("-v,--verbose", o->verbose, "Also show the reader's own log line");
        app.footer(
            "Exit status:\n  0  every file is a valid archive\n  1  at least one file is not "
            "(or cannot be opened)\n  2  the command line was not understood\n");
        return cli::Action([o] { return runInspect(*o); });
    }};

}  // namespace
