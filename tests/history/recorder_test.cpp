// Recording an update from the job's file starts and ends, describing its files, and a store
// that fails.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "history/history_store.h"
#include "history/history_time.h"
#include "history/update_recorder.h"
#include "modemflash/downloader.h"
#include "support/test_support.h"
#include "util/sha256.h"

namespace {

using testsupport::TempDir;

// A store that keeps what it is given, and can be told to fail from the n-th call on.
class MemoryStore : public IHistoryStore {
  public:
    int failFromCall = -1;
    int calls = 0;
    HistoryUpdate begun, finished;
    std::vector<HistoryFile> files;

    int64_t BeginUpdate(const HistoryUpdate& u, std::string* error) override {
        if (failing(error)) return 0;
        begun = u;
        return 7;
    }
    std::vector<HistoryAnswer> answers;
    int answerWrites = 0;

    // A file recorded again replaces the one of its place, as the real store's do.
    bool AddFile(int64_t, const HistoryFile& f, std::string* error) override {
        if (failing(error)) return false;
        for (HistoryFile& kept : files)
            if (kept.seq == f.seq) return kept = f, true;
        files.push_back(f);
        return true;
    }
    bool AddAnswers(int64_t, const std::vector<HistoryAnswer>& a, std::string* error) override {
        if (failing(error)) return false;
        answers = a;
        ++answerWrites;
        return true;
    }
    bool FinishUpdate(int64_t, const HistoryUpdate& u, std::string* error) override {
        if (failing(error)) return false;
        finished = u;
        return true;
    }
    bool ForEach(const HistoryFilter&, const Each&, std::string*) override { return false; }
    bool Count(const HistoryFilter&, int64_t*, std::string*) override { return false; }

