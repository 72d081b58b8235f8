// modemflash wrap: makes a wrapped archive from a payload file.
#include <stdio.h>
#include <stdlib.h>

#include <filesystem>
#include <memory>
#include <string>
#include <system_error>

#include "cli/command_registry.h"
#include "engine/archive_writer.h"
#include "platform/file.h"

namespace {

struct WrapOptions {
    std::string id;
    uint32_t signatureType = 0;
    uint32_t headerLength = WRAPPED_BASE_HEADER_SIZE;
    bool extended = false;
    bool allowEmpty = false;
    std::string payload;
    std::string out;
};

// Accepts decimal or 0x-prefixed hexadecimal, the whole 32-bit archive ID word. A leading 0
// is a decimal digit like any other (010 is ten), not a mark of octal.
bool parseIdWord(const std::string& text, uint32_t* value) {
    bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const char* digits = hex ? "0123456789abcdefABCDEF" : "0123456789";
    if (text.size() == (hex ? 2u : 0u) ||
        text.find_first_not_of(digits, hex ? 2 : 0) != std::string::npos)
        return false;
    char* end = nullptr;
    unsigned long long v = strtoull(text.c_str(), &end, hex ? 16 : 10);
    if (*end != '\0' || v > UINT32_MAX) return false;
    *value = static_cast<uint32_t>(v);
    return true;
}

int runWrap(const WrapOptions& o) {
    ArchiveLayout layout;
    if (!parseIdWord(o.id, &layout.archiveIdWord)) {
        fprintf(stderr, "modemflash wrap: --id %s is not a number from 0 to 0xFFFFFFFF\n",
                o.id.c_str());
        return cli::EXIT_USAGE;
    }
    // Only a regular file is read (a FIFO would block the open), and the archive is written
    // somewhere else than its own payload (the payload would be cut before it is read).
    long long payloadBytes = 0;
    int kind = file_Type(o.payload.c_str(), &payloadBytes);
    if (kind != FILE_TYPE_REGULAR) {
        if (kind == FILE_TYPE_MISSING)
            fprintf(stderr, "modemflash wrap: cannot open [%s]: it is missing\n",
                    o.payload.c_str());
        else
            fprintf(stderr, "modemflash wrap: [%s] is %s, not a regular file\n", o.payload.c_str(),
                    file_TypeName(kind));
        return cli::EXIT_FAILED;
    }
    // A header alone: the modem would be asked to program nothing (the folder check refuses
    // such an archive too).
    if (payloadBytes == 0 && !o.allowEmpty) {
        fprintf(stderr,
                "modemflash wrap: [%s] is empty: an archive with no payload programs nothing "
                "(--allow-empty makes one anyway)\n",
                o.payload.c_str());
        return cli::EXIT_FAILED;
    }
    std::error_code ec;
    int outKind = file_Type(o.out.c_str(), nullptr);
    if (outKind != FILE_TYPE_MISSING && outKind != FILE_TYPE_REGULAR) {
        fprintf(stderr, "modemflash wrap: [%s] is %s, not a file to write\n", o.out.c_str(),
                file_TypeName(outKind));
        return cli::EXIT_FAILED;
    }
    if (outKind == FILE_TYPE_REGULAR && std::filesystem::equivalent(o.payload, o.out, ec)) {
        fprintf(stderr, "modemflash wrap: the archive [%s] would overwrite its own payload\n",
                o.out.c_str());
        return cli::EXIT_FAILED;
    }
    layout.signatureType = o.signatureType;
    layout.headerLength = o.headerLength;
    layout.extended = o.extended;
    std::string error;
    if (!archive_WrapFile(o.payload.c_str(), o.out.c_str(), layout, &error)) {
        fprintf(stderr, "modemflash wrap: %s\n", error.c_str());
        return cli::EXIT_FAILED;
    }
    uint32_t id = layout.archiveIdWord & ARCHIVE_ID_MASK;
    int entry = archive_FindId(id);
    printf("%s: %s archive (ID %u), %u-byte header%s, %s\n", o.out.c_str(),
           entry >= 0 ? g_archiveIds[entry].shortName : "unnamed", id, layout.headerLength,
           layout.extended ? " (extended form)" : "", archive_SignatureName(layout.signatureType));
    return cli::EXIT_OK;
}

const cli::CommandRegistrar wrapCommand{
    "wrap", "Make a wrapped archive from a payload file", [](CLI::App& app) {
        auto o = std::make_shared<WrapOptions>();
        app.add_option("--id", o->id,
                       "Archive ID word (decimal or 0x hex); bits 0-23 name the archive, e.g. "
                       "3 LDR, 0 MDM")
            ->required();
        app.add_option("--sig", o->signatureType, "Signature type: 0 SHA1, 1 SHA1/RSA")
            ->required()
            ->check(CLI::Range(0, 1));
        app.add_option("--header-length", o->headerLength, "Declared header length, 24 to 160")
            ->check(CLI::Range(WRAPPED_BASE_HEADER_SIZE, WRAPPED_HEADER_MAX));
        app.add_flag("--extended", o->extended,
                     "Extended form: a 24-byte header balanced together with the first 8 "
                     "payload bytes");
        app.add_flag("--allow-empty", o->allowEmpty,
                     "Make the archive even when the payload file is empty (a header alone)");
        app.add_option("PAYLOAD", o->payload, "Payload file")->required();
        app.add_option("OUT", o->out, "Archive to write")->required();
        app.footer(
            "Exit status:\n  0  archive written\n  1  the payload could not be read (or is empty, "
            "without --allow-empty) or the archive not written\n  2  the command line was not "
            "understood\n");
        return cli::Action([o] { return runWrap(*o); });
    }};

}  // namespace
