#include "history/update_recorder.h"

#include <stdio.h>
#include <string.h>

#include "engine/archive.h"
#include "engine/firmware_folder.h"
#include "engine/job.h"
#include "history/history_time.h"
#include "modemflash/downloader.h"
#include "platform/env.h"
#include "platform/file.h"
#include "report/notify.h"
#include "util/sha256.h"

namespace {

std::string baseName(const std::string& path) {
    size_t cut = path.find_last_of("/\\");
    return cut == std::string::npos ? path : path.substr(cut + 1);
}

HistoryFile describe(const std::string& path, int seq) {
    HistoryFile f;
    f.seq = seq;
    f.name = baseName(path);
    FILE* file = file_Open(path.c_str(), "rb");
    if (file == nullptr) return f;
    mfutil::Sha256 hash;
    uint8_t buffer[65536];
    uint8_t header[WRAPPED_BASE_HEADER_SIZE];
    size_t headerBytes = 0;
    int64_t size = 0;
    size_t n;
    while ((n = file_Read(buffer, 1, sizeof buffer, file)) > 0) {
        if (headerBytes < sizeof header) {
            size_t take = sizeof header - headerBytes < n ? sizeof header - headerBytes : n;
            memcpy(header + headerBytes, buffer, take);
            headerBytes += take;
        }
        hash.update(buffer, n);
        size += static_cast<int64_t>(n);
    }
    bool readFailed = ferror(file) != 0;
    fclose(file);
    if (readFailed) return f;
    f.size = size;
    f.sha256 = hash.hex();
    if (headerBytes == sizeof header) {
        WrappedHeader h = archive_DecodeHeader(header);
        if (h.magic == WRAPPED_MAGIC) {
            f.archiveId = h.archiveIdWord & ARCHIVE_ID_MASK;
            int entry = archive_FindId(static_cast<uint32_t>(f.archiveId));
            if (entry >= 0) f.archiveName = g_archiveIds[entry].shortName;
        }
    }
    return f;
}

}  // namespace

std::vector<HistoryFile> history_DescribeFiles(const std::vector<std::string>& paths) {
    std::vector<HistoryFile> files;
    files.reserve(paths.size());
    for (size_t i = 0; i < paths.size(); ++i)
        files.push_back(describe(paths[i], static_cast<int>(i)));
    return files;
}

CFirmwareFiles::CFirmwareFiles(std::vector<std::string> paths)
    : paths_(std::move(paths)),
      described_(paths_.size()),
      done_(new std::atomic<bool>[paths_.size()]) {
    for (size_t i = 0; i < paths_.size(); ++i) {
        names_.push_back(baseName(paths_[i]));
        done_[i] = false;
    }
    if (!paths_.empty()) helper_ = thread_Start(describeAll, this);
}

CFirmwareFiles::~CFirmwareFiles() {
    stop_ = true;
    thread_Join(helper_);
}

void CFirmwareFiles::WaitDescribed() {
    thread_Join(helper_);
    helper_ = nullptr;
}

void CFirmwareFiles::describeAll(void* self) {
    CFirmwareFiles* f = static_cast<CFirmwareFiles*>(self);
    for (size_t i = 0; i < f->paths_.size() && !f->stop_; ++i) {
        f->described_[i] = describe(f->paths_[i], static_cast<int>(i));
        f->done_[i].store(true, std::memory_order_release);
    }
}

HistoryFile CFirmwareFiles::File(size_t i) const {
    if (done_[i].load(std::memory_order_acquire)) return described_[i];
    return describe(paths_[i], static_cast<int>(i));
}

std::vector<std::string> history_FirmwarePaths(const std::string& folder) {
    std::vector<std::string> paths;
    firmware_ReadFolder(folder.c_str(), &paths);
    return paths;
}

std::vector<HistoryAnswer> history_CollectAnswers(
    const std::function<const char*(int, const char*)>& answerOf) {
    static const struct {
        int mode;
        const char* command;
    } kCommands[] = {{0, "AT+GMR"},  {0, "AT%IFWR"},   {0, "AT%ICOMPAT"}, {1, "AT+GMR"},
                     {1, "AT%IFWR"}, {1, "AT%IFLIST"}, {1, "AT%CHIPID"}};
    std::vector<HistoryAnswer> answers;
    for (const auto& c : kCommands) {
        const char* text = answerOf(c.mode, c.command);
        if (text != nullptr && *text != '\0') answers.push_back({c.mode, c.command, text});
    }
    return answers;
}

void history_TakeFromPort(int portIndex, HistoryUpdate* end) {
    end->portNames = dl_PortNames(portIndex);
    end->answers = history_CollectAnswers([portIndex](int mode, const char* command) {
        return dl_InitAnswer(portIndex, mode, command);
    });
}

std::string history_LeftWords(int portIndex) {
    const ModemLeft* left = dl_ModemLeft(portIndex);
    if (left == nullptr || left->reason == LEFT_UPDATED) return "";
    char words[512];
    return dl_DescribeLeft(left, words, sizeof words);
}

std::string history_MachineName() {
    char name[256];
    return env_MachineName(name, sizeof name) ? name : "";
}

CUpdateRecorder::CUpdateRecorder(IHistoryStore* store, Warn warn)
    : store_(store), warn_(std::move(warn)) {}

