// The command-line host over the inputs a new user gets wrong: bad folders, configurations,
// archives, options, and a modem whose port drops. One table: the input, the exit status, the
// words the user must see (and must not). Every run has a time-out, so an input that hangs
// the host fails its case instead of the suite.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "modem_sim.h"
#include "support/sim_support.h"
#include "support/test_support.h"

#ifdef MODEMFLASH_CLI_PATH

using testsupport::TempDir;

namespace {

const int kTimedOut = 124;  // what timeout(1) exits with

struct HostRun {
    int status = -1;
    std::string out;  // standard output
    std::string err;  // standard error
};

class Host {
  public:
    TempDir root;
    std::string fw = root.path() + "/fw";
    std::string env =
        "MODEMFLASH_DEV_ROOT=" + root.path() + "/dev MODEMFLASH_SYSFS_ROOT=" + root.path() + "/sys";

    Host() {
        mkdir((root.path() + "/dev").c_str(), 0755);
        mkdir((root.path() + "/sys").c_str(), 0755);
    }

    // Runs the host in the root folder with $FW, $ROOT and $LONG replaced, at most seconds
    // long.
    // The text with $FW, $ROOT and $LONG replaced.
    std::string expand(std::string text) const {
        for (const auto& [key, value] : {std::pair<std::string, std::string>{"$FW", fw},
                                         {"$ROOT", root.path()},
                                         {"$LONG", longFolder()}}) {
            for (size_t at; (at = text.find(key)) != std::string::npos;)
                text.replace(at, key.size(), value);
        }
        return text;
    }

    // prefix: words before the program (to run it as another user).
    HostRun run(std::string args, const std::string& extraEnv = "", int seconds = 20,
                const std::string& prefix = "") const {
        args = expand(args);
        std::string errFile = root.path() + "/stderr.txt";
        // A locale of its own (UTF-8), whatever the machine's, unless extraEnv names another.
        std::string cmd = "cd " + root.path() + " && LC_ALL=C.UTF-8 " + env + " " + extraEnv +
                          " timeout -k 2 " + std::to_string(seconds) + " " + prefix +
                          MODEMFLASH_CLI_PATH " " + args + " 2>" + errFile;
        HostRun r;
        FILE* p = popen(cmd.c_str(), "r");
        char buf[4096];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, p)) > 0) r.out.append(buf, n);
        int st = pclose(p);
        r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
        r.err = testsupport::readFile(errFile);
        return r;
    }

    // A folder whose path is exactly as long as the library takes (232 characters).
    std::string longFolder() const {
        return root.path() + "/" + std::string(232 - root.path().size() - 1, 'd');
    }
    // Runs a shell command in the root folder (for setups), with the program as $MF.
    void shell(const std::string& command) const {
        std::string cmd = "cd " + root.path() + " && MF=" MODEMFLASH_CLI_PATH " && " + command;
        (void)!system(cmd.c_str());
    }

    void config(const std::string& text) const {
        FILE* f = fopen((fw + "/update_config.ini").c_str(), "wb");
        fwrite(text.data(), 1, text.size(), f);
        fclose(f);
    }
    // Writes bytes over a file at offset.
    void patch(const std::string& name, long offset, const std::string& bytes) const {
        FILE* f = fopen((fw + "/" + name).c_str(), "r+b");
        fseek(f, offset, SEEK_SET);
        fwrite(bytes.data(), 1, bytes.size(), f);
        fclose(f);
    }
    void xorByte(const std::string& name, long offset, int value) const {
        FILE* f = fopen((fw + "/" + name).c_str(), "r+b");
        fseek(f, offset, SEEK_SET);
        int b = fgetc(f);
        fseek(f, offset, SEEK_SET);
        fputc(b ^ value, f);
        fclose(f);
    }
    void replaceWith(const std::string& name,
                     const std::function<void(const std::string&)>& make) const {
        std::string path = fw + "/" + name;
        unlink(path.c_str());
        make(path);
    }
};

