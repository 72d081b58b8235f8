// The wrapped-archive reader and its tables.
#include "engine/archive.h"

#include <stdarg.h>
#include <string.h>

#include "platform/file.h"
#include "report/job_observer.h"
#include "report/log.h"

const ArchiveIdEntry g_archiveIds[ARCHIVE_ID_COUNT] = {
    {"MDM", 0, "/app/modem.wrapped", 1, 0, 0},
    {"BT2", 1, "/boot/secondary_boot.wrapped", 0, 0, 0},
    {"IFT", 2, "/app/factory_tests.wrapped", 1, 0, 0},
    {"LDR", 3, "/app/loader.wrapped", 1, 0, 0},
    {"IMEI", 4, "/data/factory/imei.bin", 2, 1, 1},
    {"CUSTCFG", 5, "/data/customConfig.bin", 2, 1, 1},
    {"ZEROCD", 6, "/zero-cd/mass0.bin", 3, 0x100, 1},
    {"MASS", 7, "/app/mass_storage.wrapped", 1, 0, 0},
    {"AUDIOCFG", 8, "/data/audioConfig.bin", 3, 0, 1},
    {"COMPAT", 9, "/data/compatibility.bin", 3, 0, 1},
};

const char* const g_signatureTypeNames[SIGNATURE_TYPE_COUNT] = {"SHA1", "SHA1/RSA"};

namespace {

const char kFormatError[] = "\n#Error: incorrect archive format [%s]\n\n";
const char kTagError[] = "\n#Error: incorrect archive tag [%s] (not a wrapped file?)\n\n";
const char kSizeError[] = "\n#Error: Header has incorrect file size %d instead of %d [%s]\n\n";
const char kChecksumError[] = "\n#Error: incorrect archive file [%s]\n\n";
// A header longer than the buffer cannot be read, let alone sent: refused before it is read.
const char kTooLongError[] =
    "\n#Error: archive header of %u bytes is longer than %d bytes [%s]\n\n";

}  // namespace

int archive_FindId(uint32_t id) {
    for (int i = 0; i < ARCHIVE_ID_COUNT; ++i) {
        if (g_archiveIds[i].id == id) return i;
    }
    return -1;
}

const char* archive_SignatureName(uint32_t signatureType) {
    return signatureType < SIGNATURE_TYPE_COUNT ? g_signatureTypeNames[signatureType] : "unknown";
}

uint32_t archive_Le32(const uint8_t* b) {
    return static_cast<uint32_t>(b[0]) | static_cast<uint32_t>(b[1]) << 8 |
           static_cast<uint32_t>(b[2]) << 16 | static_cast<uint32_t>(b[3]) << 24;
}

uint32_t archive_XorSum32(const uint8_t* bytes, uint32_t length) {
    uint32_t sum = 0;
    for (uint32_t i = 0; i + 4 <= length; i += 4) sum ^= archive_Le32(bytes + i);
    return sum;
}

WrappedHeader archive_DecodeHeader(const uint8_t* h) {
    WrappedHeader w;
    w.magic = archive_Le32(h + WRAPPED_OFFSET_MAGIC);
    w.headerLength = archive_Le32(h + WRAPPED_OFFSET_HEADER_LENGTH);
    w.payloadSize = archive_Le32(h + WRAPPED_OFFSET_PAYLOAD_SIZE);
    w.balance = archive_Le32(h + WRAPPED_OFFSET_BALANCE);
    w.archiveIdWord = archive_Le32(h + WRAPPED_OFFSET_ARCHIVE_ID);
    w.signatureType = archive_Le32(h + WRAPPED_OFFSET_SIGNATURE_TYPE);
    return w;
}

namespace {

// Formats a message into the check's text (the message keeps its own line breaks).
void say(ArchiveCheck* out, const char* format, ...) MF_PRINTF(2, 3);
void say(ArchiveCheck* out, const char* format, ...) {
    va_list args;
    va_start(args, format);
    vsnprintf(out->error, sizeof out->error, format, args);
    va_end(args);
}

int fail(ArchiveCheck* out, int failure) {
    out->failure = failure;
    out->length = -1;
    return -1;
}

}  // namespace

