// Wrapped archives: the header every firmware image starts with, the tables that name
// archives in the log, and the reader that validates a header before the block transfer.
//
// File layout (all fields little-endian, offsets from the start of the file):
//   0  magic            WRAPPED_MAGIC
//   4  header length    D, bytes counted from offset 0
//   8  payload size     P, bytes that follow the header; a valid file holds D + P bytes
//  12  balance word     not read; the writer puts the word here that zeroes the XOR
//  16  archive ID word  bits 0-23 archive ID, bits 24-31 not read
//  20  signature type   0 "SHA1", 1 "SHA1/RSA"
//  24  further header bytes up to D, sent to the modem with the rest
// The XOR of the 32-bit words in the first 4*floor(D/4) bytes is 0. A header failing that
// gets one more try in the extended form: the 8 file bytes after it, placed at offsets 24-31,
// must zero the XOR over D + 8 bytes; the header then counts as D + 8 bytes long.
#ifndef MODEMFLASH_ENGINE_ARCHIVE_H
#define MODEMFLASH_ENGINE_ARCHIVE_H

#include <stdint.h>
#include <stdio.h>

#define WRAPPED_MAGIC 0x1CE8040Au
#define WRAPPED_HEADER_MAX 160      // size of the caller's header buffer
#define WRAPPED_HEADER_MIN_VALID 9  // a declared length of 8 or less is refused
#define WRAPPED_EXTENDED_EXTRA 8    // bytes the extended form adds to the header
#define WRAPPED_EXTENDED_MAX (WRAPPED_HEADER_MAX - WRAPPED_EXTENDED_EXTRA)  // 152
#define WRAPPED_BASE_HEADER_SIZE 24  // the fields up to and including the signature type

// Field offsets.
#define WRAPPED_OFFSET_MAGIC 0
#define WRAPPED_OFFSET_HEADER_LENGTH 4
#define WRAPPED_OFFSET_PAYLOAD_SIZE 8
#define WRAPPED_OFFSET_BALANCE 12
#define WRAPPED_OFFSET_ARCHIVE_ID 16
#define WRAPPED_OFFSET_SIGNATURE_TYPE 20
#define WRAPPED_OFFSET_EXTENDED 24  // where the extended form's 8 bytes are placed

#define ARCHIVE_ID_MASK 0xFFFFFFu
#define ARCHIVE_ID_COUNT 10
#define SIGNATURE_TYPE_COUNT 2

// The fields of a header, decoded from its little-endian bytes (see archive_DecodeHeader).
struct WrappedHeader {
    uint32_t magic;
    uint32_t headerLength;
    uint32_t payloadSize;
    uint32_t balance;
    uint32_t archiveIdWord;
    uint32_t signatureType;
};

// One entry of the archive ID table. Only shortName and id are read by the engine; the
// device path (a path in the modem's file system) and the three values are carried as data.
struct ArchiveIdEntry {
    const char* shortName;
    uint32_t id;
    const char* devicePath;
    uint32_t valueA;
    uint32_t valueB;
    uint32_t valueC;
};

// The archive ID table, 10 entries in lookup order.
extern const ArchiveIdEntry g_archiveIds[ARCHIVE_ID_COUNT];
// The signature-type names, indexed by the signature-type word.
extern const char* const g_signatureTypeNames[SIGNATURE_TYPE_COUNT];

// The index (0-9) of the first table entry whose ID equals id, or -1.
int archive_FindId(uint32_t id);

// The name of a signature-type word: "SHA1", "SHA1/RSA", or "unknown" for any other value.
const char* archive_SignatureName(uint32_t signatureType);

// The XOR of the floor(length / 4) little-endian 32-bit words at the start of bytes; 0 when
// length < 4. Bytes past the last whole word are ignored.
uint32_t archive_XorSum32(const uint8_t* bytes, uint32_t length);

// The 32-bit little-endian value at bytes[0..3].
uint32_t archive_Le32(const uint8_t* bytes);
// Decodes the first 24 bytes of a header buffer.
WrappedHeader archive_DecodeHeader(const uint8_t* header);

// What archive_CheckHeader found. error holds the reader's message (with its line breaks)
// when length is -1; named is 1 once the header passed the size rule, and then archiveId
// (low 24 bits) and signatureType are those of the header; payloadSize is the header's from
// the size rule on (ARCHIVE_FAIL_SIZE included).
#define ARCHIVE_CHECK_TEXT_MAX 4400  // a message with a path of up to 4096 characters
enum ArchiveFailure {
    ARCHIVE_FAIL_NONE = 0,
    ARCHIVE_FAIL_FORMAT,    // shorter than 8 bytes, or a declared length <= 8 or past the end
    ARCHIVE_FAIL_TAG,       // wrong magic word
    ARCHIVE_FAIL_TOO_LONG,  // a declared length above WRAPPED_HEADER_MAX
    ARCHIVE_FAIL_SIZE,      // file size != declared length + payload size
    ARCHIVE_FAIL_CHECKSUM   // the XOR is not 0 in either form
};
struct ArchiveCheck {
    int length;               // as archive_ReadHeader returns it
    int failure;              // ArchiveFailure
    uint32_t declaredLength;  // once read
    long fileSize;            // -1 when it could not be told
    int named;                // 1 when the fields below are the header's
    uint32_t archiveId;
    uint32_t signatureType;
    uint32_t payloadSize;
    char error[ARCHIVE_CHECK_TEXT_MAX];
};

// The reader without the log: the same checks in the same order as archive_ReadHeader,
// reporting into out instead of a port's log, so that hosts may check archives offline and
// from any thread. Returns out->length.
int archive_CheckHeader(uint8_t* header, FILE* file, const char* path, ArchiveCheck* out);

// Reads and validates the header of an archive open for reading as raw bytes (at any
// position), logging through the port's log. header is the caller's WRAPPED_HEADER_MAX-byte
// buffer; it is cleared first and holds the header bytes afterwards. path appears in
// messages only. Returns the header length L to send (the declared length, or the declared
// length + 8 in the extended form) with the file positioned at byte L, or -1 after logging
// exactly one error. The caller opens and closes the file.
int archive_ReadHeader(int portIndex, uint8_t* header, FILE* file, const char* path);

#endif