  private:
    bool failing(std::string* error) {
        if (failFromCall < 0 || ++calls < failFromCall) return false;
        *error = "disk I/O error";
        return true;
    }
};

// Three files that need not exist: the recorder knows them by their place in the list.
std::vector<std::string> threeFiles() {
    return {"/nowhere/loader.wrapped", "/nowhere/modem.wrapped", "/nowhere/productConfig.bin"};
}

TEST(UpdateRecorder, FilesAreRecordedAsTheUpdateMovesPastThem) {
    MemoryStore store;
    std::vector<std::string> warnings;
    CUpdateRecorder r(&store, [&](const std::string& w) { warnings.push_back(w); });
    HistoryUpdate start;
    start.folder = "/fw";
    CFirmwareFiles firmware(threeFiles());
    r.Begin(start, &firmware);
    EXPECT_EQ(r.id(), 7);
    EXPECT_GT(store.begun.startedMs, 0) << "the start time is filled in";
    EXPECT_FALSE(store.begun.machine.empty()) << "and the machine's name";

    r.OnPhase(0, JOB_ENTERING_LOADER, 0);
    r.OnFileStart(0, 1, 3, "/nowhere/loader.wrapped");
    r.OnEvent(0, EVENT_LOADER, 15);
    EXPECT_TRUE(store.files.empty()) << "a file is recorded once it has ended";
    r.OnFileEnd(0, 1, true);
    ASSERT_EQ(store.files.size(), 1u);
    EXPECT_EQ(store.files[0].name, "loader.wrapped");
    EXPECT_TRUE(store.files[0].programmed);
    EXPECT_GE(store.files[0].transferMs, 0);

    // The modem refuses to program modem.wrapped; a job that fails ends there.
    r.OnFileStart(0, 2, 3, "/nowhere/modem.wrapped");
    r.OnFileEnd(0, 2, false);
    HistoryUpdate end;
    end.resultCode = DOWNLOAD_PROGRAM_FAILED;
    end.resultWords = "the modem refused to program the firmware";
    r.Finish(end);
    ASSERT_EQ(store.files.size(), 3u);
    EXPECT_EQ(store.files[1].name, "modem.wrapped");
    EXPECT_FALSE(store.files[1].programmed);
    EXPECT_EQ(store.files[1].transferMs, -1);
    EXPECT_EQ(store.files[2].name, "productConfig.bin");
    EXPECT_FALSE(store.files[2].programmed) << "never reached";
    EXPECT_EQ(store.finished.resultCode, DOWNLOAD_PROGRAM_FAILED);
    EXPECT_GE(store.finished.endedMs, store.begun.startedMs);
    EXPECT_TRUE(warnings.empty());
}

// A file is recorded as far as it got while it goes (its first block at once), with its
// transfer time once its programming begins, whatever the programming then does; the answers
// are recorded as soon as they are more than before.
TEST(UpdateRecorder, AFileKeepsHowFarItGotAndATransferItsTimeAsTheyHappen) {
    MemoryStore store;
    CUpdateRecorder r(&store, nullptr);
    CFirmwareFiles firmware(threeFiles());
    r.Begin(HistoryUpdate(), &firmware);
    r.Answers({{0, "AT+GMR", "SIM_1.0"}});
    r.Answers({{0, "AT+GMR", "SIM_1.0"}});
    EXPECT_EQ(store.answerWrites, 1) << "the same answers again are not written again";
    r.Answers({{0, "AT+GMR", "SIM_1.0"}, {1, "AT%CHIPID", "0x1"}});
    EXPECT_EQ(store.answerWrites, 2);
    ASSERT_EQ(store.answers.size(), 2u);

    r.OnPhase(0, JOB_SENDING, 1);
    r.OnFileStart(0, 1, 3, "/nowhere/loader.wrapped");
    r.OnEvent(0, EVENT_LOADER, 1);  // the file's step begins
    EXPECT_TRUE(store.files.empty());
    r.OnEvent(0, EVENT_LOADER, 2);  // its first data block
    ASSERT_EQ(store.files.size(), 1u) << "recorded as far as it got, at once";
    EXPECT_EQ(store.files[0].blocksSent, 1);
    EXPECT_FALSE(store.files[0].programmed);
    EXPECT_EQ(store.files[0].transferMs, -1);
    r.OnEvent(0, EVENT_MODEM, 3);   // another file's event: no block of this one
    r.OnEvent(0, EVENT_LOADER, 4);  // blocks 2 and 3, within the second: kept, not written
    r.OnEvent(0, EVENT_LOADER, 5);
    EXPECT_EQ(store.files[0].blocksSent, 1);

    // The modem refuses to program it: the transfer was whole all the same.
    r.OnPhase(0, JOB_PROGRAMMING, 1);
    EXPECT_GE(store.files[0].transferMs, 0) << "the transfer's time, once programming begins";
    EXPECT_EQ(store.files[0].blocksSent, 3);
    r.OnFileEnd(0, 1, false);
    r.Finish(HistoryUpdate());
    ASSERT_EQ(store.files.size(), 3u);
    EXPECT_FALSE(store.files[0].programmed);
    EXPECT_GE(store.files[0].transferMs, 0);
    EXPECT_EQ(store.files[0].blocksSent, 3);
    EXPECT_EQ(store.files[1].blocksSent, -1) << "never reached";
}

// Every file the job declares programmed is recorded so; a file whose end never came (the
// program was stopped, the job broke off) is not.
void runFiles(CUpdateRecorder& r, int ended) {
    for (int k = 1; k <= 3; ++k) {
        r.OnFileStart(0, k, 3, "");
        if (k <= ended) r.OnFileEnd(0, k, true);
    }
}

TEST(UpdateRecorder, AFileIsProgrammedOnlyWhenTheJobSaysSo) {
    MemoryStore store;
    CUpdateRecorder r(&store, nullptr);
    CFirmwareFiles firmware(threeFiles());
    r.Begin(HistoryUpdate(), &firmware);
    runFiles(r, 2);
    HistoryUpdate end;
    end.resultCode = DOWNLOAD_FAILED;
    r.Finish(end);
    ASSERT_EQ(store.files.size(), 3u);
    EXPECT_TRUE(store.files[0].programmed);
    EXPECT_TRUE(store.files[1].programmed);
    EXPECT_FALSE(store.files[2].programmed) << "started, never declared programmed";
    EXPECT_EQ(store.files[2].transferMs, -1);
}

// Whichever write fails first, the update goes on: one warning, then silence.
TEST(UpdateRecorder, AFailingStoreGivesOneWarningWhicheverWriteFails) {
    for (int failAt = 1; failAt <= 5; ++failAt) {
        SCOPED_TRACE(failAt);
        MemoryStore store;
        store.failFromCall = failAt;
        std::vector<std::string> warnings;
        CUpdateRecorder r(&store, [&](const std::string& w) { warnings.push_back(w); });
        CFirmwareFiles firmware(threeFiles());
        r.Begin(HistoryUpdate(), &firmware);
        runFiles(r, 3);
        r.Finish(HistoryUpdate());
        ASSERT_EQ(warnings.size(), 1u);
        EXPECT_NE(warnings[0].find("disk I/O error"), std::string::npos) << warnings[0];
        EXPECT_NE(warnings[0].find("the update goes on"), std::string::npos) << warnings[0];
    }
}

TEST(UpdateRecorder, NoStoreRecordsNothingAndSaysNothing) {
    int warnings = 0;
    CUpdateRecorder r(nullptr, [&](const std::string&) { ++warnings; });
    CFirmwareFiles firmware(threeFiles());
    r.Begin(HistoryUpdate(), &firmware);
    r.OnFileStart(0, 1, 3, "");
    r.OnFileEnd(0, 1, true);
    r.Finish(HistoryUpdate());
    EXPECT_EQ(r.id(), 0);
    EXPECT_EQ(warnings, 0);
}

TEST(DescribeFiles, GivesSizeHashAndArchiveOfEachFile) {
    TempDir dir;
    // A header with the archive magic and ID 3 (the loader), then a payload.
    std::string archive(24, '\0');
    const unsigned char magic[4] = {0x0A, 0x04, 0xE8, 0x1C};
    archive.replace(0, 4, reinterpret_cast<const char*>(magic), 4);
    archive[16] = 3;
    archive += "payload bytes";
    dir.write("loader.wrapped", archive);
    dir.write("productConfig.bin", "no header here, just configuration text");
    std::vector<HistoryFile> files = history_DescribeFiles(
        {dir.path() + "\\loader.wrapped", dir.file("productConfig.bin"), dir.file("missing")});
    ASSERT_EQ(files.size(), 3u);
    EXPECT_EQ(files[0].name, "loader.wrapped") << "a '\\' separates the folder too";
    EXPECT_EQ(files[0].size, static_cast<int64_t>(archive.size()));
    EXPECT_EQ(files[0].sha256, mfutil::sha256Hex(archive.data(), archive.size()));
    EXPECT_EQ(files[0].archiveId, 3);
    EXPECT_EQ(files[0].archiveName, "LDR");
    EXPECT_EQ(files[1].seq, 1);
    EXPECT_EQ(files[1].archiveId, -1);
    EXPECT_EQ(files[1].size, 39);
    EXPECT_EQ(files[2].size, -1);
    EXPECT_EQ(files[2].sha256, "");

    // The same described on a helper thread, asked for at once and after it is done.
    CFirmwareFiles background({dir.file("loader.wrapped"), dir.file("productConfig.bin")});
    EXPECT_EQ(background.Name(1), "productConfig.bin");
    EXPECT_EQ(background.File(0).sha256, files[0].sha256);
    background.WaitDescribed();
    EXPECT_EQ(background.File(1).sha256, files[1].sha256);
    EXPECT_EQ(background.File(1).seq, 1);
}

TEST(HistoryTime, TextsAndSinceValues) {
    const int64_t t = 1796724315123;  // 2026-12-08T10:05:15.123Z
    EXPECT_EQ(history_IsoTime(t), "2026-12-08T10:05:15.123Z");
    EXPECT_EQ(history_ShortTime(t), "2026-12-08 10:05:15");
    EXPECT_EQ(history_FileStamp(t), "20261208T100515Z");
    EXPECT_EQ(history_IsoTime(951782400000), "2000-02-29T00:00:00.000Z");
    struct {
        const char* text;
        int64_t ms;  // -1: refused
    } cases[] = {{"2026-12-08", t - 36315123},
                 {"2026-12-08 10:05", t - 15123},
                 {"2026-12-08T10:05:15Z", t - 123},
                 {"90m", t - 5400000},
                 {"7d", t - 7 * 86400000LL},
                 {"yesterday", -1},
                 {"2026-13-01", -1},
                 {"2024-02-29", 1709164800000},  // a leap day
                 {"2024-02-30", -1},             // days a month does not have
                 {"2023-02-29", -1},
                 {"2026-04-31", -1},
                 {"5x", -1},
                 {"2026-12-08 10", -1}};
    for (const auto& c : cases) {
        int64_t ms = -1;
        bool ok = history_ParseSince(c.text, t, &ms);
        EXPECT_EQ(ok, c.ms >= 0) << c.text;
        if (ok) {
            EXPECT_EQ(ms, c.ms) << c.text;
        }
    }
}

}  // namespace
