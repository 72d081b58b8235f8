// The block transfer of one archive: AT%LOAD, the header frame, the data frames, their
// status bytes, resends and the rejection log.
#include "engine/transfer.h"

#include <errno.h>
#include <string.h>

#include "engine/archive.h"
#include "engine/at.h"
#include "engine/engine_lock.h"
#include "engine/port_context.h"
#include "platform/clock.h"
#include "platform/file.h"
#include "report/job_observer.h"
#include "report/log.h"
#include "report/notify.h"
#include "report/wait.h"

namespace {

const char kWriteFailed[] = "\n#Error: com_Write %d failed [%s]\n\n";
const char kReadFailed[] = "\n#Error: com_Read %d failed [%s]\n\n";
const char kWriteStalled[] =
    "\n#Error: the modem took no data for %d s, %d bytes of the frame not written [%s]\n\n";
const char kHeaderSilent[] =
    "\n#Error: no status from the modem within %d s after the header frame [%s]\n\n";
const char kBlockSilent[] =
    "\n#Error: no status from the modem within %d s after block %d [%s]\n\n";
const char kFileShort[] = "\n#Error: [%s] ends %lu bytes before the payload size of its header\n\n";
const char kFileUnreadable[] = "\n#Error: cannot read [%s]: %s\n\n";
const char kBlockSizeTooSmall[] = "\n#Error: block size %u cannot carry data [%s]\n\n";

// The per-call rejection log: opened at the first rejected data frame, closed on every path.
class CRejectionLog {
  public:
    explicit CRejectionLog(int port) : port_(port) {
        snprintf(name_, sizeof name_, "log%lu.txt", static_cast<unsigned long>(port));
    }
    ~CRejectionLog() { close(); }
    CRejectionLog(const CRejectionLog&) = delete;
    CRejectionLog& operator=(const CRejectionLog&) = delete;

    // Opens the log unless it is open or an earlier open failed in this call.
    void open() {
        if (file_ != nullptr || !allowed_) return;
        log_Info(port_, "Opening [%s] file ... ", name_);
        file_ = file_Open(name_, "w");
        if (file_ == nullptr) {
            int e = errno;
            log_Error(port_, "warning: failed to open [%s] file, errno=%s\n", name_, strerror(e));
            allowed_ = false;
            return;
        }
        log_Info(port_, "Ok\n");
    }
    FILE* file() const { return file_; }
    void close() {
        if (file_ != nullptr) fclose(file_);
        file_ = nullptr;
    }

  private:
    int port_;
    char name_[32];
    FILE* file_ = nullptr;
    bool allowed_ = true;
};

// The transfer failed at step: recorded, with what the step noted (see report_Fail).
int failed(int port, int step) {
    report_Fail(port, step);
    return 0;
}

// A frame's two status bytes as a failure record shows them, "AA 02".
void noteStatus(int port, int answerKind, const uint8_t* status) {
    char text[8];
    snprintf(text, sizeof text, "%02X %02X", status[0], status[1]);
    report_NoteAnswer(port, answerKind, text, static_cast<int>(strlen(text)));
}

void putLe16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}

// AT%LOAD until the modem answers OK, at most 6 times, under the engine lock (pauses
// included). 1 when the loader is ready.
int sendLoadCommand(int port) {
    LockGuard held(engine_ModeSwitchLock());
    for (int attempt = 1; attempt <= LOAD_COMMAND_ATTEMPTS; ++attempt) {
        if (at_Send(port, "AT%%LOAD\r\n") >= 1) return 1;
        if (attempt < LOAD_COMMAND_ATTEMPTS) sys_Sleep(LOAD_COMMAND_PAUSE_S);
    }
    log_Error(port, "\n#Error: AT%%LOAD command failed\n\n");
    return 0;
}