struct Case {
    const char* name;
    std::function<void(Host&)> setup;  // after the sample folder is written
    std::string args;
    int exit;
    std::vector<std::string> words;        // in standard output and error together
    std::vector<std::string> absent = {};  // in neither
    std::string env = "";
    bool modem = false;         // a simulated modem is plugged in
    std::string scenario = "";  // its faults
};

const char kNoPort[] = "no port was opened";
const std::string kLongValue = std::string(4084, '7');

void nothing(Host&) {}
void configure(Host& h, const std::string& text) {
    h.config(text);
}
std::function<void(Host&)> config(const std::string& text) {
    return [text](Host& h) { configure(h, text); };
}

const Case kCases[] = {
    // A bad archive is found before any port is opened: the modem stays untouched.
    {"BadMagicWord",
     [](Host& h) { h.patch("modem.wrapped", 0, "\x0b"); },
     "flash $FW",
     3,
     {"modem.wrapped: is not a valid archive", "incorrect archive tag", kNoPort},
     {},
     "",
     true},
    {"TruncatedArchive",
     [](Host& h) { (void)!truncate((h.fw + "/loader.wrapped").c_str(), 100); },
     "flash $FW",
     3,
     {"loader.wrapped", "header gives a payload of 3001 bytes, but 76 bytes"}},
    {"PayloadSizeOfAllOnesIsUnsigned",
     [](Host& h) { h.patch("factory_tests.wrapped", 8, "\xff\xff\xff\xff"); },
     "flash $FW",
     3,
     {"payload of 4294967295 bytes"},
     {"size -1"}},
    {"TwoByteFile",
     [](Host& h) { (void)!truncate((h.fw + "/productConfig.bin").c_str(), 2); },
     "flash $FW",
     3,
     {"productConfig.bin: is not a valid archive (2 bytes)"}},
    {"InspectPrintsAllOnesUnsigned",
     [](Host& h) { h.patch("factory_tests.wrapped", 8, "\xff\xff\xff\xff"); },
     "inspect $FW/factory_tests.wrapped",
     1,
     {"4294967295"},
     {"size -1"}},

    // An archive with a header and nothing after it: nothing to program.
    {"EmptyPayloadIsRefused",
     [](Host& h) {
         h.shell(
             "rm fw/modem.wrapped && : > empty && $MF wrap --id 0 --sig 1 --allow-empty "
             "empty fw/modem.wrapped");
     },
     "flash $FW",
     3,
     {"modem.wrapped: holds an empty payload (a 24-byte header and nothing after it): there is "
      "nothing to program (--force sends it anyway)",
      kNoPort},
     {},
     "",
     true},
    {"EmptyPayloadForcedIsAWarning",
     [](Host& h) {
         h.shell(
             "rm fw/modem.wrapped && : > empty && $MF wrap --id 0 --sig 1 --allow-empty "
             "empty fw/modem.wrapped");
     },
     "flash $FW --force --time-scale 200",
     0,
     {"warning: modem.wrapped: holds an empty payload", "sent anyway (--force)"},
     {},
     "",
     true},
    {"WrapOfAnEmptyPayload",
     [](Host& h) { h.shell(": > empty"); },
     "wrap --id 3 --sig 0 $ROOT/empty $ROOT/out",
     1,
     {"is empty: an archive with no payload programs nothing (--allow-empty makes one anyway)"}},
    {"WrapOfAnEmptyPayloadWhenAsked",
     [](Host& h) { h.shell(": > empty"); },
     "wrap --id 3 --sig 0 --allow-empty $ROOT/empty $ROOT/out",
     0,
     {"LDR archive (ID 3)"}},

    // The folder itself.
    {"NoSuchFolder", nothing, "flash $ROOT/none", 3, {"there is no folder ", kNoPort}},
    {"FolderIsAFile",
     nothing,
     "flash $FW/loader.wrapped",
     3,
     {"loader.wrapped is a regular file, not a folder"}},
    {"BackslashInTheFolderName",
     [](Host& h) { h.shell("cp -r fw 'f\\w'"); },
     "flash '$ROOT/f\\w'",
     3,
     {"has '\\' in its name, which the library takes as a directory separator"},
     {"is missing"}},
    {"TrailingSeparatorsAreDropped",
     [](Host& h) { h.shell("cp -r fw " + h.longFolder()); },
     "flash $LONG/ --time-scale 1000",
     4,  // the folder is taken: no modem answers
     {"updating the modem with the firmware in $LONG\n"},
     {"too long", "/\\"}},

    // An archive under another file's name.
    {"LoaderAsProductConfiguration",
     [](Host& h) {
         h.replaceWith("productConfig.bin", [&](const std::string& p) {
             (void)!system(("cp " + h.fw + "/loader.wrapped " + p).c_str());
         });
     },
     "flash $FW",
     3,
     {"productConfig.bin: holds the LDR archive (ID 3, /app/loader.wrapped), which belongs in "
      "loader.wrapped",
      "--force"},
     {},
     "",
     true},
    {"ForceSendsItWithAWarning",
     [](Host& h) {
         h.replaceWith("productConfig.bin", [&](const std::string& p) {
             (void)!system(("cp " + h.fw + "/loader.wrapped " + p).c_str());
         });
     },
     "flash $FW --force --time-scale 200",
     0,
     {"warning: productConfig.bin", "sent anyway"},
     {},
     "",
     true},
    {"UnknownIdAndUnnamedSignatureAreWarnings",
     [](Host& h) {
         // ID 5 becomes 77 and signature type 0 becomes 2; the balance word takes both
         // changes, so the XOR stays 0.
         h.xorByte("productConfig.bin", 16, 5 ^ 77);
         h.xorByte("productConfig.bin", 20, 2);
         h.xorByte("productConfig.bin", 12, (5 ^ 77) ^ 2);
         h.config("[update flag]\nupdate_cat=9\n");
     },
     "flash $FW --time-scale 200",
     0,
     {"archive ID 77 is not in the archive table", "signature type 2 has no name"},
     {},
     "",
     true},

    // The configuration: what was read, and values that select nothing or not what they say.
    {"EmptyValue",
     config("[update flag]\nupdate_cat=\n"),
     "flash $FW",
     3,
     {"selects none of the categories 7, 8 and 9"}},
    {"Zero",
     config("[update flag]\nupdate_cat=0\n"),
     "flash $FW",
     3,
     {"update_cat=0 (line 2)", "selects none"}},
    {"NinetyNine",
     config("[update flag]\nupdate_cat=99\n"),
     "flash $FW",
     3,
     {"names category 99", "selects none"}},
    {"Commas",
     config("[update flag]\nupdate_cat=7,8,9\n"),
     "flash $FW",
     3,
     {"update_cat=7,8,9", "not a decimal number"}},
    {"TrailingLetters",
     config("[update flag]\nupdate_cat=9abc\n"),
     "flash $FW",
     3,
     {"\"9abc\", which is not a decimal number"}},
    {"MinusOne", config("[update flag]\nupdate_cat=-1\n"), "flash $FW", 3, {"selects no update"}},
    {"NoKey", config("[update flag]\nother=7\n"), "flash $FW", 3, {"has no key update_cat"}},
    {"OverlongValue",
     config("[update flag]\nupdate_cat=" + kLongValue + "\n"),
     "flash $FW",
     3,
     {"4084 characters long", "only the first 39"}},
    {"EmptyItemRepeatAndOtherNumbersWarn",
     config("[update flag]\nupdate_cat=7;;9;9;4\n"),
     "flash $FW --time-scale 1000",
     4,
     {"has an empty item", "names category 9 twice", "names category 4", "selects 7 (firmware"}},
    {"ByteOrderMarkAndLoneCarriageReturns",
     config("\xEF\xBB\xBF[update flag]\rupdate_cat=9\r"),
     "flash $FW --time-scale 1000",
     4,
     {"read update_cat=9 (line 2)", "selects 9 (product configuration)"}},
    {"TwoSections",
     config("[update flag]\nupdate_cat=9\n[Update Flag]\nupdate_cat=7\n"),
     "flash $FW --time-scale 1000",
     4,
     {"2 [update flag] sections (lines 1, 3)", "uses update_cat of line 2"}},

    // What is not a regular file hangs a reader that opens it first.
    {"ConfigurationLinkedToDevZero",
     [](Host& h) {
         h.replaceWith("update_config.ini",
                       [](const std::string& p) { (void)!symlink("/dev/zero", p.c_str()); });
     },
     "flash $FW",
     3,
     {"update_config.ini: cannot be read: it is a character device"}},
    {"FifoArchive",
     [](Host& h) {
         h.replaceWith("productConfig.bin",
                       [](const std::string& p) { (void)!mkfifo(p.c_str(), 0600); });
     },
     "flash $FW",
     3,
     {"productConfig.bin: is a FIFO (named pipe), not a regular file"}},
    {"InspectOfAFifo",
     [](Host& h) { (void)!mkfifo((h.root.path() + "/pipe").c_str(), 0600); },
     "inspect $ROOT/pipe",
     1,
     {"INVALID: it is a FIFO"}},
    {"WrapOfAFifo",
     [](Host& h) { (void)!mkfifo((h.root.path() + "/pipe").c_str(), 0600); },
     "wrap --id 3 --sig 0 $ROOT/pipe $ROOT/out",
     1,
     {"is a FIFO (named pipe), not a regular file"}},
    {"WrapOfADirectory",
     nothing,
     "wrap --id 3 --sig 0 $FW $ROOT/out",
     1,
     {"is a directory, not a regular file"},
     {"too large"}},

    // Options.
    {"TimeScaleZero", nothing, "flash $FW --time-scale 0", 2, {"--time-scale 0 is not a number"}},
    {"TimeScaleNegative", nothing, "flash $FW --time-scale=-1", 2, {"--time-scale -1"}},
    {"TimeScaleNan", nothing, "flash $FW --time-scale nan", 2, {"--time-scale nan"}},
    {"TimeScaleInf", nothing, "flash $FW --time-scale inf", 2, {"--time-scale inf"}},
    // A value in the environment the clock cannot take is ignored, and said so (the folder
    // here selects nothing, so that the run ends before a search at real speed).
    {"TimeScaleFromTheEnvironmentIsIgnoredAndSaid",
     config("[update flag]\nupdate_cat=0\n"),
     "flash $FW",
     3,
     {"time scale \"abc\" ignored: not a number from 1 to 1000000"},
     {},
     "MODEMFLASH_TIME_SCALE=abc"},
    {"WatchTakesTheTimeScaleRuleOfFlash",
     nothing,
     "watch $FW --time-scale 0",
     2,
     {"--time-scale 0 is not a number from 1 to 1000000"}},
    {"HistoryAndNoHistoryTogether",
     nothing,
     "flash $FW --history $ROOT/h.sqlite3 --no-history",
     2,
     {"--history excludes --no-history"}},
    {"EmptyLocation", nothing, "flash $FW --at ''", 2, {"--at '' is not a USB location"}},
    {"LocationWithATrailingBlank",
     nothing,
     "flash $FW --at '1-1.2 '",
     2,
     {"--at '1-1.2 ' is not a USB location"}},
    {"LogDirectoryInAMissingFolder",
     nothing,
     "flash $FW --all --log $ROOT/none/logs",
     2,
     {"/none/logs: the folder ", "/none does not exist"}},
    {"LogDirectoryIsAFile",
     nothing,
     "flash $FW --all --log $FW/loader.wrapped",
     2,
     {"loader.wrapped is a regular file, not a directory for the log files"}},
    {"WatchHelpHasItsLineBreaks",
     nothing,
     "watch --help",
     0,
     {"location and USB\nserial number"},
     {"\\n"}},
    {"EmptyLibrary", nothing, "flash $FW --library ''", 2, {"--library needs a path"}},
    {"LogInAMissingFolder",
     nothing,
     "flash $FW --log $ROOT/none/engine.log",
     2,
     {"does not exist"}},
    {"LogOntoADirectory", nothing, "flash $FW --log $ROOT", 2, {"is a directory"}},
    {"SampleOverAFirmwareFolder",
     nothing,
     "sample $FW --small",
     1,
     {"already holds loader.wrapped", "--force"}},
    {"SampleForced", nothing, "sample $FW --small --force", 0, {"productConfig.bin"}},
    {"WrapIdWithALeadingZeroIsDecimal",
     nothing,
     "wrap --id 010 --sig 0 $FW/update_config.ini $ROOT/a",
     0,
     {"(ID 10)"}},
    {"WrapIdNineWithALeadingZero",
     nothing,
     "wrap --id 09 --sig 0 $FW/update_config.ini $ROOT/a",
     0,
     {"(ID 9)"}},
    {"WrapIdInHex",
     nothing,
     "wrap --id 0x0A --sig 0 $FW/update_config.ini $ROOT/a",
     0,
     {"(ID 10)"}},
    {"WrapOverItsOwnPayload",
     nothing,
     "wrap --id 3 --sig 0 $FW/loader.wrapped $FW/loader.wrapped",
     1,
     {"would overwrite its own payload"}},

    // The modem's side.
    {"PortDropsAndComesBack",
     nothing,
     "flash $FW --time-scale 200",
     6,
     {"Recupero dati completato! (recovery complete"},
     {"Bad file descriptor"},
     "",
     true,
     "vanish archive=4 block=1 return=20"},
    {"RejectionLogByItsRealPath",
     nothing,
     "flash $FW --time-scale 200",
     6,
     {"See log.txt. (the rejection log is /"},
     {},
     "",
     true,
     "reject-block archive=1 block=1 times=3"},
};

