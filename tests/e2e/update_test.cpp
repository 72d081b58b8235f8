// Whole updates through the downloader, against the simulated modem on a pty.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "engine/archive_writer.h"
#include "engine/job.h"
#include "engine/port_context.h"
#include "host/downloader.h"
#include "host/factory.h"
#include "modem_sim.h"
#include "platform/clock.h"
#include "platform/messages.h"
#include "platform/modem_lock.h"
#include "report/job_observer.h"
#include "report/log.h"
#include "report/notify.h"
#include "support/sim_support.h"
#include "support/test_support.h"

using testsupport::CapturedStream;

namespace {

// Archive IDs of the seven files.
struct FirmwareFile {
    const char* name;
    uint32_t id;
};
const FirmwareFile kFiles[] = {{"loader.wrapped", 3},        {"secondary_boot.wrapped", 1},
                               {"factory_tests.wrapped", 2}, {"modem.wrapped", 0},
                               {"mass_storage.wrapped", 7},  {"nocd.iso.wrapped", 6},
                               {"productConfig.bin", 5}};

class RecordingSink : public IDownloadSink {
  public:
    std::vector<DownloadEvent> events;
    void OnEvent(DownloadEvent* e) override { events.push_back(*e); }
    // The events that are not per-block progress of a file.
    std::vector<std::pair<int, int>> milestones() const {
        std::vector<std::pair<int, int>> out;
        for (const DownloadEvent& e : events) {
            bool fileEvent = e.code >= 24 && e.code <= 30;
            if (!fileEvent || out.empty() || out.back().first != e.code)
                out.push_back({e.code, e.value});
        }
        return out;
    }
};

class Update : public ::testing::Test, protected testsupport::PrivateDeviceTree {
  protected:
    modemsim::ModemSim sim;
    std::map<std::string, std::vector<uint8_t>> payloads;  // by file name
    RecordingSink sink;
    std::unique_ptr<CapturedStream> out, err;

    void SetUp() override {
        clk_SetScale(200);
        ASSERT_EQ(mkdir(dev.c_str(), 0755), 0);
        ASSERT_EQ(mkdir(sys.c_str(), 0755), 0);
        ASSERT_EQ(mkdir(firmware.c_str(), 0755), 0);
        ASSERT_EQ(chdir(root.path().c_str()), 0);  // the rejection log lands here
        testsupport::drainPostedMessages();
        out = std::make_unique<CapturedStream>(1);
        err = std::make_unique<CapturedStream>(2);
    }
    void TearDown() override {
        if (HasFailure()) {  // what the update printed, gtest's own messages among it
            std::string o = out->text(), e = err->text();
            out.reset();
            err.reset();
            fprintf(stderr, "--- stdout ---\n%s\n--- stderr ---\n%s\n", o.c_str(), e.c_str());
        }
        out.reset();
        err.reset();
        sim.stop();
        sink_Set(nullptr);
        clk_SetScale(1);
        testsupport::drainPostedMessages();
        if (chdir("/") != 0) {
        }
    }

