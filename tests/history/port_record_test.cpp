// One port context serving updates in turn, in the recording host's own process: what a
// record takes from the port, and the latch reset for a job that is for another modem.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <string>
#include <vector>

#include "engine/archive_writer.h"
#include "engine/mode.h"
#include "history/history_store.h"
#include "history/update_recorder.h"
#include "host/downloader.h"
#include "modem_sim.h"
#include "platform/clock.h"
#include "report/job_observer.h"
#include "support/sim_support.h"
#include "support/test_support.h"
#include "util/sha256.h"

namespace {

class PortRecord : public ::testing::Test, protected testsupport::PrivateDeviceTree {
  protected:
    modemsim::ModemSim sim;

    void SetUp() override {
        clk_SetScale(200);
        mode_ResetInitLatches(0);  // whatever earlier tests in this process left
        mkdir(dev.c_str(), 0755);
        mkdir(sys.c_str(), 0755);
        mkdir(firmware.c_str(), 0755);
        std::vector<uint8_t> payload(3000, 0x5a);
        FILE* f = fopen((firmware + "/productConfig.bin").c_str(), "wb");
        ASSERT_NE(f, nullptr);
        ArchiveLayout layout;
        layout.archiveIdWord = 5;
        CMemoryPayload source(payload.data(), payload.size());
        std::string why;
        ASSERT_EQ(archive_Write(f, layout, static_cast<uint32_t>(payload.size()), source, &why), 1);
        fclose(f);
        root.write("firmware/update_config.ini", "[update flag]\r\nupdate_cat=9\r\n");
        modemsim::SimOptions o = testsupport::simOptions(dev, sys);
        o.republishDelayMs = 100;
        ASSERT_NO_FATAL_FAILURE(testsupport::startSim(sim, o));
    }
    void TearDown() override {
        sim.stop();
        report_SetObserver(nullptr);
        clk_SetScale(1);
        testsupport::drainPostedMessages();
    }
    int download() {
        CDownloader d;
        EXPECT_TRUE(d.SetFirmwareFolder(firmware.c_str()));
        int32_t result = 0;
        d.Download(&result, 0);
        return result;
    }
    size_t sent(const std::string& command) {
        std::vector<std::string> c = sim.commands();
        return static_cast<size_t>(std::count(c.begin(), c.end(), command));
    }
};

TEST_F(PortRecord, ARecordTakesTheAnswersAndPortNamesOfItsOwnJob) {
    std::string notice, error;
    auto store = history_OpenStore(root.file("h.sqlite3"), &notice, &error);
    ASSERT_TRUE(store) << error;
    CFirmwareFiles files({firmware + "\\productConfig.bin"});
    CUpdateRecorder recorder(store.get(), nullptr);
    report_SetObserver(&recorder);  // the recorder follows the job's file starts and ends
    recorder.Begin(HistoryUpdate(), &files);
    ASSERT_EQ(download(), DOWNLOAD_OK);
    HistoryUpdate end;
    end.resultCode = DOWNLOAD_OK;
    history_TakeFromPort(0, &end);
    recorder.Finish(end);

    HistoryFilter f;
    f.withFiles = true;
    std::vector<HistoryUpdate> all;
    ASSERT_TRUE(store->Query(f, &all, &error)) << error;
    ASSERT_EQ(all.size(), 1u);
    EXPECT_EQ(all[0].firmwareBefore(), "SIM_1.0.0 [2026-01-01]");
    EXPECT_EQ(all[0].portNames, "COM65");
    ASSERT_EQ(all[0].files.size(), 1u);
    std::string bytes = testsupport::readFile(firmware + "/productConfig.bin");
    EXPECT_EQ(all[0].files[0].sha256, mfutil::sha256Hex(bytes.data(), bytes.size()));
    EXPECT_EQ(all[0].files[0].archiveName, "CUSTCFG");
    EXPECT_TRUE(all[0].files[0].programmed);
}

// The single-modem path: a second job on the port sends no identification again (the
// latches last as long as the library), so its record has no answers rather than the first
// modem's. A job for another modem resets the latches first and is identified anew.
TEST_F(PortRecord, AnotherModemsJobIsIdentifiedAnewOnlyAfterTheLatchesAreReset) {
    ASSERT_EQ(download(), DOWNLOAD_OK);
    HistoryUpdate first;
    history_TakeFromPort(0, &first);
    EXPECT_EQ(first.firmwareBefore(), "SIM_1.0.0 [2026-01-01]");
    EXPECT_EQ(sent("AT+GMR"), 1u);

    ASSERT_EQ(download(), DOWNLOAD_OK);
    HistoryUpdate second;
    history_TakeFromPort(0, &second);
    EXPECT_TRUE(second.answers.empty());
    EXPECT_EQ(second.portNames, "COM65");
    EXPECT_EQ(sent("AT+GMR"), 1u) << "the described behaviour: once per mode";

    mode_ResetInitLatches(0);
    ASSERT_EQ(download(), DOWNLOAD_OK);
    HistoryUpdate third;
    history_TakeFromPort(0, &third);
    EXPECT_EQ(third.firmwareBefore(), "SIM_1.0.0 [2026-01-01]");
    EXPECT_EQ(sent("AT+GMR"), 2u);
}

}  // namespace