// gtest names a failing case by this rather than by its bytes.
void PrintTo(const Case& c, std::ostream* os) {
    *os << c.name;
}

class HostInputs : public ::testing::TestWithParam<Case> {};

TEST_P(HostInputs, ExitStatusAndWords) {
    const Case& c = GetParam();
    Host h;
    ASSERT_EQ(h.run("sample " + h.fw + " --small").status, 0);
    c.setup(h);
    modemsim::ModemSim sim;
    if (c.modem) {
        modemsim::SimOptions o =
            testsupport::simOptions(h.root.path() + "/dev", h.root.path() + "/sys",
                                    c.scenario.empty() ? "" : c.scenario + "\n");
        o.republishDelayMs = 100;
        ASSERT_NO_FATAL_FAILURE(testsupport::startSim(sim, o));
    }
    HostRun r = h.run(c.args, c.env);
    sim.stop();
    std::string all = r.out + r.err;
    ASSERT_NE(r.status, kTimedOut) << "the host hung on this input";
    EXPECT_EQ(r.status, c.exit) << all;
    for (const std::string& w : c.words)
        EXPECT_NE(all.find(h.expand(w)), std::string::npos) << h.expand(w) << "\n" << all;
    for (const std::string& w : c.absent)
        EXPECT_EQ(all.find(w), std::string::npos) << w << "\n" << all;
    if (c.modem && c.exit == 3) {
        EXPECT_TRUE(sim.commands().empty()) << "the modem was spoken to";
    }
    if (c.modem && c.exit != 3 && c.exit != 0) {
        EXPECT_EQ(sim.mode(), 0) << "the modem is left in modem mode";
        EXPECT_EQ(sim.autorun(), 1);
    }
}

