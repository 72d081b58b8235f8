// The console text of modemflash.exe on Windows: the library's lines reach the host through a
// diverted standard stream, and its GBK texts become UTF-8 for a UTF-8 console.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "platform/stream.h"
#include "platform/text.h"

namespace {

struct Collected {
    std::vector<std::string> lines;
    std::vector<FILE*> originals;
};

void collect(void* user, FILE* original, const char* line, size_t length) {
    Collected* c = static_cast<Collected*>(user);
    c->lines.emplace_back(line, length);
    c->originals.push_back(original);
}

TEST(Win32StreamDivert, LinesWrittenToTheStreamReachTheFunctionWholeAndInOrder) {
    Collected c;
    StreamDivert* d = stream_Divert(2, collect, &c);
    ASSERT_NE(d, nullptr);
    FILE* original = stream_Original(d);
    ASSERT_NE(original, nullptr);
    fprintf(stderr, "first line\nsecond ");
    fprintf(stderr, "line\n");
    fputs("no line break at the end", stderr);
    stream_Restore(d);
    ASSERT_EQ(c.lines.size(), 3u);
    // One LF each: the line break is made CR LF once, when the host writes the line out.
    EXPECT_EQ(c.lines[0], "first line\n");
    EXPECT_EQ(c.lines[1], "second line\n");
    EXPECT_EQ(c.lines[2], "no line break at the end");
    for (FILE* f : c.originals) EXPECT_EQ(f, original);
}

TEST(Win32StreamDivert, TheStreamCanBeDivertedAgainAfterItIsRestored) {
    for (int round = 0; round < 3; ++round) {
        Collected c;
        StreamDivert* d = stream_Divert(1, collect, &c);
        ASSERT_NE(d, nullptr);
        printf("round %d\n", round);
        stream_Restore(d);
        ASSERT_EQ(c.lines.size(), 1u);
        EXPECT_EQ(c.lines[0], "round " + std::to_string(round) + "\n");
    }
}

TEST(Win32StreamDivert, ABadStreamOrNoFunctionIsRefused) {
    Collected c;
    EXPECT_EQ(stream_Divert(0, collect, &c), nullptr);
    EXPECT_EQ(stream_Divert(3, collect, &c), nullptr);
    EXPECT_EQ(stream_Divert(2, nullptr, &c), nullptr);
    stream_Restore(nullptr);
}

TEST(Win32Text, TheLoaderRefusalBecomesUtf8) {
    // "进入download模式失败", as the library writes it (GBK) and as a UTF-8 console shows it.
    const char gbk[] =
        "\xbd\xf8\xc8\xeb"
        "download"
        "\xc4\xa3\xca\xbd\xca\xa7\xb0\xdc";
    char out[64];
    long n = text_GbkToUtf8(gbk, sizeof gbk - 1, out, sizeof out);
    EXPECT_EQ(std::string(out, static_cast<size_t>(n > 0 ? n : 0)),
              "\xe8\xbf\x9b\xe5\x85\xa5"
              "download"
              "\xe6\xa8\xa1\xe5\xbc\x8f\xe5\xa4\xb1\xe8\xb4\xa5");
    // Bytes that are not GBK, and an output that does not fit, are refused.
    EXPECT_EQ(text_GbkToUtf8("\x81", 1, out, sizeof out), -1);
    EXPECT_EQ(text_GbkToUtf8(gbk, sizeof gbk - 1, out, 8), -1);
}

}  // namespace
