// `modemflash flash --record` and `modemflash replay` as a user runs them: the real programs
// against the simulated modem, and what the session file then holds.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "child_process.h"
#include "modem_bank.h"
#include "modem_sim.h"
#include "platform/clock.h"
#include "session/session_reader.h"
#include "support/sim_support.h"
#include "support/test_support.h"
#include "util/sha256.h"

#ifdef MODEMFLASH_CLI_PATH

using session::Json;

namespace {

std::string readAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

class RecordCommand : public ::testing::Test {
  protected:
    testsupport::TempDir root;
    std::string firmware = root.path() + "/fw";
    std::string dev = root.path() + "/dev", sys = root.path() + "/sys";
    std::vector<std::string> env = {"MODEMFLASH_DEV_ROOT=" + dev, "MODEMFLASH_SYSFS_ROOT=" + sys,
                                    "XDG_STATE_HOME=" + root.path() + "/state"};
    modemsim::ModemSim sim;

    void SetUp() override {
        clk_SetScale(200);  // the simulated modem runs on this process's clock
        mkdir(dev.c_str(), 0755);
        mkdir(sys.c_str(), 0755);
        std::string out;
        ASSERT_EQ(clitest::runToEnd({MODEMFLASH_CLI_PATH, "sample", firmware, "--small"}, {}, &out),
                  0)
            << out;
    }
    void TearDown() override {
        sim.stop();
        clk_SetScale(1);
    }
    void startModem(const std::string& scenario = "") {
        modemsim::SimOptions o = testsupport::simOptions(dev, sys, scenario);
        o.republishDelayMs = 1000;
        ASSERT_NO_FATAL_FAILURE(testsupport::startSim(sim, o));
    }
    std::vector<std::string> flash(const std::vector<std::string>& more) const {
        std::vector<std::string> a = {MODEMFLASH_CLI_PATH,
                                      "flash",
                                      firmware,
                                      "--time-scale",
                                      "200",
                                      "--no-history",
                                      "--log",
                                      root.path() + "/engine.log"};
        a.insert(a.end(), more.begin(), more.end());
        return a;
    }
    session::Session read(const std::string& path, bool partial = false) {
        session::Session s;
        session::SessionProblem p;
        session::ReadOptions o;
        o.allowPartial = partial;
        EXPECT_TRUE(session::readSession(path, o, &s, &p)) << p.text();
        return s;
    }
    static std::vector<Json> kind(const session::Session& s, const char* ev) {
        std::vector<Json> out;
        for (const Json& e : s.events)
            if (e["ev"] == ev) out.push_back(e);
        return out;
    }
};

TEST_F(RecordCommand, ASessionHoldsThePortsTheBytesTheFramesTheModemAndTheResult) {
    ASSERT_NO_FATAL_FAILURE(startModem());
    const std::string path = root.path() + "/s.jsonl";
    std::string out;
    ASSERT_EQ(clitest::runToEnd(flash({"--record", path}), env, &out), 0) << out;
    sim.stop();
    session::Session s = read(path);
    EXPECT_EQ(s.header["command"], "flash");
    EXPECT_EQ(s.header["scale"], 200.0);

    // The firmware: each file with its size and SHA-256.
    std::vector<Json> fw = kind(s, "firmware");
    ASSERT_EQ(fw.size(), 1u);
    ASSERT_EQ(fw[0]["files"].size(), 7u);
    std::string loader = readAll(firmware + "/loader.wrapped");
    EXPECT_EQ(fw[0]["files"][0]["name"], "loader.wrapped");
    EXPECT_EQ(fw[0]["files"][0]["size"], loader.size());
    EXPECT_EQ(fw[0]["files"][0]["sha256"], mfutil::sha256Hex(loader.data(), loader.size()));

    // The port search's probe first, then the job's port, at the modem's location.
    std::vector<Json> opens = kind(s, "open");
    ASSERT_GE(opens.size(), 3u);
    EXPECT_EQ(opens[0]["probe"], true);
    EXPECT_EQ(opens[1]["probe"], false);
    for (const Json& o : opens) {
        EXPECT_EQ(o["location"], sim.location());
        EXPECT_EQ(o["serial"], sim.serialNumber());
    }
    EXPECT_EQ(kind(s, "write")[0]["text"], "AT\r");
    bool handshake = false;
    for (const Json& l : kind(s, "line"))
        handshake = handshake || (l["baud"] == 115200 && l["rts"] == 1);
    EXPECT_TRUE(handshake) << "the job's line settings";
    EXPECT_FALSE(kind(s, "purge").empty());

    // Every archive's header frame and data frames, summed up: payload length and SHA-256.
    std::vector<Json> frames = kind(s, "frame");
    int headers = 0;
    std::string loaderPayload = loader.substr(24);
    bool loaderFrameSeen = false;
    for (const Json& f : frames) {
        if (f["frame"] == "header") ++headers;
        EXPECT_FALSE(f["frame"] == "data" && f.contains("hex")) << "payloads are not kept";
        if (f["frame"] == "data" && f["payload"] == loaderPayload.size())
            loaderFrameSeen =
                f["sha256"] == mfutil::sha256Hex(loaderPayload.data(), loaderPayload.size());
    }
    EXPECT_EQ(headers, 7);
    EXPECT_TRUE(loaderFrameSeen);
    EXPECT_EQ(kind(s, "frame").size(), 14u);

    // The identification answers, the result, the end.
    std::vector<Json> idents = kind(s, "ident");
    ASSERT_FALSE(idents.empty());
    EXPECT_EQ(idents[0]["command"], "AT+GMR");
    EXPECT_NE(idents[0]["answer"].get<std::string>().find("SIM_1.0.0"), std::string::npos);
    std::vector<Json> result = kind(s, "result");
    ASSERT_EQ(result.size(), 1u);
    EXPECT_EQ(result[0]["code"], 1);
    EXPECT_EQ(result[0]["exit"], 0);
    EXPECT_EQ(s.events.back()["ev"], "end");
    EXPECT_FALSE(s.interrupted);

    // The timeline: the frames and the pause of the mode switch.
    std::string timeline;
    ASSERT_EQ(clitest::runToEnd({MODEMFLASH_CLI_PATH, "replay", path}, {}, &timeline), 0);
    EXPECT_NE(timeline.find("-> header frame: archive 3, 3001 payload bytes in blocks of 16384"),
              std::string::npos)
        << timeline;
    EXPECT_NE(timeline.find("<- AA 01 (accepted)"), std::string::npos);
    EXPECT_NE(timeline.find("-> \"AT%MODE=1\\r\\n\""), std::string::npos);
    EXPECT_NE(timeline.find("s without traffic"), std::string::npos);
    EXPECT_NE(timeline.find("result 1: update complete"), std::string::npos);
    std::string json;
    ASSERT_EQ(clitest::runToEnd({MODEMFLASH_CLI_PATH, "replay", "--json", path}, {}, &json), 0);
    std::istringstream lines(json);
    std::string line;
    int objects = 0;
    while (std::getline(lines, line)) {
        Json j = Json::parse(line, nullptr, false);
        ASSERT_TRUE(j.is_object()) << line;
        ++objects;
    }
    EXPECT_GT(objects, 100);
}

TEST_F(RecordCommand, RecordPayloadKeepsEveryFrameWholeInACompressedFile) {
    ASSERT_NO_FATAL_FAILURE(startModem());
    const std::string path = root.path() + "/s.jsonl.zst";
    std::string out;
    ASSERT_EQ(clitest::runToEnd(flash({"--record", path, "--record-payload"}), env, &out), 0)
        << out;
    EXPECT_EQ(readAll(path).substr(0, 4), "\x28\xb5\x2f\xfd");
    session::Session s = read(path);
    EXPECT_TRUE(s.wholePayload());
    std::string modemPayload = readAll(firmware + "/modem.wrapped").substr(24);
    bool found = false;
    for (const Json& f : kind(s, "frame")) {
        ASSERT_TRUE(f.contains("hex"));
        std::string bytes;
        ASSERT_TRUE(session::getBytes(f, &bytes));
        EXPECT_EQ(bytes.size(), f["len"]);
        if (f["frame"] == "data" && f["payload"] == modemPayload.size())
            found = bytes.substr(2, modemPayload.size()) == modemPayload;
    }
    EXPECT_TRUE(found);
}

TEST_F(RecordCommand, AVanishedPortAndItsReturnAreRecorded) {
    ASSERT_NO_FATAL_FAILURE(startModem("vanish archive=1 block=1 return=3000\n"));
    const std::string path = root.path() + "/s.jsonl";
    std::string out;
    clitest::runToEnd(flash({"--record", path}), env, &out);
    session::Session s = read(path);
    ASSERT_FALSE(kind(s, "vanished").empty()) << out;
    ASSERT_FALSE(kind(s, "back").empty());
    EXPECT_LT(kind(s, "vanished")[0]["t"], kind(s, "back")[0]["t"]);
    EXPECT_EQ(kind(s, "result")[0]["code"], 14);
}

TEST_F(RecordCommand, AKilledHostLeavesASessionReadableUpToItsLastLine) {
    ASSERT_NO_FATAL_FAILURE(startModem("late AT%LOAD ms=200000 times=1\n"));
    const std::string path = root.path() + "/s.jsonl";
    {
        clitest::ChildProcess host(flash({"--record", path}), clitest::endsAtOnce(env));
        ASSERT_TRUE(host.waitFor("file loader.wrapped", 30000)) << host.output();
        // AT%LOAD is out and waits a second (real) for its answer: its line is written by now.
        usleep(300 * 1000);
        host.signal(SIGKILL);
        host.wait(10000);
    }
    std::string out;
    EXPECT_EQ(clitest::runToEnd({MODEMFLASH_CLI_PATH, "replay", path}, {}, &out), 1);
    EXPECT_NE(out.find("without its end line"), std::string::npos) << out;
    EXPECT_NE(out.find(": line "), std::string::npos) << out;
    ASSERT_EQ(clitest::runToEnd({MODEMFLASH_CLI_PATH, "replay", "--partial", path}, {}, &out), 0)
        << out;
    EXPECT_NE(out.find("-> \"AT%LOAD\\r\\n\""), std::string::npos) << out;
    session::Session s = read(path, true);
    EXPECT_TRUE(s.interrupted);
    EXPECT_TRUE(kind(s, "result").empty());
}

TEST_F(RecordCommand, ASecondCtrlCEndsTheSessionWhole) {
    ASSERT_NO_FATAL_FAILURE(startModem("late AT%LOAD ms=200000 times=1\n"));
    const std::string path = root.path() + "/s.jsonl.gz";
    clitest::ChildProcess host(flash({"--record", path}), clitest::endsAtOnce(env));
    ASSERT_TRUE(host.waitFor("file loader.wrapped", 30000)) << host.output();
    host.signal(SIGINT);
    ASSERT_TRUE(host.waitFor("press Ctrl-C again", 5000)) << host.output();
    host.signal(SIGINT);
    EXPECT_EQ(host.wait(10000), 130) << host.output();
    session::Session s = read(path);  // whole: its end line is there
    EXPECT_TRUE(s.interrupted);
    EXPECT_EQ(s.events.back()["ev"], "end");
}

TEST_F(RecordCommand, ReplayNamesTheLineOfAnEditedSession) {
    ASSERT_NO_FATAL_FAILURE(startModem());
    const std::string path = root.path() + "/s.jsonl";
    std::string out;
    ASSERT_EQ(clitest::runToEnd(flash({"--record", path}), env, &out), 0) << out;
    std::string text = readAll(path);
    size_t at = text.find("AT%MODE=1");
    ASSERT_NE(at, std::string::npos);
    text[at + 8] = '0';
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
    int line = 1;
    for (size_t i = 0; i < at; ++i) line += text[i] == '\n';
    EXPECT_EQ(clitest::runToEnd({MODEMFLASH_CLI_PATH, "replay", path}, {}, &out), 1);
    EXPECT_NE(out.find("line " + std::to_string(line) + ": the line does not match its seal"),
              std::string::npos)
        << out;
}

TEST_F(RecordCommand, RecordPayloadAloneAndAnUnwritableFileAreRefused) {
    std::string out;
    EXPECT_EQ(clitest::runToEnd(flash({"--record-payload"}), env, &out), 2) << out;
    EXPECT_NE(out.find("--record-payload needs --record"), std::string::npos) << out;
    EXPECT_EQ(
        clitest::runToEnd(flash({"--record", root.path() + "/no/such/dir/s.jsonl"}), env, &out), 2)
        << out;
    EXPECT_NE(out.find("cannot create"), std::string::npos) << out;
}

TEST_F(RecordCommand, AStationRecordsOneSessionPerModemByLocation) {
    modemsim::ModemBank bank;
    modemsim::BankOptions o;
    o.devRoot = dev;
    o.sysfsRoot = sys;
    o.count = 2;
    o.republishDelayMs = 1000;
    std::string why;
    ASSERT_TRUE(bank.start(o, &why)) << why;
    const std::string dir = root.path() + "/sessions";
    std::string out;
    EXPECT_EQ(clitest::runToEnd({MODEMFLASH_CLI_PATH, "flash", firmware, "--all", "--time-scale",
                                 "200", "--no-history", "--record", dir},
                                env, &out),
              0)
        << out;
    bank.stop();
    for (int i = 0; i < 2; ++i) {
        const std::string location = modemsim::bank_Location(i);
        SCOPED_TRACE(location);
        session::Session s = read(dir + "/" + location + ".session.jsonl");
        std::vector<Json> modem = kind(s, "modem");
        ASSERT_EQ(modem.size(), 1u);
        EXPECT_EQ(modem[0]["location"], location);
        EXPECT_EQ(modem[0]["serial"], modemsim::bank_Serial(i));
        EXPECT_EQ(kind(s, "frame").size(), 14u) << "its own frames only";
        for (const Json& e : kind(s, "open"))
            if (e["ok"] == true) {
                EXPECT_EQ(e["location"], location);
            }
        EXPECT_EQ(kind(s, "result")[0]["code"], 1);
        EXPECT_FALSE(kind(s, "ident").empty());
    }
}

}  // namespace

#endif