INSTANTIATE_TEST_SUITE_P(Table, HostInputs, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<Case>& p) {
                             return std::string(p.param.name);
                         });

// With --json, standard output carries JSON objects only, one a line, the library's own
// information lines among them as log objects.
TEST(HostJson, EveryLineOfStandardOutputIsAnObject) {
    Host h;
    ASSERT_EQ(h.run("sample " + h.fw + " --small").status, 0);
    modemsim::ModemSim sim;
    modemsim::SimOptions o =
        testsupport::simOptions(h.root.path() + "/dev", h.root.path() + "/sys");
    o.republishDelayMs = 100;
    ASSERT_NO_FATAL_FAILURE(testsupport::startSim(sim, o));
    HostRun r = h.run("flash " + h.fw + " --json --time-scale 200");
    sim.stop();
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    size_t lines = 0, logs = 0;
    for (size_t b = 0, e; b < r.out.size(); b = e + 1) {
        e = r.out.find('\n', b);
        ASSERT_NE(e, std::string::npos) << "the output ends without a line break";
        std::string line = r.out.substr(b, e - b);
        ++lines;
        EXPECT_EQ(line.compare(0, 9, "{\"type\":\""), 0) << line;
        EXPECT_EQ(line.back(), '}') << line;
        // Strings escape every quote, backslash and control byte: the braces balance outside.
        int depth = 0;
        bool inString = false;
        for (size_t i = 0; i < line.size(); ++i) {
            char ch = line[i];
            if (inString) {
                if (ch == '\\')
                    ++i;
                else if (ch == '"')
                    inString = false;
                else
                    EXPECT_GE(static_cast<unsigned char>(ch), 0x20) << line;
            } else if (ch == '"') {
                inString = true;
            } else if (ch == '{') {
                ++depth;
            } else if (ch == '}') {
                --depth;
            }
        }
        EXPECT_EQ(depth, 0) << line;
        EXPECT_FALSE(inString) << line;
        logs += line.find("{\"type\":\"log\"") == 0;
    }
    EXPECT_GT(lines, 20u);
    EXPECT_NE(
        r.out.find("{\"type\":\"log\",\"stream\":\"stdout\",\"text\":\"search port start!\"}"),
        std::string::npos)
        << r.out;
    EXPECT_GT(logs, 5u);
}