// Writes the first count bytes of txBuf, completing partial writes. Writes that take no byte
// for LOAD_WRITE_STALL_MS (and at least LOAD_WRITE_MIN_STALLED_WRITES times in a row) end it.
// 1 when all is written, 0 after logging why not.
int writeFrame(int port, PortContext* c, int count, const char* path) {
    int done = 0;
    int stalled = 0;
    int64_t lastProgress = clk_NowMs();
    while (done < count) {
        int n = com_Write(port, c->txBuf + done, count - done);
        if (n < 0) {
            const char* why = com_ErrorText(port);
            log_Error(port, kWriteFailed, count - done, why);
            report_NoteSystemError(port, why);
            report_NoteAnswer(port, JOB_ANSWER_WRITE_FAILED, "", 0);
            return 0;
        }
        if (n > 0) {
            done += n;
            stalled = 0;
            lastProgress = clk_NowMs();
        } else if (++stalled >= LOAD_WRITE_MIN_STALLED_WRITES &&
                   clk_NowMs() - lastProgress > LOAD_WRITE_STALL_MS) {
            log_Error(port, kWriteStalled, LOAD_WRITE_STALL_MS / 1000, count - done, path);
            char why[96];
            snprintf(why, sizeof why, "the modem took no data for %d s, %d bytes not written",
                     LOAD_WRITE_STALL_MS / 1000, count - done);
            report_NoteDetail(port, why);
            report_NoteAnswer(port, JOB_ANSWER_WRITE_FAILED, "", 0);
            return 0;
        }
    }
    return 1;
}

// Clears rxBuf and reads the two status bytes into it. block is 0 for the header frame.
// 1 when both arrived, 0 after logging a read failure or a silent modem.
int readStatus(int port, PortContext* c, int block, const char* path) {
    memset(c->rxBuf, 0, sizeof c->rxBuf);
    int got = 0;
    int empty = 0;
    int64_t lastByte = clk_NowMs();
    // A status slower than an answer usually is (AT_SLOW_ANSWER_S) is announced as a wait.
    bool announced = false;
    struct EndWait {
        int port;
        bool* announced;
        ~EndWait() {
            if (*announced) wait_End(port);
        }
    } endWait{port, &announced};
    while (got < 2) {
        int n = com_Read(port, c->rxBuf + got, 2 - got);
        if (n < 0) {
            const char* why = com_ErrorText(port);
            log_Error(port, kReadFailed, 2 - got, why);
            report_NoteSystemError(port, why);
            report_NoteAnswer(port, JOB_ANSWER_PORT_GONE, reinterpret_cast<char*>(c->rxBuf), got);
            return 0;
        }
        if (!announced && got == 0 && clk_NowMs() - lastByte >= AT_SLOW_ANSWER_S * 1000) {
            WaitNotice w = {};
            w.kind = WAIT_ANSWER;
            w.upToSeconds = (LOAD_STATUS_WAIT_MS - (clk_NowMs() - lastByte)) / 1000;
            if (block == 0)
                snprintf(w.command, sizeof w.command, "the header frame");
            else
                snprintf(w.command, sizeof w.command, "block %d", block);
            wait_Announce(port, &w);
            announced = true;
        }
        if (n > 0) {
            got += n;
            empty = 0;
            c->silent = 0;
            lastByte = clk_NowMs();
        } else if (++empty >= LOAD_STATUS_MIN_EMPTY_READS &&
                   clk_NowMs() - lastByte > LOAD_STATUS_WAIT_MS) {
            if (got == 0 && c->silent == 0) c->silent = 1;
            if (block == 0)
                log_Error(port, kHeaderSilent, LOAD_STATUS_WAIT_MS / 1000, path);
            else
                log_Error(port, kBlockSilent, LOAD_STATUS_WAIT_MS / 1000, block, path);
            report_NoteAnswer(port, JOB_ANSWER_TIMEOUT, reinterpret_cast<char*>(c->rxBuf), got);
            return 0;
        }
    }
    return 1;
}

bool accepted(const uint8_t* status) {
    return status[0] == FRAME_LEAD && status[1] == STATUS_ACCEPTED;
}

// Builds the header frame in txBuf and returns its length, L + 6.
int buildHeaderFrame(PortContext* c, const uint8_t* header, int length) {
    uint8_t* tx = c->txBuf;
    tx[0] = FRAME_LEAD;
    tx[1] = FRAME_TYPE_HEADER;
    putLe16(tx + 2, c->blockSize);
    memcpy(tx + 4, header, static_cast<size_t>(length));
    // An odd header's last byte lies outside the checksum, which still follows it.
    const uint32_t covered = 2u * ((static_cast<uint32_t>(length) + 4u) / 2u);
    putLe16(tx + 4 + length, frame_XorSum16(tx, covered));
    return length + 6;
}

