// The archive reader: every check in its order, with the exact messages.
#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>

#include "archive_test_support.h"
#include "engine/archive.h"
#include "engine/port_context.h"
#include "support/test_support.h"

using namespace archivetest;

namespace {

const char kFormat[] = "\n#Error: incorrect archive format [a.wrapped]\n\n";
const char kTag[] = "\n#Error: incorrect archive tag [a.wrapped] (not a wrapped file?)\n\n";
const char kChecksum[] = "\n#Error: incorrect archive file [a.wrapped]\n\n";

Bytes valid(uint32_t length, size_t payload, uint32_t idWord = 3, uint32_t sig = 0) {
    Bytes h = rawHeader(length, static_cast<uint32_t>(payload), idWord, sig);
    balance(h, length);
    return withPayload(h, payload);
}

// --- Framing: size, length word, magic, in that order -------------------------------------

TEST(ReaderFraming, ASevenByteFileIsNotAnArchive) {
    Bytes b = valid(24, 0);
    b.resize(7);
    ReadResult r = readArchive(b);
    EXPECT_EQ(r.result, -1);
    EXPECT_EQ(r.errors, kFormat);
    EXPECT_EQ(r.info, "");
}

TEST(ReaderFraming, ALengthWordOfEightIsRefusedDespiteTheRightMagic) {
    Bytes b = valid(24, 16);
    putLe32(b, 4, 8);
    ReadResult r = readArchive(b);
    EXPECT_EQ(r.result, -1);
    EXPECT_EQ(r.errors, kFormat);
}

TEST(ReaderFraming, ALengthWordOfNineIsNotRefusedAsFormat) {
    // 9 passes the length check and reaches the size rule: 9 + 31 = 40 bytes.
    Bytes b = rawHeader(24, 0);
    putLe32(b, 4, 9);
    putLe32(b, 8, 31);
    b.resize(40, 0);
    ReadResult r = readArchive(b);
    EXPECT_NE(r.errors, kFormat);
}

TEST(ReaderFraming, LengthChecksComeBeforeTheMagicCheck) {
    Bytes b = valid(24, 100);
    putLe32(b, 0, 0xDEADBEEF);
    putLe32(b, 4, 0);
    ReadResult r = readArchive(b);
    EXPECT_EQ(r.result, -1);
    EXPECT_EQ(r.errors, kFormat);
}

TEST(ReaderFraming, ALengthBeyondTheFileIsAFormatErrorEvenWithAWrongMagic) {
    Bytes b = valid(24, 10);
    putLe32(b, 0, 0x12345678);
    putLe32(b, 4, 35);  // file is 34 bytes
    EXPECT_EQ(readArchive(b).errors, kFormat);
    putLe32(b, 4, 34);  // exactly the file: the magic is looked at
    EXPECT_EQ(readArchive(b).errors, kTag);
}

TEST(ReaderFraming, APlausibleLengthWithAWrongMagicIsATagError) {
    Bytes b = valid(24, 100);
    b[3] = 0x1D;  // 0x1DE8040A
    ReadResult r = readArchive(b);
    EXPECT_EQ(r.result, -1);
    EXPECT_EQ(r.errors, kTag);
    EXPECT_EQ(r.info, "");
}

// --- Header length and the buffer ---------------------------------------------------------

TEST(ReaderLength, ADeclaredLengthAbove160IsRefusedBeforeTheHeaderIsRead) {
    Bytes b = valid(24, 400);
    putLe32(b, 4, 161);
    ReadResult r = readArchive(b, "a.wrapped", 0xEE);
    EXPECT_EQ(r.result, -1);
    EXPECT_EQ(r.errors,
              "\n#Error: archive header of 161 bytes is longer than 160 bytes [a.wrapped]\n\n");
    EXPECT_EQ(r.info, "");
    // Only the first 8 bytes were read into the (cleared) buffer.
    for (int i = 8; i < WRAPPED_HEADER_MAX; ++i) ASSERT_EQ(r.header[i], 0) << "offset " << i;
}

TEST(ReaderLength, A160ByteHeaderIsAccepted) {
    ReadResult r = readArchive(valid(160, 50));
    EXPECT_EQ(r.result, 160);
    EXPECT_EQ(r.position, 160);
}

TEST(ReaderLength, A160ByteHeaderThatFailsItsChecksumIsNotReadPastTheBuffer) {
    Bytes b = valid(160, 50);
    b[100] ^= 0x40;
    ReadResult r = readArchive(b);
    EXPECT_EQ(r.result, -1);
    EXPECT_EQ(r.errors, kChecksum);
    // The extended form is not tried above 152: the payload's first bytes stay in the file.
    EXPECT_EQ(r.position, 160);
}

TEST(ReaderLength, AShortDeclaredHeaderReadsTheMissingFieldsAsZero) {
    // Declared length 16: archive ID and signature type lie beyond it and read as 0, although
    // the file holds other bytes there.
    Bytes h = rawHeader(24, 0, 0x7, 1);
    putLe32(h, 4, 16);
    h.resize(16);
    Bytes b = withPayload(h, 20);
    putLe32(b, 8, 20);
    balance(b, 16);
    ReadResult r = readArchive(b, "a.wrapped", 0xEE);
    EXPECT_EQ(r.result, 16);
    EXPECT_EQ(r.position, 16);
    EXPECT_EQ(r.info, "\n\nLoading MDM archive [0 KB, SHA1]...\n");
    for (int i = 16; i < WRAPPED_HEADER_MAX; ++i) ASSERT_EQ(r.header[i], 0) << "offset " << i;
}

// --- Size rule -----------------------------------------------------------------------------

TEST(ReaderSize, ADeclaredLengthEqualToTheFileWithNoPayloadPasses) {
    ReadResult r = readArchive(valid(24, 0));
    EXPECT_EQ(r.result, 24);
    EXPECT_EQ(r.errors, "");
}

TEST(ReaderSize, AWrongPayloadSizeShowsTheHeadersNumberFirst) {
    Bytes b = valid(24, 50);
    putLe32(b, 8, 100);
    balance(b, 24);
    ReadResult r = readArchive(b);
    EXPECT_EQ(r.result, -1);
    EXPECT_EQ(r.errors,
              "\n#Error: Header has incorrect file size 100 instead of 50 [a.wrapped]\n\n");
    EXPECT_EQ(r.info, "") << "the archive line comes after the size rule";
}

TEST(ReaderSize, ASizeAboveTwoGigabytesIsShownAsASignedNumber) {
    Bytes b = valid(24, 8);
    putLe32(b, 8, 0x80000000u);
    ReadResult r = readArchive(b);
    EXPECT_EQ(r.errors,
              "\n#Error: Header has incorrect file size -2147483648 instead of 8 [a.wrapped]\n\n");
}

// --- The archive line ----------------------------------------------------------------------

TEST(ReaderArchiveLine, NamesTheArchiveFromTheTable) {
    ReadResult r = readArchive(valid(24, 2048, 3, 1));
    EXPECT_EQ(r.result, 24);
    EXPECT_EQ(r.info, "\n\nLoading LDR archive [2 KB, SHA1/RSA]...\n");
}

TEST(ReaderArchiveLine, OnlyTheLow24BitsOfTheIdWordCount) {
    ReadResult r = readArchive(valid(24, 10, 0xFF000007u));
    EXPECT_EQ(r.result, 24);
    EXPECT_EQ(r.info, "\n\nLoading MASS archive [0 KB, SHA1]...\n");
}

TEST(ReaderArchiveLine, AnIdMissingFromTheTableIsNoError) {
    ReadResult r = readArchive(valid(24, 3000, 10));
    EXPECT_EQ(r.result, 24);
    EXPECT_EQ(r.info, "\nTry to load archive with ID 10 [2 KB, SHA1]...\n");
    EXPECT_EQ(r.errors, "");
}

TEST(ReaderArchiveLine, KilobytesAreTruncated) {
    EXPECT_EQ(readArchive(valid(24, 1023)).info, "\n\nLoading LDR archive [0 KB, SHA1]...\n");
    EXPECT_EQ(readArchive(valid(24, 1024)).info, "\n\nLoading LDR archive [1 KB, SHA1]...\n");
    EXPECT_EQ(readArchive(valid(24, 2047)).info, "\n\nLoading LDR archive [1 KB, SHA1]...\n");
}

TEST(ReaderArchiveLine, AnUnknownSignatureTypeIsNamedUnknownAndAccepted) {
    ReadResult r = readArchive(valid(24, 10, 5, 7));
    EXPECT_EQ(r.result, 24);
    EXPECT_EQ(r.info, "\n\nLoading CUSTCFG archive [0 KB, unknown]...\n");
    r = readArchive(valid(24, 10, 5, 0xFFFFFFFFu));
    EXPECT_EQ(r.info, "\n\nLoading CUSTCFG archive [0 KB, unknown]...\n");
}

// --- Checksum and the extended form --------------------------------------------------------

TEST(ReaderChecksum, AnOddLengthOf25LeavesByte24Uncovered) {
    Bytes b = valid(25, 30);
    b[24] ^= 0xFF;
    EXPECT_EQ(readArchive(b).result, 25);
    b[23] ^= 0x01;
    EXPECT_EQ(readArchive(b).result, -1);
}

TEST(ReaderChecksum, ALengthOf26LeavesBytes24And25Uncovered) {
    Bytes b = valid(26, 30);
    b[24] ^= 0x5A;
    b[25] ^= 0xA5;
    ReadResult r = readArchive(b);
    EXPECT_EQ(r.result, 26);
    EXPECT_EQ(r.position, 26);
    EXPECT_EQ(r.header[24], b[24]);
    EXPECT_EQ(r.header[25], b[25]);
}

TEST(ReaderChecksum, TheExtendedFormCountsEightMoreHeaderBytes) {
    // A 24-byte header balanced together with the 8 bytes that follow it.
    Bytes b = rawHeader(24, 40, 2, 1);
    b = withPayload(b, 40, 9);
    uint32_t x = 0;
    for (int i = 0; i < 32; i += 4) x ^= le32(b, i);
    putLe32(b, 12, x);
    ASSERT_NE(le32(b, 24) ^ le32(b, 28), 0u) << "the plain form must fail for this test";
    ReadResult r = readArchive(b);
    EXPECT_EQ(r.result, 32);
    EXPECT_EQ(r.position, 32);
    EXPECT_EQ(memcmp(r.header, b.data(), 32), 0);
    EXPECT_EQ(r.errors, "");
    EXPECT_EQ(r.info, "\n\nLoading IFT archive [0 KB, SHA1/RSA]...\n");
}

TEST(ReaderChecksum, AFailureInBothFormsLogsTheArchiveLineFirst) {
    Bytes b = valid(24, 64, 0, 1);
    b[16] ^= 0x00;
    b[13] ^= 0x10;
    ReadResult r = readArchive(b);
    EXPECT_EQ(r.result, -1);
    EXPECT_EQ(r.all, std::string("\n\nLoading MDM archive [0 KB, SHA1/RSA]...\n") + kChecksum);
}

TEST(ReaderChecksum, AFailedExtendedTryWithTooFewBytesLeftIsRefused) {
    // Payload of 3 bytes: the extended read is short and must not pass by accident.
    Bytes b = valid(24, 3);
    b[12] ^= 1;
    ReadResult r = readArchive(b);
    EXPECT_EQ(r.result, -1);
    EXPECT_EQ(r.errors, kChecksum);
}

// --- Calling conditions --------------------------------------------------------------------

TEST(ReaderCalling, TheFileMayStandAnywhereBeforeTheRead) {
    testsupport::TempDir dir;
    Bytes b = valid(24, 100);
    std::string path = dir.file("x.wrapped");
    FILE* f = fopen(path.c_str(), "w+b");
    fwrite(b.data(), 1, b.size(), f);  // left at the end
    uint8_t header[WRAPPED_HEADER_MAX];
    ctx_LogLevel(2, 0);
    EXPECT_EQ(archive_ReadHeader(2, header, f, "x"), 24);
    EXPECT_EQ(ftell(f), 24);
    fclose(f);
}

TEST(ReaderCalling, ErrorsGoToStandardErrorAtLevelTwo) {
    testsupport::TempDir dir;
    dir.write("short", "1234567");
    FILE* f = fopen(dir.file("short").c_str(), "rb");
    uint8_t header[WRAPPED_HEADER_MAX];
    ctx_LogLevel(3, 2);
    testsupport::CapturedStream err(2);
    EXPECT_EQ(archive_ReadHeader(3, header, f, "short"), -1);
    EXPECT_EQ(err.text(), "\n#Error: incorrect archive format [short]\n\n");
    fclose(f);
    ctx_LogLevel(3, 0);
}

}  // namespace
