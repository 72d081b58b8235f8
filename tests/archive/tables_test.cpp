// The archive ID table, the signature-type names and the 32-bit XOR.
#include <gtest/gtest.h>
#include <string.h>

#include "engine/archive.h"

namespace {

TEST(ArchiveIdTable, HoldsTheTenEntriesInOrder) {
    const char* names[] = {"MDM",     "BT2",    "IFT",  "LDR",      "IMEI",
                           "CUSTCFG", "ZEROCD", "MASS", "AUDIOCFG", "COMPAT"};
    for (int i = 0; i < ARCHIVE_ID_COUNT; ++i) {
        EXPECT_STREQ(g_archiveIds[i].shortName, names[i]);
        EXPECT_EQ(g_archiveIds[i].id, static_cast<uint32_t>(i));
    }
    EXPECT_STREQ(g_archiveIds[6].devicePath, "/zero-cd/mass0.bin");
    EXPECT_EQ(g_archiveIds[6].valueA, 3u);
    EXPECT_EQ(g_archiveIds[6].valueB, 0x100u);
    EXPECT_EQ(g_archiveIds[6].valueC, 1u);
    EXPECT_STREQ(g_archiveIds[1].devicePath, "/boot/secondary_boot.wrapped");
    EXPECT_EQ(g_archiveIds[1].valueA, 0u);
    EXPECT_STREQ(g_archiveIds[4].devicePath, "/data/factory/imei.bin");
    EXPECT_EQ(g_archiveIds[4].valueB, 1u);
}

TEST(ArchiveIdTable, FindsIdsAndRefusesOthers) {
    EXPECT_EQ(archive_FindId(0), 0);
    EXPECT_EQ(archive_FindId(7), 7);
    EXPECT_EQ(archive_FindId(9), 9);
    EXPECT_EQ(archive_FindId(10), -1);
    EXPECT_EQ(archive_FindId(0xFF000007u), -1);  // the caller masks, the lookup does not
}

TEST(SignatureNames, NameTypesZeroAndOneOnly) {
    EXPECT_STREQ(archive_SignatureName(0), "SHA1");
    EXPECT_STREQ(archive_SignatureName(1), "SHA1/RSA");
    EXPECT_STREQ(archive_SignatureName(2), "unknown");
    EXPECT_STREQ(archive_SignatureName(0x80000000u), "unknown");
}

TEST(XorSum32, IsZeroBelowOneWord) {
    const uint8_t b[3] = {1, 2, 3};
    EXPECT_EQ(archive_XorSum32(b, 0), 0u);
    EXPECT_EQ(archive_XorSum32(b, 3), 0u);
}

TEST(XorSum32, ReadsLittleEndianWordsAndIgnoresTrailingBytes) {
    const uint8_t b[11] = {0x01, 0x02, 0x03, 0x04, 0x10, 0x20, 0x30, 0x40, 0xFF, 0xFF, 0xFF};
    EXPECT_EQ(archive_XorSum32(b, 4), 0x04030201u);
    EXPECT_EQ(archive_XorSum32(b, 8), 0x04030201u ^ 0x40302010u);
    EXPECT_EQ(archive_XorSum32(b, 11), 0x04030201u ^ 0x40302010u);
}

}  // namespace
