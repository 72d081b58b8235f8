// The recorder on its own: what a serial call becomes in the session, and a ring that fills.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "recorder/session_recorder.h"
#include "session/session_reader.h"
#include "support/test_support.h"
#include "util/sha256.h"

using session::Json;

namespace {

SerialTapEvent writeOf(SerialHandle port, const std::vector<uint8_t>& bytes) {
    SerialTapEvent e{};
    e.op = SERIAL_TAP_WRITE;
    e.port = port;
    e.data = bytes.data();
    e.count = bytes.size();
    e.result = static_cast<int>(bytes.size());
    return e;
}

SerialTapEvent readOf(SerialHandle port, const void* bytes, int n) {
    SerialTapEvent e{};
    e.op = SERIAL_TAP_READ;
    e.port = port;
    e.data = bytes;
    e.count = 64;
    e.result = n;
    return e;
}

std::vector<uint8_t> frameOf(const std::vector<uint8_t>& payload, uint8_t type) {
    std::vector<uint8_t> f;
    f.reserve(payload.size() + 5);
    f.push_back(0xAA);
    f.push_back(type);
    for (uint8_t b : payload) f.push_back(b);
    if (payload.size() & 1) f.push_back(0);
    uint16_t s = 0;
    for (size_t i = 0; i + 1 < f.size(); i += 2) s ^= (uint16_t)(f[i] | f[i + 1] << 8);
    f.push_back((uint8_t)s);
    f.push_back((uint8_t)(s >> 8));
    return f;
}

std::vector<uint8_t> headerFrameOf(uint32_t payloadSize) {
    std::vector<uint8_t> h(24, 0);
    auto put = [&](size_t at, uint32_t v) {
        for (int i = 0; i < 4; ++i) h[at + i] = (uint8_t)(v >> (8 * i));
    };
    put(0, 0x1CE8040A);
    put(4, 24);
    put(8, payloadSize);
    put(16, 6);
    put(12, 0x1CE8040A ^ 24 ^ payloadSize ^ 6);
    std::vector<uint8_t> f;
    f.reserve(30);
    f.push_back(0xAA);
    f.push_back(0x73);
    f.push_back(0x00);
    f.push_back(0x40);  // blocks of 16384
    for (uint8_t b : h) f.push_back(b);
    uint16_t s = 0;
    for (size_t i = 0; i + 1 < f.size(); i += 2) s ^= (uint16_t)(f[i] | f[i + 1] << 8);
    f.push_back((uint8_t)s);
    f.push_back((uint8_t)(s >> 8));
    return f;
}

TEST(Recorder, AFullRingHoldsUpTheSerialCallsButLosesNothing) {
    testsupport::TempDir dir;
    SessionRecorder rec;
    RecorderOptions o;
    o.path = dir.path() + "/s.jsonl";
    o.program = "test";
    o.command = "flash";
    o.ringBytes = size_t(1) << 18;  // 256 KiB: sixteen frames
    std::string error;
    ASSERT_TRUE(rec.open(o, &error)) << error;
    SerialHandle port = reinterpret_cast<SerialHandle>(0x1234);
    const int blocks = 200;
    std::vector<std::string> sums;
    std::thread host([&] {
        const uint8_t ok[2] = {0xAA, 0x01};
        rec.onSerial(writeOf(port, headerFrameOf(16384u * blocks)));
        rec.onSerial(readOf(port, ok, 2));
        for (int b = 0; b < blocks; ++b) {
            std::vector<uint8_t> payload(16384, static_cast<uint8_t>(b * 7));
            payload[0] = static_cast<uint8_t>(b);
            sums.push_back(mfutil::sha256Hex(payload.data(), payload.size()));
            rec.onSerial(writeOf(port, frameOf(payload, 0x00)));
            rec.onSerial(readOf(port, ok, 2));
        }
    });
    host.join();
    ASSERT_TRUE(rec.close(false));
    session::Session s;
    session::SessionProblem p;
    ASSERT_TRUE(session::readSession(o.path, session::ReadOptions(), &s, &p)) << p.text();
    std::vector<std::string> seen;
    for (const Json& e : s.events)
        if (e["ev"] == "frame" && e["frame"] == "data") {
            EXPECT_EQ(e["block"], static_cast<int>(seen.size()) + 1);
            seen.push_back(e["sha256"].get<std::string>());
        }
    EXPECT_EQ(seen, sums);
}

TEST(Recorder, EventsAfterCloseAreNotRecordedAndCloseIsOnce) {
    testsupport::TempDir dir;
    SessionRecorder rec;
    RecorderOptions o;
    o.path = dir.path() + "/s.jsonl";
    std::string error;
    ASSERT_TRUE(rec.open(o, &error)) << error;
    rec.add("note", Json{{"text", "before"}});
    ASSERT_TRUE(rec.close(true));
    rec.add("note", Json{{"text", "after"}});
    EXPECT_TRUE(rec.close(false));
    session::Session s;
    session::SessionProblem p;
    ASSERT_TRUE(session::readSession(o.path, session::ReadOptions(), &s, &p)) << p.text();
    ASSERT_EQ(s.events.size(), 2u);
    EXPECT_EQ(s.events[0]["text"], "before");
    EXPECT_TRUE(s.interrupted);
}

TEST(Recorder, AnUnwritablePathIsRefused) {
    SessionRecorder rec;
    RecorderOptions o;
    o.path = "/nonexistent-dir/s.jsonl";
    std::string error;
    EXPECT_FALSE(rec.open(o, &error));
    EXPECT_NE(error.find("cannot create"), std::string::npos) << error;
}

}  // namespace