// Sends the header frame until it is accepted, at most 3 tries. 1 when accepted.
int sendHeaderFrame(int port, PortContext* c, const uint8_t* header, int length, const char* path) {
    for (int rejects = 0;;) {
        int frameLength = buildHeaderFrame(c, header, length);
        if (!writeFrame(port, c, frameLength, path)) return 0;
        if (!readStatus(port, c, 0, path)) return 0;
        if (accepted(c->rxBuf)) return 1;
        if (++rejects == MAX_FRAME_REJECTS) {
            log_Error(port, "\n#Error: block rejected [0x%.2X%.2X]\n\n", c->rxBuf[0], c->rxBuf[1]);
            noteStatus(port, JOB_ANSWER_ERROR, c->rxBuf);
            report_NoteDetail(port, "rejected 3 times");
            return 0;
        }
    }
}

// Completes the data frame whose n payload bytes stand at txBuf + 2; returns its length.
int finishDataFrame(PortContext* c, int n) {
    uint8_t* tx = c->txBuf;
    tx[0] = FRAME_LEAD;
    tx[1] = FRAME_TYPE_DATA;
    int end = 2 + n;
    if (n & 1) tx[end++] = FRAME_PAD_BYTE;
    putLe16(tx + end, frame_XorSum16(tx, static_cast<uint32_t>(end)));
    return end + 2;
}

}  // namespace

uint16_t frame_XorSum16(const uint8_t* bytes, uint32_t length) {
    const uint32_t even = length & ~1u;
    uint32_t i = 0;
    uint16_t sum = 0;
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    // Eight bytes at a time: the XOR of little-endian 64-bit words folds into the XOR of
    // their 16-bit words.
    uint64_t wide = 0;
    for (; i + 8 <= even; i += 8) {
        uint64_t v;
        memcpy(&v, bytes + i, 8);
        wide ^= v;
    }
    sum = static_cast<uint16_t>(wide ^ (wide >> 16) ^ (wide >> 32) ^ (wide >> 48));
#endif
    for (; i < even; i += 2) sum ^= static_cast<uint16_t>(bytes[i] | bytes[i + 1] << 8);
    return sum;
}

int load_ProgressValue(int base, int share, uint32_t total, uint32_t remaining) {
    if (total == 0) return base;
    const uint64_t pct = 100ull * static_cast<uint64_t>(total - remaining) / total;
    return static_cast<int>(base + static_cast<int64_t>(pct) * share / 100);
}

void load_WriteDump(FILE* out, const uint8_t* sent, int frameLength, const uint8_t* received,
                    int receivedLength) {
    auto rx = [&](int at) -> uint8_t { return at < receivedLength ? received[at] : 0; };
    bool last = false;
    for (int o = 0; !last; o += 16) {
        for (int i = 0; i < 16; ++i) {
            if (o + i == frameLength) {
                fputs("\t\t\t\t\t\t\t\t\t", out);
                break;
            }
            uint8_t s = sent[o + i];
            fprintf(out, s == rx(o + i) ? "%.2X " : "%02X+", s);
        }
        fputs("\t", out);
        for (int i = 0; i < 16; ++i) {
            if (o + i == frameLength) {
                fputs("\n", out);
                last = true;
                break;
            }
            uint8_t r = rx(o + i);
            fprintf(out, r == sent[o + i] ? "%.2X " : "%02X+", r);
        }
        fputs("\n", out);
    }
}