// The --log file is UTF-8 like every other line in a UTF-8 locale; --raw-log keeps the
// library's own bytes there.
TEST(HostLog, TheLogFileIsUtf8UnlessTheRawBytesAreAsked) {
    Host h;
    ASSERT_EQ(h.run("sample " + h.fw + " --small").status, 0);
    const std::string gbk = "SelectMode: \xc4\xa3\xca\xbd\xc7\xd0\xbb\xbb\xca\xa7\xb0\xdc";
    const std::string utf8 = "SelectMode: \u6a21\u5f0f\u5207\u6362\u5931\u8d25";
    for (const char* raw : {"", " --raw-log"}) {
        SCOPED_TRACE(raw);
        modemsim::ModemSim sim;
        modemsim::SimOptions o;
        o.devRoot = h.root.path() + "/dev";
        o.sysfsRoot = h.root.path() + "/sys";
        o.republishDelayMs = 100;
        o.scenario = "never-return switch=1\n";
        std::string why;
        ASSERT_TRUE(sim.start(o, &why)) << why;
        std::string log = h.root.path() + "/engine" + (*raw ? "-raw" : "") + ".log";
        HostRun r = h.run("flash " + h.fw + " --time-scale 200 --no-history --log " + log + raw,
                          "LC_ALL=C.UTF-8");
        sim.stop();
        EXPECT_EQ(r.status, 7) << r.out << r.err;
        std::string text = testsupport::readFile(log);
        EXPECT_NE(text.find(*raw ? gbk : utf8), std::string::npos) << text;
        EXPECT_EQ(text.find(*raw ? utf8 : gbk), std::string::npos) << text;
    }
}