int archive_CheckHeader(uint8_t* header, FILE* file, const char* path, ArchiveCheck* out) {
    if (out == nullptr) return -1;
    memset(out, 0, sizeof *out);
    out->length = -1;
    if (path == nullptr) path = "";
    if (header == nullptr || file == nullptr) {
        say(out, kFormatError, path);
        return fail(out, ARCHIVE_FAIL_FORMAT);
    }
    memset(header, 0, WRAPPED_HEADER_MAX);

    // A file whose size cannot be told (not seekable) is no archive we can check.
    long end = -1;
    if (fseek(file, 0, SEEK_END) == 0) end = ftell(file);
    rewind(file);
    out->fileSize = end;
    if (end < 8) {
        say(out, kFormatError, path);
        return fail(out, ARCHIVE_FAIL_FORMAT);
    }
    const uint64_t fileSize = static_cast<uint64_t>(end);

    // Short reads are not checked: the size tests guarantee the bytes are there, and what a
    // short read leaves untouched stays zero.
    (void)file_Read(header, 1, 8, file);
    const uint32_t declared = archive_Le32(header + WRAPPED_OFFSET_HEADER_LENGTH);
    out->declaredLength = declared;
    // The length checks come before the magic check.
    if (declared < WRAPPED_HEADER_MIN_VALID || fileSize < declared) {
        say(out, kFormatError, path);
        return fail(out, ARCHIVE_FAIL_FORMAT);
    }
    if (archive_Le32(header + WRAPPED_OFFSET_MAGIC) != WRAPPED_MAGIC) {
        say(out, kTagError, path);
        return fail(out, ARCHIVE_FAIL_TAG);
    }
    if (declared > WRAPPED_HEADER_MAX) {
        say(out, kTooLongError, declared, WRAPPED_HEADER_MAX, path);
        return fail(out, ARCHIVE_FAIL_TOO_LONG);
    }
    (void)file_Read(header + 8, 1, declared - 8, file);

    // Compared in 64 bits, so that a file of 4 GiB or more never matches by wrapping.
    const uint32_t payload = archive_Le32(header + WRAPPED_OFFSET_PAYLOAD_SIZE);
    out->payloadSize = payload;
    if (fileSize != static_cast<uint64_t>(declared) + payload) {
        say(out, kSizeError, static_cast<int>(payload),
            static_cast<int>(static_cast<uint32_t>(fileSize - declared)), path);
        return fail(out, ARCHIVE_FAIL_SIZE);
    }

    // From here on the header names its archive, whatever the checksum says.
    out->named = 1;
    out->archiveId = archive_Le32(header + WRAPPED_OFFSET_ARCHIVE_ID) & ARCHIVE_ID_MASK;
    out->signatureType = archive_Le32(header + WRAPPED_OFFSET_SIGNATURE_TYPE);

    if (archive_XorSum32(header, declared) == 0) return out->length = static_cast<int>(declared);
    if (declared <= WRAPPED_EXTENDED_MAX) {
        (void)file_Read(header + WRAPPED_OFFSET_EXTENDED, 1, WRAPPED_EXTENDED_EXTRA, file);
        const uint32_t extended = declared + WRAPPED_EXTENDED_EXTRA;
        if (archive_XorSum32(header, extended) == 0)
            return out->length = static_cast<int>(extended);
    }
    say(out, kChecksumError, path);
    return fail(out, ARCHIVE_FAIL_CHECKSUM);
}

namespace {

// The reader's message as one line for a failure record: without the "#Error: " mark and
// the line breaks around it, inner line breaks as spaces.
void noteReaderMessage(int portIndex, const char* message) {
    char line[JOB_FAILURE_DETAIL_CAPACITY];
    while (*message == '\n' || *message == '\r') ++message;
    if (strncmp(message, "#Error: ", 8) == 0) message += 8;
    size_t n = 0;
    for (; *message && n + 1 < sizeof line; ++message)
        line[n++] = (*message == '\n' || *message == '\r') ? ' ' : *message;
    while (n > 0 && line[n - 1] == ' ') --n;
    line[n] = '\0';
    report_NoteDetail(portIndex, line);
}

}  // namespace

int archive_ReadHeader(int portIndex, uint8_t* header, FILE* file, const char* path) {
    ArchiveCheck check;
    int length = archive_CheckHeader(header, file, path, &check);
    // The archive line comes before the checksum's verdict, as the reader has always logged.
    if (check.named) {
        const char* sig = archive_SignatureName(check.signatureType);
        const int entry = archive_FindId(check.archiveId);
        if (entry >= 0) {
            log_Info(portIndex, "\n");
            log_Info(portIndex, "\nLoading %s archive [%u KB, %s]...\n",
                     g_archiveIds[entry].shortName, check.payloadSize / 1024u, sig);
        } else {
            log_Info(portIndex, "\nTry to load archive with ID %u [%lu KB, %s]...\n",
                     check.archiveId, static_cast<unsigned long>(check.payloadSize / 1024u), sig);
        }
    }
    if (length < 0) {
        log_Error(portIndex, "%s", check.error);
        noteReaderMessage(portIndex, check.error);
    }
    return length;
}
