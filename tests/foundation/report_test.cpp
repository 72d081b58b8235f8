// Logging by level and stream, the hook and log file, text slots, messages and sink events.
#include <gtest/gtest.h>
#include <stdint.h>
#include <string.h>

#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "engine/port_context.h"
#include "platform/messages.h"
#include "report/log.h"
#include "report/notify.h"
#include "report/port_report.h"
#include "support/test_support.h"

using testsupport::CapturedStream;
using testsupport::TempDir;

namespace {

constexpr int kPort = 4;

class Logging : public ::testing::Test {
  protected:
    void TearDown() override {
        ctx_LogLevel(kPort, 0);
        log_SetHook(nullptr, nullptr);
        log_CloseFile(kPort);
    }
};

TEST_F(Logging, LevelZeroPrintsNothing) {
    ctx_LogLevel(kPort, 0);
    CapturedStream out(1), err(2);
    log_Error(kPort, "\n#Error: %s\n", "x");
    log_Info(kPort, "info\n");
    EXPECT_EQ(out.text(), "");
    EXPECT_EQ(err.text(), "");
}

TEST_F(Logging, LevelOnePrintsOnlyInformation) {
    ctx_LogLevel(kPort, 1);
    CapturedStream out(1), err(2);
    log_Error(kPort, "error\n");
    log_Info(kPort, "Loading %s archive\n", "MDM");
    EXPECT_EQ(out.text(), "Loading MDM archive\n");
    EXPECT_EQ(err.text(), "");
}

TEST_F(Logging, LevelTwoPrintsEachOnItsOwnStreamFlushedBeforeTheCallReturns) {
    ctx_LogLevel(kPort, 2);
    CapturedStream out(1), err(2);
    // Both streams fully buffered, as a redirected stream is: only the entry's own flush
    // puts its line on the stream.
    static char outBuffer[4096], errBuffer[4096];
    setvbuf(stdout, outBuffer, _IOFBF, sizeof outBuffer);
    setvbuf(stderr, errBuffer, _IOFBF, sizeof errBuffer);
    log_Error(kPort, "e%d", 1);
    std::string errNow = err.written();
    log_Info(kPort, "i%d", 2);
    std::string outNow = out.written();
    fflush(stdout);
    fflush(stderr);
    setvbuf(stderr, nullptr, _IONBF, 0);
    setvbuf(stdout, nullptr, _IOLBF, BUFSIZ);
    EXPECT_EQ(errNow, "e1");
    EXPECT_EQ(outNow, "i2");
    EXPECT_EQ(out.text(), "i2");
    EXPECT_EQ(err.text(), "e1");
}

TEST_F(Logging, BytesAreWrittenUnchanged) {
    ctx_LogLevel(kPort, 2);
    // "mode switch failed" in GBK, and a text without conversions.
    const char gbk[] = "SelectMode: \xc4\xa3\xca\xbd\xc7\xd0\xbb\xbb\xca\xa7\xb0\xdc\n";
    CapturedStream err(2);
    log_Error(kPort, gbk);
    EXPECT_EQ(err.text(), std::string(gbk));
}

TEST_F(Logging, HookReceivesErrorsAtAnyLevelAndTakesInformationOffStdout) {
    std::vector<std::string> seen;
    log_SetHook(
        [](void* user, int, int isError, const char* text) {
            static_cast<std::vector<std::string>*>(user)->push_back((isError ? "E:" : "I:") +
                                                                    std::string(text));
        },
        &seen);
    CapturedStream out(1), err(2);
    ctx_LogLevel(kPort, 0);
    log_Error(kPort, "quiet error\n");
    log_Info(kPort, "quiet info\n");  // below level 1: not an entry at all
    ctx_LogLevel(kPort, 2);
    log_Info(kPort, "loud info %d\n", 7);
    EXPECT_EQ(seen, (std::vector<std::string>{"E:quiet error\n", "I:loud info 7\n"}));
    EXPECT_EQ(out.text(), "");
    EXPECT_EQ(err.text(), "");
}

TEST_F(Logging, HookEntriesAreCutToTheirLimit) {
    size_t length = 0;
    log_SetHook(
        [](void* user, int, int, const char* text) { *static_cast<size_t*>(user) = strlen(text); },
        &length);
    std::string big(20000, 'y');
    log_Error(kPort, "%s", big.c_str());
    EXPECT_EQ(length, static_cast<size_t>(LOG_ENTRY_MAX - 1));
}

TEST_F(Logging, LogFileStampsEachEntryWithoutItsLeadingLineBreaks) {
    TempDir dir;
    ASSERT_EQ(log_OpenFile(kPort, dir.file("log4_DL.txt").c_str()), 1);
    ctx_LogLevel(kPort, 1);
    CapturedStream out(1);
    log_Info(kPort, "\n\nPrograming flash...\n");
    log_Error(kPort, "\n#Error: x\n\n");
    std::string text = testsupport::readFile(dir.file("log4_DL.txt"));
    // "Tue Dec  8 04:28:06 2026: Programing flash...\n"
    ASSERT_GT(text.size(), 26u);
    EXPECT_EQ(text.substr(24, 2), ": ");
    size_t second = text.find('\n', 26) + 1;
    EXPECT_EQ(text.substr(26, second - 26), "Programing flash...\n");
    EXPECT_EQ(text.substr(second + 24), ": #Error: x\n\n");
}

// Several modems at once: each port's lines carry its label and stay whole even when its
// entries end mid-line and another port writes in between.
class LabelledLogging : public ::testing::Test {
  protected:
    void TearDown() override {
        for (int p : {2, 3}) {
            report_SetLabel(p, nullptr);
            ctx_LogLevel(p, 0);
        }
        log_SetConsole(LOG_CONSOLE_ALL);
    }
};

TEST_F(LabelledLogging, PartialLinesOfTwoPortsComeOutWholeAndLabelled) {
    ctx_LogLevel(2, 2);
    ctx_LogLevel(3, 2);
    CapturedStream out(1);
    report_SetLabel(2, "1-1.2");
    report_SetLabel(3, "1-1.3");
    log_Info(2, "\nOpening [%s] file ... ", "a.wrapped");
    log_Info(3, "\nOpening [%s] file ... ", "b.wrapped");
    log_Info(3, "\n\nPrograming flash...\n");
    log_Info(2, "\n\nPrograming flash...\n");
    log_Info(2, "tail without end");
    EXPECT_EQ(out.text(),
              "[1-1.3] Opening [b.wrapped] file ... \n"
              "[1-1.3] Programing flash...\n"
              "[1-1.2] Opening [a.wrapped] file ... \n"
              "[1-1.2] Programing flash...\n");
    log_FlushPort(2);
    EXPECT_EQ(out.text().substr(out.text().size() - 25), "[1-1.2] tail without end\n");
}

TEST_F(LabelledLogging, ChannelFailuresCarryTheLabelToo) {
    report_Port(3)->comVerbosity = 2;
    report_SetLabel(3, "2-4");
    CapturedStream err(2);
    log_Channel(3, 2, "\n#Error: failed to open [%s] device\n", "COM66");
    log_Channel(3, 3, "[0] 0x41 'A'\n");  // the read trace needs verbosity 3
    EXPECT_EQ(err.text(), "[2-4] #Error: failed to open [COM66] device\n");
}

TEST_F(LabelledLogging, ConsoleSwitchSilencesTheStandardStreams) {
    ctx_LogLevel(2, 2);
    log_SetConsole(0);
    CapturedStream out(1), err(2);
    log_Info(2, "info\n");
    log_Error(2, "error\n");
    EXPECT_EQ(out.text(), "");
    EXPECT_EQ(err.text(), "");
}

TEST_F(LabelledLogging, AStationPortsMessageBoxIsOneOfItsErrorLines) {
    ctx_LogLevel(2, 2);
    report_SetLabel(2, "1-1.2");
    {
        CapturedStream err(2);
        report_MessageBox(2, "box text");  // the single host's box (on stderr without a desktop)
        EXPECT_EQ(err.text(), "\n[] box text\n");
    }
    report_Port(2)->boxAsLog = 1;
    {
        CapturedStream err(2);
        report_MessageBox(2, "box text");
        report_Port(2)->boxAsLog = 0;
        EXPECT_EQ(err.text(), "[1-1.2] box text\n");
    }
}

TEST_F(LabelledLogging, ThreadsLoggingAtOnceNeverCutEachOthersLines) {
    const int kPorts = 4, kLines = 200;
    for (int p = 0; p < kPorts; ++p) {
        ctx_LogLevel(8 + p, 1);
        report_SetLabel(8 + p, ("L" + std::to_string(p)).c_str());
    }
    CapturedStream out(1);
    std::vector<std::thread> threads;
    for (int p = 0; p < kPorts; ++p)
        threads.emplace_back([p] {
            for (int i = 0; i < kLines; ++i) {
                log_Info(8 + p, "port %d line ", p);  // every line in two entries
                log_Info(8 + p, "%d end\n", i);
            }
        });
    for (std::thread& t : threads) t.join();
    std::istringstream lines(out.text());
    std::string line;
    int count[kPorts] = {};
    while (std::getline(lines, line)) {
        int p = -1, i = -1, q = -1;
        char tail[8] = {0};
        ASSERT_EQ(sscanf(line.c_str(), "[L%d] port %d line %d %3s", &p, &q, &i, tail), 4) << line;
        ASSERT_EQ(p, q) << line;
        ASSERT_STREQ(tail, "end") << line;
        EXPECT_EQ(i, count[p]++) << line;  // each port's lines in its own order
    }
    for (int p = 0; p < kPorts; ++p) {
        EXPECT_EQ(count[p], kLines);
        report_SetLabel(8 + p, nullptr);
        ctx_LogLevel(8 + p, 0);
    }
}

class Notifications : public ::testing::Test {
  protected:
    void SetUp() override { testsupport::drainPostedMessages(); }
    void TearDown() override {
        sink_Set(nullptr);
        testsupport::drainPostedMessages();
    }
};

TEST_F(Notifications, ProgressCarriesThePortAndThePercentage) {
    notify_Progress(3, 41);
    std::vector<testsupport::PostedMessage> q = testsupport::drainPostedMessages();
    ASSERT_EQ(q.size(), 1u);
    EXPECT_EQ(q[0].id, 0x500u);
    EXPECT_EQ(q[0].w, 3);
    EXPECT_EQ(q[0].l, 41);
}

TEST_F(Notifications, TextsShareTheirSlotSoTheLaterTextWins) {
    notify_Status(0, "Recupero dati......");
    notify_Status(0, "Recupero dati completato!");
    std::vector<testsupport::PostedMessage> q = testsupport::drainPostedMessages();
    ASSERT_EQ(q.size(), 2u);
    EXPECT_EQ(q[0].id, 0x600u);
    EXPECT_EQ(q[0].l, q[1].l);
    EXPECT_STREQ(reinterpret_cast<const char*>(q[0].l), "Recupero dati completato!");
}

TEST_F(Notifications, EachKindHasItsOwnSlotPerPort) {
    notify_Result(1, "100/100");
    notify_Info(1, "Tempo di aggiomamento previsto: 10.0 sec");
    notify_Info(2, "other port");
    std::vector<testsupport::PostedMessage> q = testsupport::drainPostedMessages();
    ASSERT_EQ(q.size(), 3u);
    EXPECT_EQ(q[0].id, 0x700u);
    EXPECT_EQ(q[1].id, 0x900u);
    EXPECT_NE(q[1].l, q[2].l);
    EXPECT_STREQ(reinterpret_cast<const char*>(q[0].l), "100/100");
    EXPECT_STREQ(reinterpret_cast<const char*>(q[1].l), "Tempo di aggiomamento previsto: 10.0 sec");
}

TEST_F(Notifications, AShorterTextLeavesNoTraceOfTheLongerOne) {
    notify_Info(0, "a rather long information text");
    notify_Info(0, "short");
    const char* slot = notify_Slot(MSG_DL_INFO, 0);
    EXPECT_STREQ(slot, "short");
    for (int i = 5; i < TEXT_SLOT_SIZE; ++i) ASSERT_EQ(slot[i], 0) << i;
}

TEST_F(Notifications, ATextLongerThanTheSlotIsCut) {
    std::string big(3000, 'z');
    notify_Status(0, big.c_str());
    EXPECT_EQ(strlen(notify_Slot(MSG_DL_STATUS, 0)), static_cast<size_t>(TEXT_SLOT_SIZE - 1));
}

TEST_F(Notifications, BadPortIndexesPostNothing) {
    notify_Status(16, "x");
    notify_Info(-1, "x");
    EXPECT_TRUE(testsupport::drainPostedMessages().empty());
    EXPECT_EQ(notify_Slot(MSG_DL_STATUS, 16), nullptr);
}

class RecordingSink : public IDownloadSink {
  public:
    std::vector<DownloadEvent> events;
    void OnEvent(DownloadEvent* e) override { events.push_back(*e); }
};

TEST_F(Notifications, EventCodesFollowTheFirstMatchingFragment) {
    EXPECT_EQ(sink_EventCode("C:\\fw\\modem.wrapped\\loader.wrapped"), 24);
    EXPECT_EQ(sink_EventCode("/fw/nocd.iso.wrapped"), 28);
    EXPECT_EQ(sink_EventCode("/fw/mass_storage.wrapped"), 29);
    EXPECT_EQ(sink_EventCode("/fw/modem.wrapped"), 27);
    EXPECT_EQ(sink_EventCode("/fw/factory_tests.wrapped"), 26);
    EXPECT_EQ(sink_EventCode("/fw/secondary_boot.wrapped"), 25);
    EXPECT_EQ(sink_EventCode("/fw/productConfig.bin"), 30);
    EXPECT_EQ(sink_EventCode("openautorun"), 22);
    EXPECT_EQ(sink_EventCode("closeautorun"), 2);
    EXPECT_EQ(sink_EventCode("success"), 23);
    EXPECT_EQ(sink_EventCode("enterdownloadmode"), 5);
    EXPECT_EQ(sink_EventCode("resettomodem"), 31);
    EXPECT_EQ(sink_EventCode("begindownload"), 0);
    EXPECT_EQ(sink_EventCode("PRODUCTCONFIG.BIN"), EVENT_UNKNOWN);  // case counts
    EXPECT_EQ(sink_EventCode("firmware.img"), EVENT_UNKNOWN);
    EXPECT_EQ(sink_EventCode(nullptr), EVENT_UNKNOWN);
}

TEST_F(Notifications, EventsReachTheRegisteredSinkWithTheirValue) {
    RecordingSink sink;
    sink_Set(&sink);
    sink_Event(0, 95, "resettomodem");
    sink_Event(0, 7, "unknown name");
    ASSERT_EQ(sink.events.size(), 2u);
    EXPECT_EQ(sink.events[0].code, 31);
    EXPECT_EQ(sink.events[0].value, 95);
    EXPECT_EQ(sink.events[0].reserved1, 0);
    EXPECT_EQ(sink.events[0].reserved2, 0);
    EXPECT_EQ(sink.events[1].code, EVENT_UNKNOWN);
}

TEST_F(Notifications, APortsOwnSinkTakesItsEventsAndOnlyItsEvents) {
    RecordingSink host, own;
    sink_Set(&host);
    sink_SetForPort(5, &own);
    sink_Event(5, 40, "modem.wrapped");
    sink_Event(6, 41, "modem.wrapped");
    sink_SetForPort(5, nullptr);
    sink_Event(5, 42, "modem.wrapped");
    ASSERT_EQ(own.events.size(), 1u);
    EXPECT_EQ(own.events[0].value, 40);
    ASSERT_EQ(host.events.size(), 2u);
    EXPECT_EQ(host.events[0].value, 41);
    EXPECT_EQ(host.events[1].value, 42);
}

TEST_F(Notifications, WithoutASinkEventsAreDroppedButMessagesStillPosted) {
    sink_Set(nullptr);
    sink_Event(0, 100, "success");
    notify_Progress(0, 100);
    EXPECT_EQ(testsupport::drainPostedMessages().size(), 1u);
}

}  // namespace