// What this user may not read or write is named as such, not as missing. Root may read and
// write anything, so the program runs as nobody there.
TEST(HostAsAUser, AFolderItMayNotReadAndALogFolderItMayNotWriteAreSaidSo) {
    Host h;
    ASSERT_EQ(h.run("sample " + h.fw + " --small").status, 0);
    std::string prefix;
    if (geteuid() == 0) {
        if (access("/usr/bin/setpriv", X_OK) != 0) GTEST_SKIP() << "needs setpriv to drop root";
        prefix = "/usr/bin/setpriv --reuid=65534 --regid=65534 --clear-groups ";
    }
    chmod(h.root.path().c_str(), 0755);
    ASSERT_EQ(mkdir((h.root.path() + "/logs").c_str(), 0555), 0);
    chmod(h.fw.c_str(), 0);
    HostRun r = h.run("flash $FW", "", 20, prefix);
    chmod(h.fw.c_str(), 0755);
    EXPECT_EQ(r.status, 3) << r.out << r.err;
    EXPECT_NE(r.err.find("update_config.ini: cannot be read: permission denied"), std::string::npos)
        << r.err;
    EXPECT_EQ(r.err.find("missing"), std::string::npos) << r.err;

    r = h.run("flash $FW --all --log $ROOT/logs", "", 20, prefix);
    EXPECT_EQ(r.status, 2) << r.out << r.err;
    EXPECT_NE(r.err.find("/logs: log files cannot be written there: Permission denied"),
              std::string::npos)
        << r.err;
}

