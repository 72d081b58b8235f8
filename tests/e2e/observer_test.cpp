// What a job tells its observer, against the simulated modem: each phase raised by the step
// it names (the modem's next command shows which step runs), the files' starts and ends, the
// events by code, and the failure record of a job that fails.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <mutex>
#include <string>
#include <vector>

#include "engine/archive_writer.h"
#include "host/factory.h"
#include "modem_sim.h"
#include "modemflash/downloader.h"
#include "platform/clock.h"
#include "report/job_observer.h"
#include "support/sim_support.h"
#include "support/test_support.h"

using testsupport::CapturedStream;
using testsupport::startSim;

namespace {

// Everything the observer is told, in order, with the number of commands the modem had
// received at each phase.
class Journal : public IJobObserver {
  public:
    explicit Journal(const modemsim::ModemSim* sim) : sim_(sim) {}
    struct Phase {
        JobPhase phase;
        int fileIndex;
        size_t commandsBefore;
    };
    void OnPhase(int port, JobPhase phase, int fileIndex) override {
        std::lock_guard<std::mutex> g(mu);
        ports.push_back(port);
        phases.push_back({phase, fileIndex, sim_->commands().size()});
        order.push_back(std::string("phase ") + report_PhaseName(phase));
    }
    void OnFileStart(int, int fileIndex, int fileCount, const char* path) override {
        std::lock_guard<std::mutex> g(mu);
        order.push_back("start " + std::to_string(fileIndex) + "/" + std::to_string(fileCount) +
                        " " + path);
    }
    void OnEvent(int, int code, int) override {
        std::lock_guard<std::mutex> g(mu);
        if (codes.empty() || codes.back() != code) codes.push_back(code);
    }
    void OnFileEnd(int, int fileIndex, bool programmed) override {
        std::lock_guard<std::mutex> g(mu);
        order.push_back("end " + std::to_string(fileIndex) + (programmed ? " programmed" : " not"));
    }
    void OnFailure(int, const JobFailure& f) override {
        std::lock_guard<std::mutex> g(mu);
        failures.push_back(f);
        order.push_back(std::string("failure ") + report_StepName(f.step));
    }

    std::mutex mu;
    std::vector<int> ports;
    std::vector<Phase> phases;
    std::vector<std::string> order;
    std::vector<int> codes;  // each run of one code once
    std::vector<JobFailure> failures;

  private:
    const modemsim::ModemSim* sim_;
};

class Observer : public ::testing::Test, protected testsupport::PrivateDeviceTree {
  protected:
    modemsim::ModemSim sim;
    Journal journal{&sim};
    std::unique_ptr<CapturedStream> out, err;

