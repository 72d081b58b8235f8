// The command-line host's archive commands, run as a user runs them.
#ifdef MODEMFLASH_CLI_PATH

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <string>

#include "archive_test_support.h"
#include "support/test_support.h"

using namespace archivetest;

namespace {

struct CliRun {
    int status;
    std::string out;
    std::string err;
};

CliRun run(const testsupport::TempDir& dir, const std::string& args) {
    std::string command = std::string("'") + MODEMFLASH_CLI_PATH + "' " + args + " >'" +
                          dir.file("stdout") + "' 2>'" + dir.file("stderr") + "' </dev/null";
    int raw = system(command.c_str());
    CliRun r;
    r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    r.out = testsupport::readFile(dir.file("stdout"));
    r.err = testsupport::readFile(dir.file("stderr"));
    return r;
}

Bytes fileBytes(const std::string& path) {
    std::string s = testsupport::readFile(path);
    return Bytes(s.begin(), s.end());
}

// The XOR of the little-endian words, computed here without the engine's helper.
uint32_t xorOfWords(const Bytes& b, size_t count) {
    uint32_t x = 0;
    for (size_t i = 0; i + 4 <= count; i += 4)
        x ^= static_cast<uint32_t>(b[i]) | static_cast<uint32_t>(b[i + 1]) << 8 |
             static_cast<uint32_t>(b[i + 2]) << 16 | static_cast<uint32_t>(b[i + 3]) << 24;
    return x;
}

class Cli : public ::testing::Test {
  protected:
    testsupport::TempDir dir;
    std::string payload;
    void SetUp() override {
        Bytes p = withPayload(Bytes{}, 5000, 7);
        payload.assign(p.begin(), p.end());
        dir.write("payload.bin", payload);
    }
};

TEST_F(Cli, WrapWritesAHeaderWhoseXorIsZero) {
    CliRun r = run(dir, "wrap --id 3 --sig 1 '" + dir.file("payload.bin") + "' '" +
                            dir.file("out.wrapped") + "'");
    ASSERT_EQ(r.status, 0) << r.err;
    Bytes a = fileBytes(dir.file("out.wrapped"));
    ASSERT_EQ(a.size(), 5024u);
    EXPECT_EQ(xorOfWords(a, 24), 0u);
    EXPECT_EQ(le32(a, 0), 0x1CE8040Au);
    EXPECT_EQ(le32(a, 4), 24u);
    EXPECT_EQ(le32(a, 8), 5000u);
    EXPECT_EQ(le32(a, 16), 3u);
    EXPECT_EQ(le32(a, 20), 1u);
    EXPECT_EQ(std::string(a.begin() + 24, a.end()), payload);
    EXPECT_NE(r.out.find("LDR"), std::string::npos) << r.out;
}

TEST_F(Cli, WrapHonoursTheHeaderLengthAndTheIdTopByte) {
    CliRun r = run(dir, "wrap --id 0xFF000007 --sig 0 --header-length 26 '" +
                            dir.file("payload.bin") + "' '" + dir.file("out.wrapped") + "'");
    ASSERT_EQ(r.status, 0) << r.err;
    Bytes a = fileBytes(dir.file("out.wrapped"));
    ASSERT_EQ(a.size(), 5026u);
    EXPECT_EQ(le32(a, 4), 26u);
    EXPECT_EQ(le32(a, 16), 0xFF000007u);
    EXPECT_EQ(xorOfWords(a, 24), 0u);  // 26 bytes: 6 whole words
    EXPECT_EQ(std::string(a.begin() + 26, a.end()), payload);
}

TEST_F(Cli, WrapExtendedBalancesOver32Bytes) {
    CliRun r = run(dir, "wrap --id 0 --sig 1 --extended '" + dir.file("payload.bin") + "' '" +
                            dir.file("out.wrapped") + "'");
    ASSERT_EQ(r.status, 0) << r.err;
    Bytes a = fileBytes(dir.file("out.wrapped"));
    ASSERT_EQ(a.size(), 5024u);
    EXPECT_EQ(le32(a, 4), 24u);
    EXPECT_NE(xorOfWords(a, 24), 0u);
    EXPECT_EQ(xorOfWords(a, 32), 0u);
}

TEST_F(Cli, WrapRefusesAnUnknownSignatureTypeAsUsage) {
    CliRun r = run(dir, "wrap --id 3 --sig 2 '" + dir.file("payload.bin") + "' '" +
                            dir.file("out.wrapped") + "'");
    EXPECT_EQ(r.status, 2);
}

TEST_F(Cli, WrapOfAMissingPayloadFails) {
    CliRun r = run(dir, "wrap --id 3 --sig 0 '" + dir.file("none") + "' '" + dir.file("o") + "'");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("cannot open"), std::string::npos) << r.err;
}

