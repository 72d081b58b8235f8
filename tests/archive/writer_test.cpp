// The archive writer: what it writes is what the reader accepts, in both forms.
#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>

#include "archive_test_support.h"
#include "engine/archive_writer.h"
#include "support/test_support.h"

using namespace archivetest;

namespace {

Bytes payloadOf(size_t n, uint8_t seed = 3) {
    return withPayload(Bytes{}, n, seed);
}

TEST(Writer, WritesTheFieldsAndBalancesTheWordAtOffset12) {
    ArchiveLayout layout;
    layout.archiveIdWord = 0xFF000007u;
    layout.signatureType = 1;
    Bytes a = archive_Build(layout, payloadOf(100));
    ASSERT_EQ(a.size(), 124u);
    EXPECT_EQ(le32(a, 0), WRAPPED_MAGIC);
    EXPECT_EQ(le32(a, 4), 24u);
    EXPECT_EQ(le32(a, 8), 100u);
    EXPECT_EQ(le32(a, 16), 0xFF000007u);
    EXPECT_EQ(le32(a, 20), 1u);
    EXPECT_EQ(le32(a, 12), WRAPPED_MAGIC ^ 24u ^ 100u ^ 0xFF000007u ^ 1u);
    ReadResult r = readArchive(a);
    EXPECT_EQ(r.result, 24);
    EXPECT_EQ(r.info, "\n\nLoading MASS archive [0 KB, SHA1/RSA]...\n");
}

TEST(Writer, LongerHeadersAreAcceptedAtEveryLength) {
    for (uint32_t length = 24; length <= WRAPPED_HEADER_MAX; ++length) {
        ArchiveLayout layout;
        layout.headerLength = length;
        Bytes a = archive_Build(layout, payloadOf(33));
        ASSERT_EQ(a.size(), length + 33u);
        ASSERT_EQ(readArchive(a).result, static_cast<int>(length)) << "length " << length;
    }
}

TEST(Writer, TheExtendedFormReadsAs32Bytes) {
    ArchiveLayout layout;
    layout.archiveIdWord = 2;
    layout.extended = true;
    Bytes p = payloadOf(1000);
    Bytes a = archive_Build(layout, p);
    ASSERT_EQ(a.size(), 1024u);
    EXPECT_NE(archive_XorSum32(a.data(), 24), 0u);
    EXPECT_EQ(archive_XorSum32(a.data(), 32), 0u);
    ReadResult r = readArchive(a);
    EXPECT_EQ(r.result, 32);
    EXPECT_EQ(r.position, 32);
}

TEST(Writer, RefusesAnExtendedFormThatWouldReadAsPlain) {
    ArchiveLayout layout;
    layout.extended = true;
    Bytes p = payloadOf(64);
    memset(p.data(), 0, 4);
    memset(p.data() + 4, 0, 4);
    std::string error;
    EXPECT_TRUE(archive_Build(layout, p, &error).empty());
    EXPECT_NE(error.find("cancel out"), std::string::npos) << error;
}

TEST(Writer, RefusesBadLayouts) {
    std::string error;
    ArchiveLayout layout;
    layout.headerLength = 23;
    EXPECT_TRUE(archive_Build(layout, payloadOf(10), &error).empty());
    layout.headerLength = 161;
    EXPECT_TRUE(archive_Build(layout, payloadOf(10), &error).empty());
    layout.headerLength = 28;
    layout.extended = true;
    EXPECT_TRUE(archive_Build(layout, payloadOf(10), &error).empty());
    layout.headerLength = 24;
    EXPECT_TRUE(archive_Build(layout, payloadOf(7), &error).empty());
    EXPECT_NE(error.find("at least 8"), std::string::npos) << error;
}

TEST(Writer, StreamsAPayloadLargerThanItsChunk) {
    testsupport::TempDir dir;
    const uint32_t size = 200000;
    FILE* out = fopen(dir.file("big.wrapped").c_str(), "wb");
    CPseudoRandomPayload source(42, size);
    ArchiveLayout layout;
    std::string error;
    ASSERT_EQ(archive_Write(out, layout, size, source, &error), 1) << error;
    fclose(out);
    std::string bytes = testsupport::readFile(dir.file("big.wrapped"));
    ASSERT_EQ(bytes.size(), size + 24u);
    // The same seed gives the same bytes.
    Bytes again(size);
    CPseudoRandomPayload second(42, size);
    size_t got = 0;
    while (got < size) got += static_cast<size_t>(second.read(again.data() + got, size - got));
    EXPECT_EQ(memcmp(bytes.data() + 24, again.data(), size), 0);
    EXPECT_EQ(readArchive(Bytes(bytes.begin(), bytes.end())).result, 24);
}

TEST(Writer, ASourceShorterThanAnnouncedFails) {
    testsupport::TempDir dir;
    FILE* out = fopen(dir.file("x").c_str(), "wb");
    Bytes p = payloadOf(100000);
    CMemoryPayload source(p.data(), p.size());
    std::string error;
    EXPECT_EQ(archive_Write(out, ArchiveLayout{}, 100001, source, &error), 0);
    EXPECT_NE(error.find("ends after 100000 of 100001"), std::string::npos) << error;
    fclose(out);
}

TEST(Writer, ASourceLongerThanAnnouncedFails) {
    testsupport::TempDir dir;
    FILE* out = fopen(dir.file("x").c_str(), "wb");
    Bytes p = payloadOf(100);
    CMemoryPayload source(p.data(), p.size());
    std::string error;
    EXPECT_EQ(archive_Write(out, ArchiveLayout{}, 99, source, &error), 0);
    EXPECT_NE(error.find("longer"), std::string::npos) << error;
    fclose(out);
}

TEST(Writer, WrapFileRemovesItsOutputOnFailure) {
    testsupport::TempDir dir;
    std::string error;
    ArchiveLayout layout;
    layout.extended = true;
    dir.write("p", "1234");  // too short for the extended form
    EXPECT_EQ(archive_WrapFile(dir.file("p").c_str(), dir.file("o").c_str(), layout, &error), 0);
    EXPECT_EQ(fopen(dir.file("o").c_str(), "rb"), nullptr);
    EXPECT_EQ(archive_WrapFile(dir.file("missing").c_str(), dir.file("o").c_str(), layout, &error),
              0);
    EXPECT_NE(error.find("cannot open"), std::string::npos) << error;
}

}  // namespace