int load_SendArchive(int portIndex, FILE* file, const char* path) {
    PortContext* c = ctx_Get(portIndex);
    if (c == nullptr) return 0;
    if (path == nullptr) path = "";

    uint8_t header[WRAPPED_HEADER_MAX];
    const int length = archive_ReadHeader(portIndex, header, file, path);
    if (length < 0) {
        log_Error(portIndex, "\n#Error: Bad file Header\n\n");
        return failed(portIndex, JOB_STEP_ARCHIVE_HEADER);
    }
    if (!sendLoadCommand(portIndex)) return failed(portIndex, JOB_STEP_LOAD);

    c->blockSize = static_cast<uint16_t>(c->blockSize & ~1u);
    report_NoteBlock(portIndex, 0);
    if (c->blockSize == 0) {
        // Frames without payload would never bring remaining down.
        log_Error(portIndex, kBlockSizeTooSmall, static_cast<unsigned>(c->blockSize), path);
        report_NoteDetail(portIndex, "a block size of 0 cannot carry data");
        return failed(portIndex, JOB_STEP_HEADER_FRAME);
    }
    if (!sendHeaderFrame(portIndex, c, header, length, path))
        return failed(portIndex, JOB_STEP_HEADER_FRAME);

    const WrappedHeader h = archive_DecodeHeader(header);
    const uint32_t total = h.payloadSize;
    uint32_t remaining = total;
    if (total == 0) return 1;
    // In the extended form the header frame carried 8 bytes that the payload size counts.
    const uint32_t inHeaderFrame = static_cast<uint32_t>(length) - h.headerLength;

    CRejectionLog rejectionLog(portIndex);
    uint8_t* tx = c->txBuf;
    const int eventCode = sink_EventCode(path);
    for (int block = 1;; ++block) {
        report_NoteBlock(portIndex, block);
        // The block is read before its progress is posted, so that the end of the file posts
        // no progress for a block that will not be sent.
        const uint32_t want = remaining < c->blockSize ? remaining : c->blockSize;
        const int n = static_cast<int>(fread(tx + 2, 1, want, file));
        if (n == 0) {
            if (ferror(file)) {
                int e = errno;
                log_Error(portIndex, kFileUnreadable, path, strerror(e));
                report_NoteSystemError(portIndex, strerror(e));
                report_NoteDetail(portIndex, "the archive could not be read");
                return failed(portIndex, JOB_STEP_DATA_FRAME);
            }
            if (remaining <= inHeaderFrame) return 1;  // every file byte has been accepted
            log_Error(portIndex, kFileShort, path, static_cast<unsigned long>(remaining));
            char why[96];
            snprintf(why, sizeof why, "the archive ends %lu bytes before its payload size",
                     static_cast<unsigned long>(remaining));
            report_NoteDetail(portIndex, why);
            return failed(portIndex, JOB_STEP_DATA_FRAME);
        }
        const int value = load_ProgressValue(c->progressBase, c->progressShare, total, remaining);
        notify_Progress(portIndex, value);
        sink_Send(portIndex, eventCode, value);
        const int frameLength = finishDataFrame(c, n);

        for (int rejects = 0;;) {
            if (!writeFrame(portIndex, c, frameLength, path))
                return failed(portIndex, JOB_STEP_DATA_FRAME);
            if (!readStatus(portIndex, c, block, path))
                return failed(portIndex, JOB_STEP_DATA_FRAME);
            if (accepted(c->rxBuf)) break;
            noteStatus(portIndex, JOB_ANSWER_ERROR, c->rxBuf);

            rejectionLog.open();
            if (rejectionLog.file() != nullptr)
                fprintf(rejectionLog.file(), "BLOCK %d REJECTED [TRY NB %d - STATUS= 0x%.2X%.2X]\n",
                        block, rejects, c->rxBuf[0], c->rxBuf[1]);
            ++rejects;
            memset(c->rxBuf, 0, sizeof c->rxBuf);
            if (com_Read(portIndex, c->rxBuf, ECHO_READ_MAX) < 0) {
                const char* why = com_ErrorText(portIndex);
                log_Error(portIndex, kReadFailed, ECHO_READ_MAX, why);
                report_NoteSystemError(portIndex, why);
                return failed(portIndex, JOB_STEP_DATA_FRAME);
            }
            if (rejectionLog.file() != nullptr) {
                load_WriteDump(rejectionLog.file(), tx, frameLength, c->rxBuf,
                               static_cast<int>(sizeof c->rxBuf));
                fputs("\n", rejectionLog.file());
                fflush(rejectionLog.file());
            }
            if (rejects == MAX_FRAME_REJECTS) {
                log_Error(portIndex, "\n#Error: block rejected %d times. See log.txt.\n\n",
                          MAX_FRAME_REJECTS);
                report_NoteDetail(portIndex, "rejected 3 times");
                return failed(portIndex, JOB_STEP_DATA_FRAME);
            }
            // Bytes after the rejection that begin with an acceptance count as one.
            if (accepted(c->rxBuf)) break;
        }

        remaining -= static_cast<uint32_t>(n);
        if (remaining == 0) return 1;
    }
}