void CUpdateRecorder::warnOnce(const std::string& text) {
    if (warned_) return;
    warned_ = true;
    if (warn_) warn_("history: " + text + "; the update goes on without its record");
}

void CUpdateRecorder::Begin(HistoryUpdate start, const CFirmwareFiles* firmware) {
    firmware_ = firmware;
    files_.clear();
    eventCodes_.clear();
    for (size_t i = 0; firmware && i < firmware->Count(); ++i) {
        HistoryFile f;
        f.seq = static_cast<int>(i);
        f.name = firmware->Name(i);
        files_.push_back(f);
        eventCodes_.push_back(sink_EventCode(f.name.c_str()));
    }
    recorded_.assign(files_.size(), false);
    descriptions_.assign(files_.size(), std::nullopt);
    current_ = -1;
    answersKept_ = 0;
    if (store_ == nullptr) return;
    if (start.startedMs == 0) start.startedMs = history_NowMs();
    if (start.machine.empty()) start.machine = history_MachineName();
    std::string error;
    id_ = store_->BeginUpdate(start, &error);
    if (id_ <= 0) {
        id_ = 0;
        warnOnce(error);
    }
}

namespace {

int64_t msSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 start)
        .count();
}

}  // namespace

void CUpdateRecorder::completeCurrent(bool programmed) {
    if (current_ < 0) return;
    HistoryFile& f = files_[static_cast<size_t>(current_)];
    f.programmed = programmed;
    // Without a programming phase to mark the transfer's end (a host of the contract alone),
    // a programmed file's time runs to its end.
    if (f.transferMs < 0 && programmed) f.transferMs = msSince(currentStart_);
    recorded_[static_cast<size_t>(current_)] = true;
    current_ = -1;
    std::string error;
    if (writing() && !warned_ && !store_->AddFile(id_, described(f), &error)) warnOnce(error);
}

HistoryFile CUpdateRecorder::described(const HistoryFile& f) {
    const size_t i = static_cast<size_t>(f.seq);
    if (!descriptions_[i]) descriptions_[i] = firmware_->File(i);
    HistoryFile d = *descriptions_[i];
    d.transferMs = f.transferMs;
    d.programmed = f.programmed;
    d.blocksSent = f.blocksSent;
    return d;
}

void CUpdateRecorder::StartFile(int seq) {
    if (seq < 0 || static_cast<size_t>(seq) >= files_.size() || seq == current_) return;
    completeCurrent(false);
    current_ = seq;
    currentEvents_ = 0;
    currentStart_ = std::chrono::steady_clock::now();
    HistoryFile& f = files_[static_cast<size_t>(seq)];
    f.transferMs = -1;
    f.blocksSent = -1;
}

void CUpdateRecorder::EndFile(int seq, bool programmed) {
    if (seq == current_) completeCurrent(programmed);
}

void CUpdateRecorder::Transferred(int seq) {
    if (seq != current_ || seq < 0) return;
    HistoryFile& f = files_[static_cast<size_t>(seq)];
    if (f.transferMs >= 0) return;  // known already
    f.transferMs = msSince(currentStart_);
    std::string error;
    if (writing() && !warned_ && !store_->AddFile(id_, described(f), &error)) warnOnce(error);
    lastSaved_ = std::chrono::steady_clock::now();
}

void CUpdateRecorder::BlocksSent(int seq, int64_t blocks) {
    if (seq != current_ || seq < 0) return;
    HistoryFile& f = files_[static_cast<size_t>(seq)];
    bool first = f.blocksSent <= 0 && blocks > 0;
    f.blocksSent = blocks;
    if (!writing() || warned_ || (!first && msSince(lastSaved_) < 1000)) return;
    lastSaved_ = std::chrono::steady_clock::now();
    std::string error;
    if (!store_->AddFile(id_, described(f), &error)) warnOnce(error);
}

void CUpdateRecorder::Answers(const std::vector<HistoryAnswer>& answers) {
    if (answers.size() <= answersKept_) return;
    answersKept_ = answers.size();
    std::string error;
    if (writing() && !warned_ && !store_->AddAnswers(id_, answers, &error)) warnOnce(error);
}

void CUpdateRecorder::OnPhase(int port, JobPhase phase, int fileIndex) {
    if (phase == JOB_PROGRAMMING) Transferred(fileIndex - 1);
    if (phase == JOB_ENTERING_LOADER || phase == JOB_SENDING) {
        // On the job's thread: what the port context holds is this job's.
        HistoryUpdate known;
        history_TakeFromPort(port, &known);
        Answers(known.answers);
    }
}

void CUpdateRecorder::OnEvent(int, int code, int) {
    if (current_ < 0 || code != eventCodes_[static_cast<size_t>(current_)]) return;
    // The file's first event starts its step; each one after it goes with a data block.
    if (++currentEvents_ > 1) BlocksSent(current_, currentEvents_ - 1);
}

void CUpdateRecorder::Finish(const HistoryUpdate& end) {
    completeCurrent(false);
    if (!writing() || warned_) return;
    std::string error;
    for (size_t i = 0; i < files_.size(); ++i) {
        if (recorded_[i]) continue;
        if (!store_->AddFile(id_, described(files_[i]), &error)) return warnOnce(error);
    }
    HistoryUpdate record = end;
    if (record.endedMs < 0) record.endedMs = history_NowMs();
    if (!store_->FinishUpdate(id_, record, &error)) warnOnce(error);
}