TEST_F(Cli, InspectTellsValidFromInvalid) {
    ASSERT_EQ(run(dir, "wrap --id 6 --sig 0 '" + dir.file("payload.bin") + "' '" +
                           dir.file("cd.wrapped") + "'")
                  .status,
              0);
    CliRun ok = run(dir, "inspect '" + dir.file("cd.wrapped") + "'");
    EXPECT_EQ(ok.status, 0) << ok.out << ok.err;
    EXPECT_NE(ok.out.find("valid"), std::string::npos);
    EXPECT_NE(ok.out.find("ZEROCD (ID 6)"), std::string::npos) << ok.out;
    EXPECT_NE(ok.out.find("/zero-cd/mass0.bin"), std::string::npos) << ok.out;
    EXPECT_NE(ok.out.find("5000 bytes (4 KB)"), std::string::npos) << ok.out;
    EXPECT_NE(ok.out.find("SHA1 (type 0)"), std::string::npos) << ok.out;

    CliRun bad =
        run(dir, "inspect '" + dir.file("cd.wrapped") + "' '" + dir.file("payload.bin") + "'");
    EXPECT_EQ(bad.status, 1);
    EXPECT_NE(bad.out.find("payload.bin: INVALID: incorrect archive"), std::string::npos)
        << bad.out;
    EXPECT_EQ(bad.err, "") << "the reader's lines are shown on stdout, once";
}

TEST_F(Cli, SampleWritesTheFirmwareFolder) {
    CliRun r = run(dir, "sample --small '" + dir.file("fw") + "'");
    ASSERT_EQ(r.status, 0) << r.err;
    std::string ini = testsupport::readFile(dir.file("fw/update_config.ini"));
    EXPECT_NE(ini.find("[update flag]"), std::string::npos) << ini;
    EXPECT_NE(ini.find("update_cat=7;8;9"), std::string::npos) << ini;
    struct Expected {
        const char* name;
        uint32_t id;
    } files[] = {{"loader.wrapped", 3},        {"secondary_boot.wrapped", 1},
                 {"factory_tests.wrapped", 2}, {"modem.wrapped", 0},
                 {"mass_storage.wrapped", 7},  {"nocd.iso.wrapped", 6},
                 {"productConfig.bin", 5}};
    std::string all;
    for (const Expected& e : files) {
        Bytes a = fileBytes(dir.file(std::string("fw/") + e.name));
        ASSERT_GE(a.size(), 24u + 512u) << e.name;
        EXPECT_LE(a.size(), 24u + 8192u) << e.name;
        EXPECT_EQ(le32(a, 0), 0x1CE8040Au) << e.name;
        EXPECT_EQ(le32(a, 16) & 0xFFFFFF, e.id) << e.name;
        EXPECT_EQ(a.size(), le32(a, 4) + le32(a, 8)) << e.name;
        EXPECT_EQ(xorOfWords(a, le32(a, 4)), 0u) << e.name;
        all += " '" + dir.file(std::string("fw/") + e.name) + "'";
    }
    EXPECT_EQ(run(dir, "inspect" + all).status, 0);
}

TEST_F(Cli, SampleIsDeterministic) {
    ASSERT_EQ(run(dir, "sample --small '" + dir.file("a") + "'").status, 0);
    ASSERT_EQ(run(dir, "sample --small '" + dir.file("b") + "'").status, 0);
    EXPECT_EQ(testsupport::readFile(dir.file("a/modem.wrapped")),
              testsupport::readFile(dir.file("b/modem.wrapped")));
    EXPECT_NE(testsupport::readFile(dir.file("a/modem.wrapped")),
              testsupport::readFile(dir.file("a/loader.wrapped")));
}

TEST_F(Cli, HelpDocumentsTheExitStatusAndVersionIsShown) {
    CliRun help = run(dir, "--help");
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("Exit status"), std::string::npos);
    EXPECT_NE(help.out.find("inspect"), std::string::npos);
    CliRun version = run(dir, "--version");
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out.rfind("modemflash ", 0), 0u) << version.out;
}

}  // namespace

#endif
