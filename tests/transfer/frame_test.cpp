// The frame checksum, the progress arithmetic and the comparison dump on their own.
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>

#include <string>

#include "engine/transfer.h"
#include "transfer_fixture.h"

using namespace transfertest;

namespace {

TEST(FrameXorSum16, ReadsLittleEndianWordsAndIgnoresAnOddByte) {
    const uint8_t b[5] = {0x01, 0x02, 0x10, 0x20, 0xFF};
    EXPECT_EQ(frame_XorSum16(b, 0), 0);
    EXPECT_EQ(frame_XorSum16(b, 1), 0);
    EXPECT_EQ(frame_XorSum16(b, 2), 0x0201);
    EXPECT_EQ(frame_XorSum16(b, 4), 0x0201 ^ 0x2010);
    EXPECT_EQ(frame_XorSum16(b, 5), 0x0201 ^ 0x2010);
}

TEST(FrameXorSum16, AgreesWithAPlainSumAtEveryLengthAndOffset) {
    Bytes data = randomPayload(300, 77);
    for (size_t from = 0; from < 9; ++from) {
        for (size_t n = 0; n + from <= data.size(); n += 7) {
            ASSERT_EQ(frame_XorSum16(data.data() + from, static_cast<uint32_t>(n)),
                      xor16(data, from, n))
                << "from " << from << " length " << n;
        }
    }
}

TEST(ProgressValue, FirstBlockReportsTheBase) {
    EXPECT_EQ(load_ProgressValue(15, 40, 32768, 32768), 15);
}

TEST(ProgressValue, HalfOfThePayloadGivesHalfTheShare) {
    EXPECT_EQ(load_ProgressValue(15, 40, 32768, 16384), 35);
}

TEST(ProgressValue, TruncatesBothDivisions) {
    EXPECT_EQ(load_ProgressValue(15, 40, 16385, 1), 54);  // pct 99, 39.6 -> 39
    EXPECT_EQ(load_ProgressValue(0, 80, 3, 2), 26);       // pct 33, 26.4 -> 26
}

TEST(ProgressValue, DoesNotWrapForPayloadsAbove42949672Bytes) {
    // 100 * 42,949,673 is above 2^32: in 32 bits the value wraps to a few per cent.
    const uint32_t total = 42949673u + 16384u * 1000u;
    EXPECT_EQ(load_ProgressValue(15, 40, total, 16384), 15 + 39);
    EXPECT_EQ(load_ProgressValue(15, 40, total, total / 2), 35);
    const uint32_t huge = 0xFFFFFFF0u;
    EXPECT_EQ(load_ProgressValue(15, 40, huge, 16), 15 + 39);
    EXPECT_EQ(load_ProgressValue(0, 100, huge, 0), 100);
    // The 32-bit arithmetic the mend replaces would have given something else.
    uint32_t wrapped = 100u * (total - 16384u) / total;
    EXPECT_NE(static_cast<int>(15 + (wrapped * 40u) / 100u), 54);
}

TEST(ProgressValue, NeverGoesBackwardsOverALargePayload) {
    const uint32_t total = 100u * 1024u * 1024u + 3u;
    int last = -1;
    for (uint32_t sent = 0; sent < total; sent += 16384u) {
        int v = load_ProgressValue(15, 40, total, total - sent);
        ASSERT_GE(v, last) << "at " << sent;
        ASSERT_GE(v, 15);
        ASSERT_LT(v, 55);
        last = v;
    }
}

std::string dumpOf(const Bytes& sent, const Bytes& received) {
    char* text = nullptr;
    size_t size = 0;
    FILE* out = open_memstream(&text, &size);
    load_WriteDump(out, sent.data(), static_cast<int>(sent.size()), received.data(),
                   static_cast<int>(received.size()));
    fclose(out);
    std::string s(text, size);
    free(text);
    return s;
}

TEST(ComparisonDump, AFrameOfSixteenBytesEndsWithARowOfTabs) {
    Bytes sent(16, 0x11);
    Bytes received(16, 0x11);
    received[15] = 0x12;
    std::string row = "11 11 11 11 11 11 11 11 11 11 11 11 11 11 11 ";
    EXPECT_EQ(dumpOf(sent, received), row + "11+\t" + row + "12+\n" + "\t\t\t\t\t\t\t\t\t\t\n\n");
}

TEST(ComparisonDump, BytesBeyondTheReceiveAreaCountAsZero) {
    Bytes sent = {0x00, 0x01, 0x00};
    Bytes received = {0x00};
    EXPECT_EQ(dumpOf(sent, received), "00 01+00 \t\t\t\t\t\t\t\t\t\t00 00+00 \n\n");
}

}  // namespace
