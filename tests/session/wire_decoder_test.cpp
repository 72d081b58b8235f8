// The host's protocol taken apart: command lines, header and data frames, their statuses.
#include "session/wire_decoder.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "util/sha256.h"

using namespace session;

namespace {

struct Heard : public WireDecoder::Listener {
    std::vector<std::string> lines;
    std::vector<FrameInfo> frames;
    std::vector<std::string> bytes;
    void onLine(const std::string& t) override { lines.push_back(t); }
    void onFrame(const FrameInfo& f, const std::string& b) override {
        frames.push_back(f);
        bytes.push_back(b);
    }
};

void put32(std::vector<uint8_t>& v, size_t at, uint32_t x) {
    for (int i = 0; i < 4; ++i) v[at + i] = (uint8_t)(x >> (8 * i));
}

// A header frame for an archive of payloadSize bytes (extended: 8 more header bytes).
std::vector<uint8_t> headerFrame(uint32_t payloadSize, uint32_t id, uint16_t block,
                                 bool extended = false) {
    uint32_t len = extended ? 32 : 24;
    std::vector<uint8_t> h(len, 0);
    put32(h, 0, 0x1CE8040A);
    put32(h, 4, 24);
    put32(h, 8, payloadSize);
    put32(h, 16, id);
    if (extended) {
        h[24] = 0x11;  // the extra bytes: the plain form's XOR is then not 0
        h[28] = 0x22;
    }
    uint32_t x = 0;
    for (size_t i = 0; i < len; i += 4)
        x ^= (uint32_t)h[i] | (uint32_t)h[i + 1] << 8 | (uint32_t)h[i + 2] << 16 |
             (uint32_t)h[i + 3] << 24;
    put32(h, 12, x);  // the header's XOR comes to 0
    std::vector<uint8_t> f;
    f.reserve(len + 6);
    f.push_back(0xAA);
    f.push_back(0x73);
    f.push_back((uint8_t)block);
    f.push_back((uint8_t)(block >> 8));
    for (uint8_t b : h) f.push_back(b);
    uint16_t s = wire_XorSum16(f.data(), f.size());
    f.push_back((uint8_t)s);
    f.push_back((uint8_t)(s >> 8));
    return f;
}

std::vector<uint8_t> dataFrame(const std::vector<uint8_t>& payload) {
    std::vector<uint8_t> f;
    f.reserve(payload.size() + 5);
    f.push_back(0xAA);
    f.push_back(0x00);
    for (uint8_t b : payload) f.push_back(b);
    if (payload.size() & 1) f.push_back(0x5A);
    uint16_t s = wire_XorSum16(f.data(), f.size());
    f.push_back((uint8_t)s);
    f.push_back((uint8_t)(s >> 8));
    return f;
}

const uint8_t kOk[2] = {0xAA, 0x01};
const uint8_t kBad[2] = {0xAA, 0x02};

class Decoder : public ::testing::Test {
  protected:
    Heard heard;
    WireDecoder d{&heard};
    void host(const std::string& s) { d.host((const uint8_t*)s.data(), s.size()); }
    void host(const std::vector<uint8_t>& v, size_t piece = 0) {
        if (piece == 0) piece = v.size();
        for (size_t at = 0; at < v.size(); at += piece)
            d.host(v.data() + at, std::min(piece, v.size() - at));
    }
    void modem(const uint8_t* b, size_t n = 2) { d.modem(b, n); }
};

TEST_F(Decoder, LinesEndAtCrWithTheirLfAndAtALoneLf) {
    host("AT\rATI\r");
    host("AT%MODE?\r");
    host("\nAT%LOAD\r\n");
    host("AT+X\nAT");
    EXPECT_EQ(heard.lines, (std::vector<std::string>{"AT", "ATI", "AT%MODE?", "AT%LOAD", "AT+X"}));
    EXPECT_TRUE(heard.frames.empty());
}

TEST_F(Decoder, FramesTakeTheirLengthsFromTheHeaderWhateverTheWrites) {
    std::vector<uint8_t> p1(16384, 7), p2(101, 9);
    host("AT%LOAD\r\n");
    host(headerFrame(16384 + 101, 6, 16384));
    modem(kOk);
    host(dataFrame(p1), 4095);  // in the pieces a pty hands over
    modem(kOk);
    std::vector<uint8_t> last = dataFrame(p2);
    EXPECT_EQ(d.host(last.data(), last.size()), last.size());
    modem(kOk);
    host("AT%PROG=2\r\n");
    ASSERT_EQ(heard.frames.size(), 3u);
    const FrameInfo& h = heard.frames[0];
    EXPECT_EQ(h.kind, FRAME_HEADER);
    EXPECT_EQ(h.length, 30u);
    EXPECT_EQ(h.archiveId, 6u);
    EXPECT_EQ(h.payloadSize, 16485u);
    EXPECT_EQ(h.blockSize, 16384u);
    EXPECT_TRUE(h.sumOk());
    EXPECT_EQ(heard.frames[1].length, 16388u);
    EXPECT_EQ(heard.frames[1].block, 1);
    EXPECT_EQ(heard.frames[1].sha256, mfutil::sha256Hex(p1.data(), p1.size()));
    EXPECT_EQ(heard.frames[2].length, 101u + 5);  // a pad byte after an odd payload
    EXPECT_EQ(heard.frames[2].payload, 101u);
    EXPECT_EQ(heard.frames[2].block, 2);
    EXPECT_EQ(heard.frames[2].sha256, mfutil::sha256Hex(p2.data(), p2.size()));
    EXPECT_TRUE(heard.frames[2].sumOk());
    EXPECT_EQ(heard.lines.back(), "AT%PROG=2");
    EXPECT_EQ(d.remaining(), 0u);
}

TEST_F(Decoder, AnExtendedHeaderCarriesEightPayloadBytes) {
    host(headerFrame(8 + 10, 1, 16384, true));
    modem(kOk);
    host(dataFrame(std::vector<uint8_t>(10, 1)));
    ASSERT_EQ(heard.frames.size(), 2u);
    EXPECT_EQ(heard.frames[0].length, 38u);
    EXPECT_TRUE(heard.frames[0].extended);
    EXPECT_EQ(heard.frames[1].payload, 10u);
}

TEST_F(Decoder, AResentFrameKeepsItsBlockAndAStatusAfterARejectionCountsAsAccepted) {
    std::vector<uint8_t> a(16384, 1), b(16384, 2), c(16, 3);
    host(headerFrame(16384 * 2 + 16, 2, 16384));
    modem(kOk);
    host(dataFrame(a));
    modem(kBad);  // rejected: the same block again
    host(dataFrame(a));
    modem(kOk);
    host(dataFrame(b));
    const uint8_t badThenOk[4] = {0xAA, 0x02, 0xAA, 0x01};
    modem(badThenOk, 4);  // the host counts this one as accepted
    host(dataFrame(c));
    ASSERT_EQ(heard.frames.size(), 5u);
    EXPECT_EQ(heard.frames[1].block, 1);
    EXPECT_EQ(heard.frames[2].block, 1);
    EXPECT_EQ(heard.frames[3].block, 2);
    EXPECT_EQ(heard.frames[4].block, 3);
    EXPECT_EQ(heard.frames[4].length, 20u);
}

TEST_F(Decoder, AFrameOfUnknownLengthEndsWhereTheHostPaused) {
    std::vector<uint8_t> bad = headerFrame(100, 1, 16384);
    bad[5] ^= 0xFF;  // a wrong magic word: no length can be read from it
    host(bad);
    EXPECT_TRUE(heard.frames.empty());
    d.hostPause();
    ASSERT_EQ(heard.frames.size(), 1u);
    EXPECT_EQ(heard.frames[0].length, bad.size());
    EXPECT_EQ(heard.frames[0].expected, 0u);
    modem(kBad);
    host("AT%MODE=0\r\n");  // the host gave up: text again
    EXPECT_EQ(heard.lines.back(), "AT%MODE=0");
}

TEST_F(Decoder, KeepsHeaderFramesWholeAndDataFramesWhenAsked) {
    std::vector<uint8_t> h = headerFrame(4, 3, 16384), d4 = dataFrame({1, 2, 3, 4});
    for (bool whole : {false, true}) {
        Heard h2;
        WireDecoder keep(&h2, whole);
        keep.host(h.data(), h.size());
        keep.modem(kOk, 2);
        keep.host(d4.data(), d4.size());
        ASSERT_EQ(h2.bytes.size(), 2u);
        EXPECT_EQ(h2.bytes[0], std::string(h.begin(), h.end()));
        EXPECT_EQ(h2.bytes[1], whole ? std::string(d4.begin(), d4.end()) : "");
    }
}

}  // namespace
