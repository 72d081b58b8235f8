// Whole updates through the downloader, against the simulated modem on a pty.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

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
#include "report/log.h"
#include "report/notify.h"
#include "support/test_support.h"

using testsupport::CapturedStream;
using testsupport::ScopedEnv;
using testsupport::TempDir;

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

class Update : public ::testing::Test {
  protected:
    TempDir root;
    std::string dev = root.path() + "/dev";
    std::string sys = root.path() + "/sys";
    std::string firmware = root.path() + "/firmware";
    ScopedEnv devRoot{"MODEMFLASH_DEV_ROOT", dev};
    ScopedEnv sysRoot{"MODEMFLASH_SYSFS_ROOT", sys};
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
        modemsim::SimOptions o;
        o.devRoot = dev;
        o.sysfsRoot = sys;
        o.scenario = scenario;
        o.renumberOnSwitch = renumber;
        std::string why;
        ASSERT_TRUE(sim.start(o, &why)) << why;
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

TEST_F(Update, SevenFilesThroughTheHostInterface) {
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

    // The progress plan: 1, then each file from 15 by 11, 95, and success with 100.
    std::vector<std::pair<int, int>> expected = {{5, 1}};
    const int codes[] = {24, 25, 26, 27, 29, 28, 30};
    for (int i = 0; i < 7; ++i) expected.push_back({codes[i], 15 + 11 * i});
    expected.push_back({31, 95});
    expected.push_back({23, 100});
    EXPECT_EQ(sink.milestones(), expected);

    std::vector<testsupport::PostedMessage> q = testsupport::drainPostedMessages();
    ASSERT_GE(q.size(), 4u);
    EXPECT_EQ(q.front().id, 0x500u);
    EXPECT_EQ(q.front().l, 0);
    EXPECT_EQ(q[q.size() - 1].id, 0x700u);
    EXPECT_STREQ(reinterpret_cast<const char*>(q[q.size() - 1].l), "100/100");
    EXPECT_EQ(q[q.size() - 2].id, 0x500u);
    EXPECT_EQ(q[q.size() - 2].l, 100);
    int statusTexts = 0, infoTexts = 0;
    for (const testsupport::PostedMessage& p : q) {
        statusTexts += p.id == 0x600u;
        infoTexts += p.id == 0x900u;
    }
    EXPECT_EQ(statusTexts, 2);  // "Recupero dati......", "Recupero dati completato!"
    EXPECT_EQ(infoTexts, 1);
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
    modemsim::SimOptions o;
    o.devRoot = dev;
    o.sysfsRoot = sys;
    o.initialAutorun = 0;
    o.scenario = "autorun-stuck\n";
    std::string why;
    ASSERT_TRUE(sim.start(o, &why)) << why;
    EXPECT_EQ(dl_RunJob(0, "COM65", path("loader.wrapped").c_str()), DL_CHECK_FAILED);
    EXPECT_NE(out->text().find("open autorun fail\n"), std::string::npos);
    for (const DownloadEvent& e : sink.events) EXPECT_NE(e.code, 22);
    int sets = 0;
    for (const std::string& c : sim.commands()) sets += c == "AT%USBMODEM=1";
    EXPECT_EQ(sets, 3);
}

TEST_F(Update, AutorunSwitchedOnAfterAGoodRunReportsIt) {
    writeFirmware("7");
    modemsim::SimOptions o;
    o.devRoot = dev;
    o.sysfsRoot = sys;
    o.initialAutorun = 0;
    std::string why;
    ASSERT_TRUE(sim.start(o, &why)) << why;
    sink_Set(&sink);
    EXPECT_EQ(dl_RunJob(0, "COM65", path("loader.wrapped").c_str()), DL_OK);
    ASSERT_FALSE(sink.events.empty());
    EXPECT_EQ(sink.events.back().code, 22);
    EXPECT_EQ(sink.events.back().value, 100);
    EXPECT_EQ(sim.autorun(), 1);
}

TEST_F(Update, AnOverlongListIsRefusedBeforeThePortIsTouched) {
    startModem();
    std::string list(1024, 'a');
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
    for (const Case& c : cases) {
        startModem(c.scenario);
        CDownloader d;
        FILE* ini = fopen((firmware + "/update_config.ini").c_str(), "wb");
        fprintf(ini, "[update flag]\nupdate_cat=%s\n", c.categories);
        fclose(ini);
        ASSERT_TRUE(d.SetFirmwareFolder(firmware.c_str()));
        int32_t result = -1;
        EXPECT_FALSE(d.Download(&result, 0)) << c.scenario;
        EXPECT_EQ(result, c.expected) << c.scenario;
        sim.stop();
    }
}

TEST_F(Update, NoModemEndsTheSearchAfterSixtyPasses) {
    clk_SetScale(1000);
    CDownloader d;
    int32_t result = -1;
    EXPECT_FALSE(d.Download(&result, 0));
    EXPECT_EQ(result, DOWNLOAD_FAILED);
    EXPECT_EQ(out->text(), "search port start!\n");
}

}  // namespace
