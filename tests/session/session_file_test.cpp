// Session files written and read back, and every kind of file that is refused.
#include <gtest/gtest.h>
#include <stdio.h>

#include <string>
#include <vector>

#include "session/session_reader.h"
#include "session/session_writer.h"
#include "support/test_support.h"

using namespace session;
using testsupport::TempDir;

namespace {

std::string slurp(const std::string& path) {
    return testsupport::readFile(path);
}

void spit(const std::string& path, const std::string& bytes) {
    FILE* f = fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    fwrite(bytes.data(), 1, bytes.size(), f);
    fclose(f);
}

std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

std::string join(const std::vector<std::string>& lines) {
    std::string s;
    for (const std::string& l : lines) s += l + "\n";
    return s;
}

class SessionFile : public ::testing::Test {
  protected:
    TempDir dir;
    // A small session: an open, a command and its answer, a binary status, the end.
    std::string write(const std::string& name, bool end = true) {
        std::string path = dir.path() + "/" + name;
        SessionWriter w;
        SessionHeader h;
        h.program = "modemflash test";
        h.command = "flash";
        h.started = "2026-01-02T03:04:05Z";
        h.scale = 100;
        std::string error;
        EXPECT_TRUE(w.open(path, h, &error)) << error;
        Json open;
        open["port"] = "COM65";
        open["probe"] = false;
        open["ok"] = true;
        w.add(0, "open", open);
        Json wr;
        wr["count"] = 10;
        wr["sent"] = 10;
        putBytes(wr, "AT%MODE?\r\n", 10);
        w.add(1500, "write", wr);
        Json rd;
        rd["got"] = 2;
        putBytes(rd, "\xAA\x01", 2);
        w.add(2500, "read", rd);
        EXPECT_TRUE(w.flush());
        if (end) {
            EXPECT_TRUE(w.close(3000, false));
        }
        return path;
    }
    bool read(const std::string& path, Session* s, SessionProblem* p, bool partial = false) {
        ReadOptions o;
        o.allowPartial = partial;
        return readSession(path, o, s, p);
    }
};

TEST_F(SessionFile, PlainGzipAndZstdFilesReadBackAsWritten) {
#ifdef _WIN32
    GTEST_SKIP() << "the Windows build reads and writes no compressed session files";
#endif
    for (const char* name : {"s.jsonl", "s.jsonl.gz", "s.jsonl.zst"}) {
        SCOPED_TRACE(name);
        std::string path = write(name);
        Session s;
        SessionProblem p;
        ASSERT_TRUE(read(path, &s, &p)) << p.text();
        EXPECT_EQ(s.header["program"], "modemflash test");
        EXPECT_EQ(s.scale(), 100);
        EXPECT_FALSE(s.wholePayload());
        ASSERT_EQ(s.events.size(), 4u);
        EXPECT_EQ(s.events[1]["text"], "AT%MODE?\r\n");
        EXPECT_EQ(s.events[1]["t"], 1500);
        std::string bytes;
        ASSERT_TRUE(getBytes(s.events[2], &bytes));
        EXPECT_EQ(bytes, "\xAA\x01");
        EXPECT_EQ(s.events[3]["ev"], "end");
        EXPECT_FALSE(s.interrupted);
    }
    EXPECT_EQ(slurp(dir.path() + "/s.jsonl").substr(0, 7), "{\"n\":1,");
    EXPECT_EQ(slurp(dir.path() + "/s.jsonl.gz").substr(0, 2), "\x1f\x8b");
    EXPECT_EQ(slurp(dir.path() + "/s.jsonl.zst").substr(0, 4), "\x28\xb5\x2f\xfd");
}

TEST_F(SessionFile, AnEditedLineIsRefusedAtThatLine) {
    std::vector<std::string> lines = linesOf(slurp(write("s.jsonl")));
    size_t at = lines[2].find("MODE?");
    lines[2].replace(at, 5, "MODE=");
    spit(dir.path() + "/e.jsonl", join(lines));
    Session s;
    SessionProblem p;
    EXPECT_FALSE(read(dir.path() + "/e.jsonl", &s, &p));
    EXPECT_EQ(p.line, 3);
    EXPECT_NE(p.what.find("edited"), std::string::npos) << p.what;
}

TEST_F(SessionFile, ReorderedRepeatedAndMissingLinesAreRefused) {
    std::vector<std::string> lines = linesOf(slurp(write("s.jsonl")));
    std::vector<std::string> swapped = lines, repeated = lines, missing = lines;
    std::swap(swapped[2], swapped[3]);
    repeated.insert(repeated.begin() + 2, lines[1]);
    missing.erase(missing.begin() + 1);
    for (const auto& c : {std::make_pair("swapped", swapped), std::make_pair("repeated", repeated),
                          std::make_pair("missing", missing)}) {
        SCOPED_TRACE(c.first);
        spit(dir.path() + "/r.jsonl", join(c.second));
        Session s;
        SessionProblem p;
        EXPECT_FALSE(read(dir.path() + "/r.jsonl", &s, &p));
        EXPECT_EQ(p.line, c.first == std::string("missing") ? 2 : 3);
        EXPECT_NE(p.what.find("out of order"), std::string::npos) << p.what;
    }
}

TEST_F(SessionFile, ACutShortFileIsRefusedUnlessPartialIsAsked) {
    std::string text = slurp(write("s.jsonl"));
    // Cut inside the last line, and cut at a line end (the end line lost).
    std::string inLine = text.substr(0, text.size() - 10);
    std::vector<std::string> lines = linesOf(text);
    lines.pop_back();
    for (const auto& c : {std::make_pair(std::string("in a line"), inLine),
                          std::make_pair(std::string("at a line end"), join(lines))}) {
        SCOPED_TRACE(c.first);
        spit(dir.path() + "/c.jsonl", c.second);
        Session s;
        SessionProblem p;
        EXPECT_FALSE(read(dir.path() + "/c.jsonl", &s, &p));
        EXPECT_EQ(p.line, c.first == "in a line" ? 5 : 4);  // the cut line, or the last one
        ASSERT_TRUE(read(dir.path() + "/c.jsonl", &s, &p, true)) << p.text();
        EXPECT_TRUE(s.interrupted);
        ASSERT_EQ(s.events.size(), 3u);  // open, write, read: up to the last whole line
        EXPECT_EQ(s.events.back()["ev"], "read");
    }
}

TEST_F(SessionFile, ACompressedFileCutShortReadsUpToItsLastFlush) {
#ifdef _WIN32
    GTEST_SKIP() << "the Windows build reads and writes no compressed session files";
#endif
    std::string path = write("k.jsonl.zst", false);  // flushed, never closed: as if killed
    for (const std::string& p : {path}) {
        Session s;
        SessionProblem problem;
        EXPECT_FALSE(read(p, &s, &problem));
        ASSERT_TRUE(read(p, &s, &problem, true)) << problem.text();
        EXPECT_EQ(s.events.size(), 3u);
    }
    std::string gz = write("k.jsonl.gz");
    std::string bytes = slurp(gz);
    spit(gz, bytes.substr(0, bytes.size() - 12));  // the stream's end lost
    Session s;
    SessionProblem problem;
    EXPECT_FALSE(read(gz, &s, &problem));
    EXPECT_NE(problem.what.find("compressed stream ends early"), std::string::npos) << problem.what;
    EXPECT_TRUE(read(gz, &s, &problem, true)) << problem.text();
}

TEST_F(SessionFile, ForeignFilesAreNotSessions) {
#ifdef _WIN32
    GTEST_SKIP() << "the Windows build reads and writes no compressed session files";
#endif
    struct Case {
        const char* name;
        std::string bytes;
        const char* why;
    } cases[] = {
        {"empty", "", "empty"},
        {"text", "hello\n", "not a modemflash session"},
        {"other json", "{\"type\":\"log\",\"text\":\"x\"}\n", "not a modemflash session"},
        {"binary",
         std::string("\x7f"
                     "ELF\x02\x01\x01\0\0",
                     9),
         "not a modemflash session"},
        {"bad gzip", std::string("\x1f\x8b\x08\x00garbage", 11), "not a gzip stream"},
        {"bad zstd", std::string("\x28\xb5\x2f\xfdgarbage", 11), "not a zstd stream"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        spit(dir.path() + "/f", c.bytes);
        Session s;
        SessionProblem p;
        EXPECT_FALSE(read(dir.path() + "/f", &s, &p));
        EXPECT_NE(p.text().find(c.why), std::string::npos) << p.text();
    }
    Session s;
    SessionProblem p;
    EXPECT_FALSE(read(dir.path() + "/none", &s, &p));
    EXPECT_FALSE(read(dir.path(), &s, &p));  // a directory
}

TEST_F(SessionFile, ANewerVersionAndUnknownKindsAreRefused) {
    // Sealed as the writer seals, so that only the content is wrong.
    auto sealed = [](const std::vector<std::string>& bodies) {
        std::string crc, text;
        for (const std::string& b : bodies) {
            crc = sealOf(crc, b);
            text += b + ",\"crc\":\"" + crc + "\"}\n";
        }
        return text;
    };
    const std::string head =
        "{\"n\":1,\"ev\":\"session\",\"format\":\"modemflash-session\",\"version\":";
    struct Case {
        std::vector<std::string> bodies;
        int line;
        const char* why;
    } cases[] = {
        {{head + "2"}, 1, "newer than this program reads"},
        {{head + "1", "{\"n\":2,\"t\":0,\"ev\":\"teleport\""}, 2, "unknown kind"},
        {{head + "1", "{\"n\":2,\"t\":5,\"ev\":\"note\"", "{\"n\":3,\"t\":4,\"ev\":\"note\""},
         3,
         "before the previous line"},
        {{head + "1", "{\"n\":2,\"t\":0,\"ev\":\"read\",\"got\":3,\"hex\":\"aa01\""},
         2,
         "not as many"},
        {{head + "1", "{\"n\":2,\"t\":0,\"ev\":\"write\",\"sent\":1"}, 2, "without count or sent"},
        {{head + "1", "{\"n\":2,\"t\":0,\"ev\":\"end\"", "{\"n\":3,\"t\":0,\"ev\":\"note\""},
         3,
         "after the session's end"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.why);
        spit(dir.path() + "/v.jsonl", sealed(c.bodies));
        Session s;
        SessionProblem p;
        EXPECT_FALSE(read(dir.path() + "/v.jsonl", &s, &p));
        EXPECT_EQ(p.line, c.line) << p.what;
        EXPECT_NE(p.what.find(c.why), std::string::npos) << p.what;
    }
}

TEST(SessionSeal, IsTheCrc32OfTheChain) {
    EXPECT_EQ(crc32Update(0, "123456789", 9), 0xCBF43926u);  // the check value of CRC-32
    EXPECT_EQ(sealOf("", "123456789"), "cbf43926");
    EXPECT_NE(sealOf("cbf43926", "x"), sealOf("", "x"));
}

}  // namespace