// The library's error lines, Chinese (GBK) among them: with --json they are objects on
// standard output with their text in UTF-8; otherwise, in a UTF-8 locale, they are UTF-8 on
// standard error though it is no terminal; in another locale they are the library's bytes.
TEST(HostJson, TheLibrarysErrorLinesAreUtf8ObjectsOrLines) {
    Host h;
    ASSERT_EQ(h.run("sample " + h.fw + " --small").status, 0);
    const std::string gbk = "SelectMode: \xc4\xa3\xca\xbd\xc7\xd0\xbb\xbb\xca\xa7\xb0\xdc";
    const std::string utf8 = "SelectMode: \u6a21\u5f0f\u5207\u6362\u5931\u8d25";
    struct {
        const char* args;
        const char* locale;
    } runs[] = {{" --json", "LC_ALL=C.UTF-8"}, {"", "LC_ALL=C.UTF-8"}, {"", "LC_ALL=C"}};
    for (const auto& run : runs) {
        SCOPED_TRACE(std::string(run.args) + " " + run.locale);
        modemsim::ModemSim sim;
        modemsim::SimOptions o;
        o.devRoot = h.root.path() + "/dev";
        o.sysfsRoot = h.root.path() + "/sys";
        o.republishDelayMs = 100;
        o.scenario = "never-return switch=1\n";
        std::string why;
        ASSERT_TRUE(sim.start(o, &why)) << why;
        HostRun r =
            h.run("flash " + h.fw + " --time-scale 200 --no-history" + run.args, run.locale);
        sim.stop();
        EXPECT_EQ(r.status, 7) << r.out << r.err;
        if (*run.args) {
            for (size_t b = 0, e; b < r.out.size(); b = e + 1) {
                e = r.out.find('\n', b);
                EXPECT_EQ(r.out.compare(b, 9, "{\"type\":\""), 0) << r.out.substr(b, e - b);
            }
            EXPECT_NE(
                r.out.find("{\"type\":\"log\",\"stream\":\"stderr\",\"text\":\"" + utf8 + "\"}"),
                std::string::npos)
                << r.out;
            EXPECT_EQ(r.err.find(gbk), std::string::npos) << r.err;
        } else if (std::string(run.locale) == "LC_ALL=C.UTF-8") {
            EXPECT_NE(r.err.find(utf8 + "\n"), std::string::npos) << r.err;
            EXPECT_EQ(r.err.find(gbk), std::string::npos) << r.err;
        } else {
            EXPECT_NE(r.err.find(gbk + "\n"), std::string::npos) << r.err;
        }
    }
}

}  // namespace

#endif