    void SetUp() override {
        clk_SetScale(200);
        ASSERT_EQ(mkdir(dev.c_str(), 0755), 0);
        ASSERT_EQ(mkdir(sys.c_str(), 0755), 0);
        ASSERT_EQ(mkdir(firmware.c_str(), 0755), 0);
        ASSERT_EQ(chdir(root.path().c_str()), 0);
        out = std::make_unique<CapturedStream>(1);
        err = std::make_unique<CapturedStream>(2);
        report_SetObserver(&journal);
    }
    void TearDown() override {
        report_SetObserver(nullptr);
        std::string o = out->text();
        out.reset();
        err.reset();
        if (HasFailure()) fprintf(stderr, "--- stdout ---\n%.6000s\n", o.c_str());
        sim.stop();
        clk_SetScale(1);
        testsupport::drainPostedMessages();
        if (chdir("/") != 0) {
        }
    }
    // nocd.iso.wrapped and productConfig.bin (categories 8 and 9), two blocks and more each.
    void writeFirmware() {
        const struct {
            const char* name;
            uint32_t id;
        } files[] = {{"nocd.iso.wrapped", 6}, {"productConfig.bin", 5}};
        for (const auto& f : files) {
            std::vector<uint8_t> payload(40000 + f.id);
            for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<uint8_t>(i * 7);
            FILE* file = fopen((firmware + "/" + f.name).c_str(), "wb");
            ASSERT_NE(file, nullptr);
            ArchiveLayout layout;
            layout.archiveIdWord = f.id;
            CMemoryPayload source(payload.data(), payload.size());
            std::string why;
            ASSERT_EQ(
                archive_Write(file, layout, static_cast<uint32_t>(payload.size()), source, &why), 1)
                << why;
            fclose(file);
        }
        FILE* ini = fopen((firmware + "/update_config.ini").c_str(), "wb");
        fprintf(ini, "[update flag]\r\nupdate_cat=8;9\r\n");
        fclose(ini);
    }
    int update(const std::string& scenario, int initialAutorun = 1) {
        writeFirmware();
        modemsim::SimOptions o = testsupport::simOptions(dev, sys, scenario);
        o.initialAutorun = initialAutorun;
        startSim(sim, o);
        if (HasFatalFailure()) return -1;
        IDownloader* d = host_CreateDownloader();
        EXPECT_TRUE(d->SetFirmwareFolder(firmware.c_str()));
        int32_t result = -1;
        d->Download(&result, 0);
        sim.stop();
        return result;
    }
    // The first command the modem received after the phase was raised, "" when none came.
    std::string commandAfter(const Journal::Phase& p) {
        std::vector<std::string> commands = sim.commands();
        return p.commandsBefore < commands.size() ? commands[p.commandsBefore] : "";
    }
    const JobFailure& lastFailure() {
        EXPECT_EQ(journal.failures.size(), 1u);
        const JobFailure* f = report_LastFailure(0);
        EXPECT_NE(f, nullptr);
        return *f;
    }
};

TEST_F(Observer, EveryPhaseIsRaisedByTheStepItNames) {
    ASSERT_EQ(update(""), DOWNLOAD_OK);
    std::vector<std::pair<JobPhase, int>> seen;
    for (const Journal::Phase& p : journal.phases) seen.push_back({p.phase, p.fileIndex});
    EXPECT_EQ(seen, (std::vector<std::pair<JobPhase, int>>{
                        {JOB_PROBING, 0},  // the host's port search
                        {JOB_PROBING, 0},  // the job opens the port and identifies the modem
                        {JOB_ENTERING_LOADER, 0},
                        {JOB_SENDING, 1},
                        {JOB_PROGRAMMING, 1},
                        {JOB_SENDING, 2},
                        {JOB_PROGRAMMING, 2},
                        {JOB_RETURNING, 0},
                        {JOB_CHECKING, 0},
                        {JOB_FINISHED, 0}}));
    ASSERT_EQ(journal.phases.size(), 10u);
    const char* next[] = {"AT",      "AT%DEBUG=99", "ATE0",     "AT%LOAD",  "AT%PROG=2",
                          "AT%LOAD", "AT%PROG=2",   "AT%MODE?", "AT%MODE?", ""};
    for (size_t i = 0; i < journal.phases.size(); ++i)
        EXPECT_EQ(commandAfter(journal.phases[i]), next[i])
            << "phase " << report_PhaseName(journal.phases[i].phase) << " at " << i;
    for (int port : journal.ports) EXPECT_EQ(port, 0);

    EXPECT_EQ(
        journal.order,
        (std::vector<std::string>{
            "phase probing", "phase probing", "phase entering loader", "phase sending",
            "start 1/2 " + firmware + "\\nocd.iso.wrapped", "phase programming", "end 1 programmed",
            "phase sending", "start 2/2 " + firmware + "\\productConfig.bin", "phase programming",
            "end 2 programmed", "phase returning", "phase checking", "phase finished"}));
    EXPECT_EQ(journal.codes,
              (std::vector<int>{EVENT_ENTER_DOWNLOAD_MODE, EVENT_NOCD_ISO, EVENT_PRODUCT_CONFIG,
                                EVENT_RESET_TO_MODEM, EVENT_SUCCESS}));
    EXPECT_TRUE(journal.failures.empty());
    EXPECT_EQ(report_LastFailure(0)->step, JOB_STEP_NONE);
    EXPECT_STREQ(report_LastFailure(0)->words, "");
}

TEST_F(Observer, AProgrammingRefusalNamesTheFileTheCommandAndTheAnswer) {
    EXPECT_EQ(update("refuse AT%PROG=2 times=all\nrefuse AT%PROG=1 times=all"),
              DOWNLOAD_PROGRAM_FAILED);
    const JobFailure& f = lastFailure();
    EXPECT_EQ(f.step, JOB_STEP_PROGRAM);
    EXPECT_EQ(f.fileIndex, 1);
    EXPECT_EQ(f.fileCount, 2);
    EXPECT_STREQ(f.command, "AT%PROG=1");
    EXPECT_EQ(f.answerKind, JOB_ANSWER_ERROR);
    EXPECT_EQ(f.block, -1);
    EXPECT_STREQ(f.words, "programming nocd.iso.wrapped (file 1 of 2): AT%PROG=1 answered ERROR");
    // Told at the failing step: after the file's end, before the recovery's phase.
    // and the check of autorun that follows a failed run.
    std::vector<std::string> tail(journal.order.end() - 5, journal.order.end());
    EXPECT_EQ(tail, (std::vector<std::string>{"failure programming", "end 1 not", "phase returning",
                                              "phase checking", "phase finished"}));
}

TEST_F(Observer, ARejectedBlockNamesTheBlockAndItsStatus) {
    EXPECT_EQ(update("reject-block archive=2 block=2 times=3 status=AA03"),
              DOWNLOAD_TRANSFER_FAILED);
    const JobFailure& f = lastFailure();
    EXPECT_EQ(f.step, JOB_STEP_DATA_FRAME);
    EXPECT_EQ(f.fileIndex, 2);
    EXPECT_EQ(f.block, 2);
    EXPECT_STREQ(f.answer, "AA 03");
    EXPECT_STREQ(f.command, "") << "the AT%LOAD before the frames is no part of it";
    EXPECT_STREQ(f.words,
                 "sending productConfig.bin (file 2 of 2), data block 2: rejected (status AA 03): "
                 "rejected 3 times");
}

TEST_F(Observer, ARefusedLoadAndAStuckAutorunSayWhatTheModemAnswered) {
    EXPECT_EQ(update("refuse AT%LOAD times=all"), DOWNLOAD_TRANSFER_FAILED);
    EXPECT_STREQ(lastFailure().words,
                 "starting the transfer of nocd.iso.wrapped (file 1 of 2): AT%LOAD answered ERROR");

    journal.failures.clear();
    EXPECT_EQ(update("autorun-stuck", /*initialAutorun=*/0), DOWNLOAD_FAILED);
    const JobFailure& f = lastFailure();
    EXPECT_EQ(f.step, JOB_STEP_CHECK_AUTORUN);
    EXPECT_EQ(f.fileIndex, 0);
    EXPECT_STREQ(f.command, "AT%USBMODEM?");
    EXPECT_STREQ(f.words, "switching autorun on: AT%USBMODEM? answered %USBMODEM: 0 / OK");
}

TEST_F(Observer, NoModemAtAllIsAFailedSearch) {
    writeFirmware();
    IDownloader* d = host_CreateDownloader();
    ASSERT_TRUE(d->SetFirmwareFolder(firmware.c_str()));
    int32_t result = -1;
    EXPECT_FALSE(d->Download(&result, 0));
    EXPECT_EQ(result, DOWNLOAD_FAILED);
    const JobFailure& f = lastFailure();
    EXPECT_EQ(f.step, JOB_STEP_SEARCH);
    EXPECT_STREQ(f.words, "finding the modem: no modem answered the probe within 60 search passes");
    ASSERT_FALSE(journal.phases.empty());
    EXPECT_EQ(journal.phases.back().phase, JOB_FINISHED);
}

}  // namespace
