// A protocol core under test with a recording output, and helpers to drive a transfer.
#ifndef MODEMFLASH_TESTS_SIM_CORE_FIXTURE_H
#define MODEMFLASH_TESTS_SIM_CORE_FIXTURE_H

#include <memory>
#include <string>

#include "gtest/gtest.h"
#include "sim_core.h"
#include "sim_test_util.h"

namespace simtest {

using modemsim::Core;
using modemsim::CoreConfig;
using modemsim::Scenario;

const std::string kOk = "\r\nOK\r\n";
const std::string kError = "\r\nERROR\r\n";

class CoreTest : public ::testing::Test {
  protected:
    void make(int mode = 0, const std::string& scenarioText = "") {
        Scenario sc;
        std::string err;
        ASSERT_TRUE(modemsim::scenario_Parse(scenarioText, &sc, &err)) << err;
        CoreConfig cfg;
        cfg.initialMode = mode;
        core.reset(new Core(cfg, sc));
    }
    void SetUp() override { make(); }

    std::string send(const std::string& s) {
        now += 1;
        core->feed(reinterpret_cast<const uint8_t*>(s.data()), s.size(), now, out);
        return out.take();
    }
    std::string send(const Bytes& b) { return send(simtest::str(b)); }
    // Lets the host stay quiet long enough for the core to judge a pending frame.
    std::string quiet() {
        now += modemsim::FRAME_STALL_MS + 1;
        core->tick(now, out);
        return out.take();
    }
    // Loader mode, echo off, AT%LOAD accepted.
    void startLoad() {
        if (core->mode() != 1) {
            make(1, scenario);
        }
        ASSERT_EQ(send("ATE0\r\n"), "ATE0\r" + kOk);
        ASSERT_EQ(send("AT%LOAD\r\n"), kOk);
    }
    // A whole transfer of an archive file; returns the status bytes of every frame.
    std::string transfer(const Bytes& file, uint32_t headerLen, uint16_t blockSize) {
        std::string statuses = send(simtest::headerFrame(file, headerLen, blockSize));
        for (const Bytes& f :
             simtest::dataFrames(file.data() + headerLen, file.size() - headerLen, blockSize)) {
            statuses += send(f);
        }
        return statuses;
    }

    std::unique_ptr<Core> core;
    simtest::Recorder out;
    int64_t now = 1000;
    std::string scenario;
};

}  // namespace simtest

#endif