    void startModem(const std::string& scenario = "", bool renumber = false) {
        modemsim::SimOptions o = testsupport::simOptions(dev, sys, scenario);
        o.renumberOnSwitch = renumber;
        ASSERT_NO_FATAL_FAILURE(testsupport::startSim(sim, o));
    }
    void writeFile(const std::string& name, uint32_t id, size_t size) {
        std::vector<uint8_t> payload(size);
        for (size_t i = 0; i < size; ++i)
            payload[i] = static_cast<uint8_t>((i * 131 + id * 7) >> 1);
        FILE* f = fopen((firmware + "/" + name).c_str(), "wb");
        ASSERT_NE(f, nullptr);
        ArchiveLayout layout;
        layout.archiveIdWord = id;
        CMemoryPayload source(payload.data(), payload.size());
        std::string why;
        ASSERT_EQ(archive_Write(f, layout, static_cast<uint32_t>(size), source, &why), 1) << why;
        fclose(f);
        payloads[name] = payload;
    }
    void writeFirmware(const std::string& categories, size_t size = 40000) {
        for (const FirmwareFile& f : kFiles) writeFile(f.name, f.id, size + f.id * 1000);
        FILE* ini = fopen((firmware + "/update_config.ini").c_str(), "wb");
        fprintf(ini, "[update flag]\r\nupdate_cat=%s\r\n", categories.c_str());
        fclose(ini);
    }
    std::string path(const std::string& name) const { return firmware + "\\" + name; }
    void expectFlashed(const char* name, uint32_t id) {
        EXPECT_EQ(sim.flash(id), payloads[name]) << name;
    }
};

// The progress plan of a whole update, from the archives' payload sizes: the sink's events
// (code, value) and the posted progress values, each in order. Every block of file n reports
// base + pct * share / 100, where base = 15 + (n - 1) * share and pct is the per cent of the
// payload accepted before the block.
struct ProgressPlan {
    std::vector<std::pair<int, int>> events;
    std::vector<int> progress;
};

ProgressPlan planFor(const std::vector<std::pair<int, size_t>>& files) {
    ProgressPlan plan;
    plan.events.push_back({EVENT_ENTER_DOWNLOAD_MODE, 1});
    plan.progress.push_back(0);
    const int share = 80 / static_cast<int>(files.size());
    int base = 15;
    for (const auto& [code, total] : files) {
        plan.events.push_back({code, base});
        for (size_t sent = 0; sent < total; sent += DEFAULT_BLOCK_SIZE) {
            int value = base + static_cast<int>(100 * sent / total) * share / 100;
            plan.events.push_back({code, value});
            plan.progress.push_back(value);
        }
        base += share;
    }
    plan.events.push_back({EVENT_RESET_TO_MODEM, 95});
    plan.events.push_back({EVENT_SUCCESS, 100});
    plan.progress.push_back(100);
    return plan;
}

// A folder whose path is exactly `length` characters long, made of directories of at most
// 100 characters under base.
std::string folderOfLength(const std::string& base, size_t length) {
    std::string path = base;
    while (path.size() < length) {
        size_t part = std::min<size_t>(100, length - path.size() - 1);
        if (length - path.size() - 1 - part == 1) --part;  // never leave room for "/" alone
        path += '/';
        path.append(part, 'd');
        if (mkdir(path.c_str(), 0755) != 0 && errno != EEXIST) return "";
    }
    return path;
}

// Seven files from the longest folder SetFirmwareFolder accepts, through the host interface
// onto a modem that comes back renumbered: every file lands in the flash, and the host sees
// exactly the progress plan.
TEST_F(Update, SevenFilesFromTheLongestFolderFollowTheProgressPlan) {
    firmware = folderOfLength(root.path(), 232);
    ASSERT_EQ(firmware.size(), 232u);
    writeFirmware("7;8;9");
    startModem("", /*renumber=*/true);
    IDownloader* d = host_CreateDownloader();
    ASSERT_TRUE(d->SetFirmwareFolder(firmware.c_str()));
    ASSERT_TRUE(d->SetSink(&sink));
    int32_t result = -1;
    EXPECT_TRUE(d->Download(&result, 0));
    EXPECT_EQ(result, DOWNLOAD_OK) << err->text();
    sim.stop();

    for (const FirmwareFile& f : kFiles) expectFlashed(f.name, f.id);
    EXPECT_EQ(sim.mode(), 0);
    EXPECT_EQ(sim.autorun(), 1);
    EXPECT_EQ(sim.comNumber(), 67) << "came back renumbered after both switches";

    // kFiles is in download order.
    const int codes[] = {24, 25, 26, 27, 29, 28, 30};
    std::vector<std::pair<int, size_t>> files;
    for (int i = 0; i < 7; ++i) files.push_back({codes[i], payloads[kFiles[i].name].size()});
    ProgressPlan plan = planFor(files);

    std::vector<std::pair<int, int>> events;
    for (const DownloadEvent& e : sink.events) events.push_back({e.code, e.value});
    EXPECT_EQ(events, plan.events);

    std::vector<int> progress;
    std::vector<uint32_t> texts;
    std::vector<testsupport::PostedMessage> q = testsupport::drainPostedMessages();
    for (const testsupport::PostedMessage& p : q) {
        EXPECT_EQ(p.w, 0);
        if (p.id == MSG_DL_PROGRESS)
            progress.push_back(static_cast<int>(p.l));
        else
            texts.push_back(p.id);
    }
    EXPECT_EQ(progress, plan.progress);
    // The information text of the closing steps, the recovery's two status texts, the result.
    EXPECT_EQ(texts,
              (std::vector<uint32_t>{MSG_DL_INFO, MSG_DL_STATUS, MSG_DL_STATUS, MSG_DL_RESULT}));
    ASSERT_FALSE(q.empty());
    EXPECT_STREQ(reinterpret_cast<const char*>(q.back().l), "100/100");
    EXPECT_NE(out->text().find("the port is COM65!\n"), std::string::npos);
}

TEST_F(Update, ThreeFilesStartAtFifteenFortyOneAndSixtySeven) {
    writeFirmware("7");
    startModem();
    sink_Set(&sink);
    std::string list =
        path("loader.wrapped") + ";" + path("modem.wrapped") + ";" + path("mass_storage.wrapped");
    EXPECT_EQ(dl_RunJob(0, "COM65", list.c_str()), DL_OK);
    std::vector<std::pair<int, int>> m = sink.milestones();
    EXPECT_EQ(m,
              (std::vector<std::pair<int, int>>{{5, 1}, {24, 15}, {27, 41}, {29, 67}, {31, 95}}));
    expectFlashed("loader.wrapped", 3);
    expectFlashed("modem.wrapped", 0);
    expectFlashed("mass_storage.wrapped", 7);
}

TEST_F(Update, ProgrammingFallsBackToTheSecondCommand) {
    writeFirmware("7");
    startModem("refuse AT%PROG=2 times=all\n");
    EXPECT_EQ(dl_RunJob(0, "COM65", (path("loader.wrapped") + ";" + path("modem.wrapped")).c_str()),
              DL_OK);
    expectFlashed("loader.wrapped", 3);
    expectFlashed("modem.wrapped", 0);
}

TEST_F(Update, AMissingSecondArchiveStopsTheJobAfterRecovery) {
    writeFirmware("7");
    unlink((firmware + "/secondary_boot.wrapped").c_str());
    startModem();
    std::string list =
        path("loader.wrapped") + ";" + path("secondary_boot.wrapped") + ";" + path("modem.wrapped");
    EXPECT_EQ(dl_RunJob(0, "COM65", list.c_str()), DL_FILE_OPEN_FAILED);
    expectFlashed("loader.wrapped", 3);
    EXPECT_FALSE(sim.hasFlash(0)) << "the third file is not touched";
    EXPECT_EQ(sim.mode(), 0) << "recovered to modem mode";
    EXPECT_EQ(ctx_Get(0)->isOpen, 0);
}

TEST_F(Update, ATransferFailureWithAutorunOnSendsNoAutorunCommand) {
    writeFirmware("7");
    startModem("reject-block archive=1 block=2 times=3\n");
    EXPECT_EQ(dl_RunJob(0, "COM65", path("loader.wrapped").c_str()), DL_TRANSFER_FAILED);
    for (const std::string& c : sim.commands())
        EXPECT_EQ(c.find("AT%USBMODEM="), std::string::npos) << c;
    EXPECT_EQ(ctx_Get(0)->isOpen, 0);
    EXPECT_NE(testsupport::readFile(root.file("log0.txt"))
                  .find("BLOCK 2 REJECTED [TRY NB 2 - STATUS= 0xAA02]"),
              std::string::npos);
}

TEST_F(Update, APortThatDropsMidTransferAndComesBackEndsInModemModeWithAutorunOn) {
    writeFirmware("7");
    startModem("vanish archive=1 block=2 return=2000\n");
    EXPECT_EQ(dl_RunJob(0, "COM65", path("loader.wrapped").c_str()), DL_TRANSFER_FAILED)
        << "the job still reports the failure that caused the recovery";
    EXPECT_EQ(sim.mode(), 0);
    EXPECT_EQ(sim.autorun(), 1);
    EXPECT_EQ(ctx_Get(0)->isOpen, 0);
    EXPECT_EQ(err->text().find("Bad file descriptor"), std::string::npos) << err->text();
}

// Gone for good in the middle of the second file: the recovery waits for it as after a mode
// switch, nothing is written to its closed port, and the job says where it leaves the modem.
TEST_F(Update, AModemThatDropsForGoodIsLeftGoneWithNothingWrittenToItsPort) {
    writeFirmware("7");
    startModem("vanish archive=2 block=1\n");
    std::string list = path("loader.wrapped") + ";" + path("secondary_boot.wrapped");
    EXPECT_EQ(dl_RunJob(0, "COM65", list.c_str()), DL_TRANSFER_FAILED);
    std::string errors = err->text();
    EXPECT_EQ(errors.find("Bad file descriptor"), std::string::npos) << errors;
    EXPECT_EQ(errors.find("is not open"), std::string::npos) << errors;
    const ModemLeft* left = dl_ModemLeft(0);
    EXPECT_EQ(left->reason, LEFT_GONE);
    EXPECT_EQ(left->mode, LEFT_MODE_LOADER) << "where it was when it went";
    EXPECT_EQ(left->lastFile, 2);
    EXPECT_EQ(left->fileCount, 2);
    EXPECT_EQ(left->lastFileStage, LEFT_FILE_PART);
    EXPECT_STREQ(left->lastFileName, "secondary_boot.wrapped");
    EXPECT_EQ(left->filesProgrammed, 1);
    EXPECT_NE(errors.find("#Error: the update did not complete: the modem's port went away and "
                          "did not come back (it was last in loader mode); the last file written "
                          "was secondary_boot.wrapped (file 2 of 2, written in part); 1 of 2 "
                          "files programmed; unplug the modem, plug it in again and run the "
                          "update again"),
              std::string::npos)
        << errors;
}

// Back 20 s after it went, as long as a mode switch may take: found and brought back.
TEST_F(Update, AModemBackTwentySecondsAfterDroppingIsBroughtBackToModemMode) {
    writeFirmware("7");
    startModem("vanish archive=1 block=2 return=20000\n");
    EXPECT_EQ(dl_RunJob(0, "COM65", path("loader.wrapped").c_str()), DL_TRANSFER_FAILED);
    EXPECT_EQ(sim.mode(), 0);
    EXPECT_EQ(sim.autorun(), 1);
    const ModemLeft* left = dl_ModemLeft(0);
    EXPECT_EQ(left->reason, LEFT_RECOVERED);
    EXPECT_EQ(left->mode, LEFT_MODE_MODEM);
    EXPECT_EQ(left->lastFileStage, LEFT_FILE_PART);
}

// Gone while it programs: the job says it went away, not that it refused.
TEST_F(Update, AModemThatDropsWhileProgrammingIsSaidToHaveGone) {
    writeFirmware("7");
    startModem("vanish AT%PROG=2\n");
    EXPECT_EQ(dl_RunJob(0, "COM65", path("loader.wrapped").c_str()), DL_PROGRAM_FAILED);
    const ModemLeft* left = dl_ModemLeft(0);
    EXPECT_EQ(left->reason, LEFT_GONE);
    EXPECT_EQ(left->lastFileStage, LEFT_FILE_WRITTEN);
    char words[512];
    EXPECT_NE(std::string(dl_DescribeLeft(left, words, sizeof words)).find("went away"),
              std::string::npos)
        << words;
}

// Silent from a frame on: one status wait, one short check, no further AT time-out, and the
// modem named as silent in loader mode.
TEST_F(Update, AModemSilentFromAFrameOnCostsNoFurtherTimeOut) {
    writeFirmware("7");
    startModem("silent archive=1 block=2\n");
    int64_t start = clk_NowMs();
    EXPECT_EQ(dl_RunJob(0, "COM65", path("loader.wrapped").c_str()), DL_TRANSFER_FAILED);
    EXPECT_LT(clk_NowMs() - start, 2 * DEFAULT_AT_TIMEOUT_S * 1000 / 10) << "no AT time-out";
    const ModemLeft* left = dl_ModemLeft(0);
    EXPECT_EQ(left->reason, LEFT_SILENT);
    EXPECT_EQ(left->mode, LEFT_MODE_LOADER);
    EXPECT_EQ(sim.mode(), 1);
}

TEST_F(Update, AModemLeftInLoaderModeFailsTheFinalCheck) {
    writeFirmware("7");
    startModem("wrong-mode value=1\n");
    EXPECT_EQ(dl_RunJob(0, "COM65", path("loader.wrapped").c_str()), DL_CHECK_FAILED);
    EXPECT_NE(err->text().find("the mode of modem is invalid\n"), std::string::npos);
}

TEST_F(Update, AutorunThatStaysOffFailsTheFinalCheck) {
    writeFirmware("7");
    sink_Set(&sink);
    // Autorun off from the start and stuck there: the final check tries three times.
    modemsim::SimOptions o = testsupport::simOptions(dev, sys, "autorun-stuck\n");
    o.initialAutorun = 0;
    ASSERT_NO_FATAL_FAILURE(testsupport::startSim(sim, o));
    EXPECT_EQ(dl_RunJob(0, "COM65", path("loader.wrapped").c_str()), DL_CHECK_FAILED);
    EXPECT_NE(out->text().find("open autorun fail\n"), std::string::npos);
    for (const DownloadEvent& e : sink.events) EXPECT_NE(e.code, 22);
    int sets = 0;
    for (const std::string& c : sim.commands()) sets += c == "AT%USBMODEM=1";
    EXPECT_EQ(sets, 3);
}

TEST_F(Update, AutorunSwitchedOnAfterAGoodRunReportsIt) {
    writeFirmware("7");
    modemsim::SimOptions o = testsupport::simOptions(dev, sys);
    o.initialAutorun = 0;
    ASSERT_NO_FATAL_FAILURE(testsupport::startSim(sim, o));
    sink_Set(&sink);
    EXPECT_EQ(dl_RunJob(0, "COM65", path("loader.wrapped").c_str()), DL_OK);
    ASSERT_FALSE(sink.events.empty());
    EXPECT_EQ(sink.events.back().code, 22);
    EXPECT_EQ(sink.events.back().value, 100);
    EXPECT_EQ(sim.autorun(), 1);
}

TEST_F(Update, AnOverlongListIsRefusedBeforeThePortIsTouched) {
    startModem();
    std::string list(JOB_LIST_CAPACITY, 'a');
    EXPECT_EQ(dl_RunJob(0, "COM65", list.c_str()), DL_FILE_OPEN_FAILED);
    EXPECT_TRUE(sim.commands().empty());
    EXPECT_NE(err->text().find("file list too long"), std::string::npos);
}

TEST_F(Update, JobFailuresAreMappedToTheHostsResultCodes) {
    struct Case {
        const char* categories;
        const char* scenario;
        int32_t expected;
    };
    const Case cases[] = {
        {"7", "refuse AT%PROG=2 times=all\nrefuse AT%PROG=1 times=all\n", DOWNLOAD_PROGRAM_FAILED},
        {"7", "never-return\n", DOWNLOAD_MODE_FAILED},
        {"9", "reject-header archive=1 times=3\n", DOWNLOAD_TRANSFER_FAILED},
        {"7", "refuse AT%LOAD times=all\n", DOWNLOAD_TRANSFER_FAILED},
        {"7", "wrong-mode value=1\n", DOWNLOAD_FAILED},  // the final check fails
    };
    writeFirmware("7;9");
    sink_Set(&sink);
    for (const Case& c : cases) {
        startModem(c.scenario);
        sink.events.clear();
        CDownloader d;
        FILE* ini = fopen((firmware + "/update_config.ini").c_str(), "wb");
        fprintf(ini, "[update flag]\nupdate_cat=%s\n", c.categories);
        fclose(ini);
        ASSERT_TRUE(d.SetFirmwareFolder(firmware.c_str()));
        int32_t result = -1;
        EXPECT_FALSE(d.Download(&result, 0)) << c.scenario;
        EXPECT_EQ(result, c.expected) << c.scenario;
        for (const DownloadEvent& e : sink.events) EXPECT_NE(e.code, EVENT_SUCCESS) << c.scenario;
        EXPECT_FALSE(sink.events.empty()) << "the sink was reached: " << c.scenario;
        sim.stop();
    }
}

// The download job's branches, one row each: how it is called, the modem's fault, the
// result, what went over the line (in this order, and what never did), the texts that
// reached the output or the posted slots, and the events (repeats of a file's event counted
// once).
TEST_F(Update, TheJobsBranches) {
    enum Call { JOB, BODY };  // dl_RunJob, or dl_DownloadFiles on an open port
    struct Row {
        const char* name;
        Call call;
        int queryChipId, program, logLevel;  // the last two for BODY only
        const char* list;                    // "L": the loader's path
        bool modem;
        int autorun;
        const char* scenario;
        int result;
        std::vector<std::string> commands, absent, texts, absentTexts;
        std::vector<int> events;
        int64_t sleptMs;  // -1: not checked
    };
    const char kRefused[] =  // the message box: "entering download mode failed", GBK
        "\xbd\xf8\xc8\xeb"
        "download"
        "\xc4\xa3\xca\xbd\xca\xa7\xb0\xdc";
    const Row rows[] = {
        {"the chip identity is logged verbatim, even at level 0",
         BODY,
         1,
         1,
         0,
         "L",
         true,
         1,
         "",
         DL_OK,
         {"AT%MODE=1", "AT%CHIPID", "AT%LOAD", "AT%PROG=2", "AT%MODE=0"},
         {},
         {"%CHIPID: 0x51A0C0DE 0x00000001"},
         {"change to Loader mode success"},
         {5, 24, 31},
         -1},
        {"signature check",
         BODY,
         0,
         0,
         2,
         "L",
         true,
         1,
         "",
         DL_OK,
         {"AT%LOAD", "AT%PROG=0", "AT%MODE=0"},
         {"AT%PROG=2", "AT%PROG=1"},
         {"Archive signature ... OK\n"},
         {},
         {5, 24, 31},
         -1},
        {"signature check refused",
         BODY,
         0,
         0,
         2,
         "L",
         true,
         1,
         "refuse AT%PROG=0\n",
         DL_AT_FAILED,
         {"AT%LOAD", "AT%PROG=0", "AT%MODE=0"},
         {},
         {},
         {"Archive signature ... OK"},
         {5, 24},
         -1},
        {"refused switch into loader mode",
         JOB,
         0,
         1,
         2,
         "L",
         true,
         1,
         "refuse AT%MODE=1 times=all\n",
         DL_AT_FAILED,
         {"AT%DEBUG=99", "AT%MODE=1"},
         {"AT%LOAD"},
         // The refused switch left the port closed: the recovery reopens it and finds the
         // modem still in modem mode.
         {kRefused, "recover to Modem mode success\n", "Recupero dati completato!"},
         {},
         {5},
         -1},
        {"an empty list goes to the closing steps",
         JOB,
         0,
         1,
         2,
         ";;",
         true,
         1,
         "",
         DL_OK,
         {"AT%MODE=1", "AT%MODE=0", "AT%USBMODEM?"},
         {"AT%LOAD"},
         {"Tempo di aggiomamento previsto: 10.0 sec"},
         {},
         {5, 31},
         -1},
        {"autorun switched back on after a failed run",
         JOB,
         0,
         1,
         2,
         "L",
         true,
         0,
         "reject-block archive=1 block=1 times=3\n",
         DL_TRANSFER_FAILED,
         {"AT%LOAD", "AT%MODE=0", "AT%USBMODEM?", "AT%USBMODEM=1"},
         {},
         {},
         {},
         {5, 24},
         -1},
        {"a port that never opens is tried three times",
         JOB,
         0,
         1,
         2,
         "L",
         false,
         1,
         "",
         DL_MODE_SWITCH_FAILED,
         {},
         {},
         {"did not come back after 3 attempts"},
         {},
         {},
         2 * JOB_RETRY_PAUSE_MS},
    };
    writeFirmware("7", 20000);
    sink_Set(&sink);
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        if (row.modem) {
            modemsim::SimOptions o = testsupport::simOptions(dev, sys, row.scenario);
            o.initialAutorun = row.autorun;
            ASSERT_NO_FATAL_FAILURE(testsupport::startSim(sim, o));
        }
        sink.events.clear();
        testsupport::drainPostedMessages();
        notify_Info(0, "");
        size_t outFrom = out->text().size(), errFrom = err->text().size();
        std::string list = std::string(row.list) == "L" ? path("loader.wrapped") : row.list;
        int64_t slept = clk_ThreadSleptMs();
        int result;
        if (row.call == JOB) {
            result = dl_RunJob(0, "COM65", list.c_str());
        } else {
            ASSERT_NE(com_Open(0, "COM65"), nullptr);
            ctx_LogLevel(0, row.logLevel);
            ctx_SetTargetMode(0, 1);
            std::vector<char> working(list.begin(), list.end());
            working.push_back('\0');
            result = dl_DownloadFiles(0, working.data(), row.queryChipId, row.program);
            EXPECT_EQ(report_Port(0)->logLevel, row.logLevel);
            com_Close(0);
            ctx_LogLevel(0, 2);
        }
        slept = clk_ThreadSleptMs() - slept;
        sim.stop();
        EXPECT_EQ(result, row.result);

        std::vector<std::string> line = sim.commands();
        auto at = line.begin();
        for (const std::string& c : row.commands) {
            at = std::find(at, line.end(), c);
            EXPECT_NE(at, line.end()) << c << " (in this order)";
        }
        for (const std::string& c : row.absent)
            EXPECT_EQ(std::find(line.begin(), line.end(), c), line.end()) << c;

        std::string seen = out->text().substr(outFrom) + err->text().substr(errFrom);
        for (const testsupport::PostedMessage& m : testsupport::drainPostedMessages())
            if (m.id != MSG_DL_PROGRESS) seen += reinterpret_cast<const char*>(m.l);
        for (const std::string& t : row.texts) EXPECT_NE(seen.find(t), std::string::npos) << t;
        for (const std::string& t : row.absentTexts)
            EXPECT_EQ(seen.find(t), std::string::npos) << t;

        std::vector<int> events;
        for (const DownloadEvent& e : sink.events)
            if (events.empty() || events.back() != e.code) events.push_back(e.code);
        EXPECT_EQ(events, row.events);
        if (row.sleptMs >= 0) {
            EXPECT_EQ(slept, row.sleptMs);
        }
        if (row.autorun == 0 && row.modem) {
            EXPECT_EQ(sim.autorun(), 1);
        }
    }
}

// 60 passes and a 1-second pause after each: with no port at all a pass is the pause alone;
// with a modem that answers no probe it adds the two half-second reply waits. (What the
// modem receives is no count: each probe purges what it has not read yet.)
TEST_F(Update, NoModemEndsTheSearchAfterSixtyPasses) {
    clk_SetScale(1000);
    auto search = [&] {
        CDownloader d;
        int32_t result = -1;
        int64_t slept = clk_ThreadSleptMs();
        EXPECT_FALSE(d.Download(&result, 0));
        EXPECT_EQ(result, DOWNLOAD_FAILED);
        return clk_ThreadSleptMs() - slept;
    };
    EXPECT_EQ(search(), 60 * 1000);
    EXPECT_EQ(out->text(), "search port start!\n");
    startModem("ignore * times=all\n");
    EXPECT_EQ(search(), 60 * (500 + 500 + 1000));
    EXPECT_EQ(out->text(), "search port start!\nsearch port start!\n") << "the job never started";
    for (const std::string& c : sim.commands()) EXPECT_TRUE(c == "AT" || c == "ATI") << c;
}

// Another process updates the modem (it holds its lock): the search says which process since
// when and ends at once, without a single byte to the modem.
TEST_F(Update, AModemAnotherProcessHoldsIsNamedAndLeftAlone) {
    writeFirmware("8");
    startModem();
    int ready[2], done[2];
    ASSERT_EQ(pipe(ready), 0);
    ASSERT_EQ(pipe(done), 0);
    pid_t holder = fork();
    if (holder == 0) {
        ModemLock* lock = nullptr;
        char c = static_cast<char>(modemlock_Acquire("1-1", "SIM0001", "COM65", &lock, nullptr));
        if (write(ready[1], &c, 1) != 1 || read(done[0], &c, 1) != 1) _exit(2);
        _exit(0);
    }
    char c = 0;
    ASSERT_EQ(read(ready[0], &c, 1), 1);
    ASSERT_EQ(c, MODEM_LOCK_TAKEN);
    CDownloader d;
    ASSERT_TRUE(d.SetFirmwareFolder(firmware.c_str()));
    int32_t result = -1;
    int64_t slept = clk_ThreadSleptMs();
    EXPECT_FALSE(d.Download(&result, 0));
    EXPECT_EQ(result, DOWNLOAD_FAILED);
    EXPECT_EQ(clk_ThreadSleptMs() - slept, 0) << "no search passes";
    EXPECT_TRUE(sim.commands().empty());
    std::string said = err->text();
    EXPECT_NE(said.find("#Error: the modem at 1-1 (COM65) is being updated by process " +
                        std::to_string(holder) + " ("),
              std::string::npos)
        << said;
    EXPECT_NE(said.find(" since "), std::string::npos) << said;
    const JobFailure* f = report_LastFailure(0);
    EXPECT_EQ(f->step, JOB_STEP_SEARCH);
    EXPECT_NE(std::string(f->detail).find("is being updated by process"), std::string::npos);
    EXPECT_EQ(write(done[1], &c, 1), 1);
    int status = 0;
    waitpid(holder, &status, 0);
    // Once the other process has let go, the modem is this update's.
    EXPECT_TRUE(d.Download(&result, 0));
    EXPECT_EQ(modemlock_Query("1-1", "", "", nullptr), 0) << "released after the last check";
}

// A port that another program holds (its exclusive lock) is said to be busy, not to have no
// modem.
TEST_F(Update, APortAnotherProgramHoldsIsSaidToBeBusy) {
    clk_SetScale(1000);
    writeFirmware("8");
    startModem();
    int fd = open((dev + "/ttyACM0").c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(flock(fd, LOCK_EX | LOCK_NB), 0);
    CDownloader d;
    ASSERT_TRUE(d.SetFirmwareFolder(firmware.c_str()));
    int32_t result = -1;
    EXPECT_FALSE(d.Download(&result, 0));
    close(fd);
    EXPECT_EQ(result, DOWNLOAD_FAILED);
    std::string said = err->text();
    EXPECT_NE(said.find("#Error: COM65 is held by another program"), std::string::npos) << said;
    const JobFailure* f = report_LastFailure(0);
    EXPECT_EQ(f->step, JOB_STEP_SEARCH);
    EXPECT_EQ(std::string(f->detail).find("no modem answered"), std::string::npos) << f->detail;
    EXPECT_TRUE(sim.commands().empty());
}

}  // namespace
