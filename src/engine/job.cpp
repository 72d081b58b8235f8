// The download job.
#include "engine/job.h"

#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include "engine/at.h"
#include "engine/mode.h"
#include "engine/port_context.h"
#include "engine/transfer.h"
#include "modemflash/downloader.h"
#include "platform/clock.h"
#include "platform/file.h"
#include "report/job_observer.h"
#include "report/log.h"
#include "report/notify.h"
#include "report/port_report.h"
#include "report/printf_format.h"

namespace {

// "Entering download mode failed", GBK-encoded.
const char kLoaderRefusedText[] =
    "\xbd\xf8\xc8\xeb"
    "download"
    "\xc4\xa3\xca\xbd\xca\xa7\xb0\xdc";

constexpr int kAutorunTries = 3;

bool portIsOpen(int portIndex) {
    PortContext* c = ctx_Get(portIndex);
    return c->portHandle != nullptr && c->portHandle != SERIAL_INVALID_HANDLE;
}

// Back to modem mode, after a failure or after the last file.
int recover(int portIndex) {
    report_Phase(portIndex, JOB_RETURNING, 0);
    return mode_RecoverModem(portIndex);
}

// Whether another command may go to the modem: its port is open and its device there, and a
// modem that let the last exchange pass in silence still answers (checked in seconds, not an
// AT time-out).
bool modemReachable(int portIndex) {
    PortContext* c = ctx_Get(portIndex);
    if (!com_IsOpen(portIndex) || c->goneAtMs != 0 || serial_IsGone(c->portHandle)) return false;
    return !c->silent || at_CheckAlive(portIndex) == 1;
}

// After a failed run the modem may at least keep working as a modem: make sure autorun is on.
// Nothing is sent to a port that is not open, nor to a modem that no longer answers.
void ensureAutorun(int portIndex) {
    if (!modemReachable(portIndex)) return;
    report_Phase(portIndex, JOB_CHECKING, 0);
    if (autorun_Query(portIndex) == 1) return;
    for (int i = 0; i < kAutorunTries && modemReachable(portIndex); ++i)
        if (autorun_Set(portIndex, 1) == 1) return;
}

const char* baseName(const char* path) {
    const char* base = path;
    for (const char* p = path; *p; ++p)
        if (*p == '/' || *p == '\\') base = p + 1;
    return base;
}

// Where the job leaves the modem, from what the engine saw of it.
void settleLeft(int portIndex, int result) {
    PortContext* c = ctx_Get(portIndex);
    ModemLeft* left = &c->left;
    left->mode = c->knownMode;
    bool opened = c->portNamesSeen[0] != '\0';
    bool gone = c->goneAtMs != 0 && (!com_IsOpen(portIndex) || serial_IsGone(c->portHandle));
    if (result == DL_OK)
        left->reason = LEFT_UPDATED;
    else if (!opened)
        left->reason = LEFT_NOT_TOUCHED;
    else if (gone)
        left->reason = LEFT_GONE;
    else if (c->silent)
        left->reason = LEFT_SILENT;
    else if (c->knownMode == MODE_MODEM)
        left->reason = result == DL_CHECK_FAILED ? LEFT_CHECK_FAILED : LEFT_RECOVERED;
    else if (c->knownMode == MODE_LOADER)
        left->reason = LEFT_IN_LOADER;
    else
        left->reason = LEFT_MODE_UNREAD;
}

// The job's end: where the modem is left, said in the log when the update did not complete.
int settle(int portIndex, int result) {
    PortContext* c = ctx_Get(portIndex);
    if (result == DL_OK) {
        c->left.reason = LEFT_UPDATED;
        c->left.mode = LEFT_MODE_MODEM;
        return result;
    }
    if (c->left.reason == LEFT_UPDATED) c->left.reason = LEFT_CHECK_FAILED;  // closing failed
    char words[512];
    log_Error(portIndex, "\n#Error: the update did not complete: %s\n\n",
              dl_DescribeLeft(&c->left, words, sizeof words));
    return result;
}

int closeAndReturn(int portIndex, int result) {
    settleLeft(portIndex, result);
    com_Close(portIndex);
    return result;
}

// The port closed at the end of a good job: DL_OK, or DL_CHECK_FAILED when closing failed.
int closeAfterChecks(int portIndex) {
    settleLeft(portIndex, DL_OK);
    if (com_Close(portIndex) == 1) return DL_OK;
    report_NoteSystemError(portIndex, com_ErrorText(portIndex));
    report_Fail(portIndex, JOB_STEP_CLOSE_PORT);
    return DL_CHECK_FAILED;
}

// The device behind an open port went away (a read or write found it gone).
bool portWentAway(int portIndex) {
    PortContext* c = ctx_Get(portIndex);
    return com_IsOpen(portIndex) && (c->goneAtMs != 0 || serial_IsGone(c->portHandle));
}

// Whether the final checks may ask again: the port went away during a check, and the modem came
// back where it was (waited for as after a mode switch).
bool backForAnotherCheck(int portIndex, bool* retried) {
    if (*retried || !portWentAway(portIndex)) return false;
    *retried = true;
    return mode_ReachModem(portIndex) == MODE_SWITCH_OK;
}

int finalChecks(int portIndex) {
    PortContext* c = ctx_Get(portIndex);
    report_Phase(portIndex, JOB_CHECKING, 0);
    bool retried = false;
    for (;;) {
        log_Error(portIndex, "check the mode of modem\n");
        if (mode_Query(portIndex) != c->targetMode) {
            if (backForAnotherCheck(portIndex, &retried)) continue;
            log_Error(portIndex, "the mode of modem is invalid\n");
            report_Fail(portIndex, JOB_STEP_CHECK_MODE);
            return closeAndReturn(portIndex, DL_CHECK_FAILED);
        }
        log_Error(portIndex, "check the state of autorun\n");
        if (autorun_Query(portIndex) == 1) {
            log_Info(portIndex, "the state of autorun is open \n");
            return closeAfterChecks(portIndex);
        }
        if (backForAnotherCheck(portIndex, &retried)) continue;
        for (int i = 0; i < kAutorunTries && modemReachable(portIndex); ++i) {
            if (autorun_Set(portIndex, 1) == 1) {
                sink_Send(portIndex, EVENT_OPEN_AUTORUN, 100);
                log_Info(portIndex, "Open autorun successful!\n");
                return closeAfterChecks(portIndex);
            }
            clk_SleepMs(100);
        }
        if (backForAnotherCheck(portIndex, &retried)) continue;
        log_Info(portIndex, "open autorun fail\n");
        report_Fail(portIndex, JOB_STEP_CHECK_AUTORUN);
        return closeAndReturn(portIndex, DL_CHECK_FAILED);
    }
}

int closingSteps(int portIndex) {
    char text[64];
    snprintf(text, sizeof text, "Tempo di aggiomamento previsto: %.1f sec", 10.0);
    notify_Text(portIndex, MSG_DL_INFO, JOB_TEXT_EXPECTED_TIME, text);
    report_Phase(portIndex, JOB_RETURNING, 0);
    sink_Send(portIndex, EVENT_RESET_TO_MODEM, 95);
    int r = mode_RecoverModem(portIndex);
    if (r != 1) report_Fail(portIndex, JOB_STEP_RETURN);
    return r;
}

// A file step that failed at step (already recorded by a step below when it knows better):
// the failure recorded, the file's end told, the modem brought back.
int fileFailed(int portIndex, int index, int step, int result) {
    report_Fail(portIndex, step);
    report_FileEnd(portIndex, index, 0);
    recover(portIndex);
    return result;
}

// One file step (file index of count): event, open, transfer, programming (or signature
// check).
int downloadOne(int portIndex, const char* name, int index, int count, int base, int share,
                int program) {
    PortContext* c = ctx_Get(portIndex);
    ModemLeft* left = &c->left;
    c->jobState = 2;
    c->progressBase = base;
    c->progressShare = share;  // the block transfer moves the progress within this share
    report_Phase(portIndex, JOB_SENDING, index);
    report_FileStart(portIndex, index, count, name);
    sink_Send(portIndex, sink_EventCode(name), base);
    log_Info(portIndex, "\nOpening [%s] file ... ", name);
    FILE* file = file_Open(name, "rb");
    if (file == nullptr) {
        report_NoteSystemError(portIndex, strerror(errno));
        return fileFailed(portIndex, index, JOB_STEP_OPEN_FILE, DL_FILE_OPEN_FAILED);
    }
    int64_t start = clk_NowSeconds();
    int result = DL_OK;
    int step = JOB_STEP_NONE;
    left->lastFile = index;
    left->fileCount = count;
    left->lastFileStage = LEFT_FILE_PART;
    snprintf(left->lastFileName, sizeof left->lastFileName, "%s", baseName(name));
    if (load_SendArchive(portIndex, file, name) != 1) {
        result = DL_TRANSFER_FAILED;  // the transfer has recorded its step
        step = JOB_STEP_DATA_FRAME;
    } else if (program) {
        left->lastFileStage = LEFT_FILE_WRITTEN;
        report_Phase(portIndex, JOB_PROGRAMMING, index);
        log_Info(portIndex, "\n\nPrograming flash...\n");
        at_SetTimeout(portIndex, 30000);
        if (at_Send(portIndex, "AT%%PROG=%d\r\n", 2) < 1 &&
            at_Send(portIndex, "AT%%PROG=%d\r\n", 1) < 1) {
            log_Info(portIndex, "download fail to updated flash\n");
            result = DL_PROGRAM_FAILED;  // the recovery below runs with the long time-out
            step = JOB_STEP_PROGRAM;
        } else {
            int64_t now = clk_NowSeconds();
            left->lastFileStage = LEFT_FILE_PROGRAMMED;
            ++left->filesProgrammed;
            at_ResetTimeout(portIndex);
            log_Info(portIndex, "\nDone...[%d seconds]\n\n", static_cast<int>(now - start));
        }
    } else {
        report_Phase(portIndex, JOB_PROGRAMMING, index);
        log_Info(portIndex, "\n");
        left->lastFileStage = LEFT_FILE_WRITTEN;
        if (at_Send(portIndex, "AT%%PROG=%d\r\n", 0) < 1) {
            result = DL_AT_FAILED;
            step = JOB_STEP_SIGNATURE;
        } else {
            log_Info(portIndex, "Archive signature ... OK\n");
        }
    }
    fclose(file);
    if (result != DL_OK) return fileFailed(portIndex, index, step, result);
    report_FileEnd(portIndex, index, 1);
    // The progress reached: this file's whole share.
    c->progress = base + share;
    return DL_OK;
}

}  // namespace

char* str_FindAny(char* text, const char* delimiters) {
    if (text == nullptr || delimiters == nullptr || *text == '\0') return nullptr;
    char* p = text;
    for (; *p; ++p)
        if (strchr(delimiters, *p) != nullptr) return p;
    return p;
}

int str_SplitInPlace(char* text, const char* delimiters) {
    if (text == nullptr || delimiters == nullptr || *text == '\0' || *delimiters == '\0') return 0;
    int count = 0;
    char* current = text;
    for (;;) {
        char* p = str_FindAny(current, delimiters);
        if (p == nullptr) return count;
        if (*p == '\0') return count + 1;
        *p = '\0';
        if (p == current) {
            current = p + 1;
            continue;
        }
        ++count;
        if (p[1] == '\0') return count;
        current = p + 1;
    }
}

char* str_NextName(char* p) {
    while (*p == '\0') ++p;
    return p;
}

int dl_DownloadFiles(int portIndex, char* fileList, int queryChipId, int program) {
    PortContext* c = ctx_Get(portIndex);
    if (c == nullptr) return DL_MODE_SWITCH_FAILED;
    if (queryChipId == 0 && fileList == nullptr) return closingSteps(portIndex);

    report_Phase(portIndex, JOB_ENTERING_LOADER, 0);
    sink_Send(portIndex, EVENT_ENTER_DOWNLOAD_MODE, 1);
    int r = mode_EnterLoader(portIndex);
    if (r != 1) {
        report_Fail(portIndex, JOB_STEP_ENTER_LOADER);
        report_MessageBox(portIndex, kLoaderRefusedText);
        recover(portIndex);
        return r;
    }
    if (queryChipId) {
        if (at_Send(portIndex, "AT%%CHIPID\r\n") < 1) {
            report_Fail(portIndex, JOB_STEP_CHIP_ID);
            recover(portIndex);
            return DL_AT_FAILED;
        }
        // The chip identity always reaches the output, whatever the level.
        PortReport* report = report_Port(portIndex);
        bool raised = report->logLevel < 1;
        if (raised) report->logLevel = 1;
        log_Info(portIndex, "%s", at_Response(portIndex));
        if (raised) report->logLevel = 0;
    }

    int count = fileList ? str_SplitInPlace(fileList, ";") : 0;
    if (count > 0) {
        int share = 80 / count;
        int base = 15;
        char* p = fileList;
        for (int i = 0; i < count; ++i) {
            p = str_NextName(p);
            int result = downloadOne(portIndex, p, i + 1, count, base, share, program);
            if (result != DL_OK) return result;
            p += strlen(p) + 1;
            base += share;
        }
    }
    return closingSteps(portIndex);
}

int dl_Run(int portIndex, char* fileList, int program, int queryChipId) {
    PortContext* c = ctx_Get(portIndex);
    if (c == nullptr) return DL_MODE_SWITCH_FAILED;
    c->jobState = 1;
    c->progress = 0;
    notify_Progress(portIndex, 0);
    mode_SendInitCommands(portIndex);
    int result = dl_DownloadFiles(portIndex, fileList, queryChipId, program);
    c->jobState = result == DL_OK ? 5 : 0;
    // A successful run has reached the end of the scale; a failed one reports where it got.
    if (result == DL_OK) c->progress = 100;
    notify_Progress(portIndex, c->progress);
    char text[32];
    snprintf(text, sizeof text, "%d/100", c->progress);
    notify_Text(portIndex, MSG_DL_RESULT, JOB_TEXT_RESULT, text);
    return result;
}

namespace {

int runJob(int portIndex, const char* portName, const char* fileList);

}  // namespace

int dl_RunJob(int portIndex, const char* portName, const char* fileList) {
    if (ctx_Get(portIndex) == nullptr) return DL_MODE_SWITCH_FAILED;
    report_JobBegin(portIndex);
    int result = runJob(portIndex, portName, fileList);
    report_Phase(portIndex, JOB_FINISHED, 0);
    return result;
}

namespace {

int runJob(int portIndex, const char* portName, const char* fileList) {
    PortContext* c = ctx_Get(portIndex);
    PortReport* report = report_Port(portIndex);
    snprintf(report->logFileName, sizeof report->logFileName, "log%d_DL.txt", portIndex);
    ctx_ForgetJobRecord(portIndex);  // what is kept for the host's record is this job's
    log_Error(portIndex, "the port is %s\n\n", portName ? portName : "");

    const char* list = fileList ? fileList : "";
    size_t length = strlen(list);
    if (length >= JOB_LIST_CAPACITY) {
        // A shortened list would name a path that does not exist, or a wrong one: refuse it,
        // and say so even before the first job has raised the port's log level.
        int level = report->logLevel;
        if (level < 2) report->logLevel = 2;
        log_Error(portIndex, "\n#Error: file list too long (%u characters, at most %d)\n\n",
                  static_cast<unsigned>(length), JOB_LIST_CAPACITY - 1);
        report->logLevel = level;
        char why[80];
        snprintf(why, sizeof why, "%u characters, at most %d", static_cast<unsigned>(length),
                 JOB_LIST_CAPACITY - 1);
        report_NoteDetail(portIndex, why);
        report_Fail(portIndex, JOB_STEP_FILE_LIST);
        return DL_FILE_OPEN_FAILED;
    }

    for (int attempt = 1;; ++attempt) {
        char working[JOB_LIST_CAPACITY];
        memset(working, 0, sizeof working);
        memcpy(working, list, length);

        int result;
        // Each attempt is the job anew: what an attempt that is retried failed at is not kept.
        if (attempt > 1) report_JobBegin(portIndex);
        report_Phase(portIndex, JOB_PROBING, 0);
        // A port left open by the last attempt would refuse this open: ours is exclusive.
        if (portIsOpen(portIndex)) com_Close(portIndex);
        // A retry of a modem known by its location opens the port that is there now, or none:
        // its old name may belong to another modem by now.
        char located[PORT_NAME_CAPACITY] = "";
        const char* name = portName;
        if (attempt > 1 && c->location[0] != '\0')
            name = mode_LocatePortName(portIndex, located, sizeof located) == 1 ? located : "";
        if (com_Open(portIndex, name) == nullptr) {
            report_NoteDetail(portIndex, name);
            report_Fail(portIndex, JOB_STEP_OPEN_PORT);
            result = DL_MODE_SWITCH_FAILED;
        } else {
            ctx_LogLevel(portIndex, 2);
            ctx_SetTargetMode(portIndex, 1);
            at_SendExpect(portIndex, AT_OK_MARKER, AT_ERROR_MARKER, "AT%%DEBUG=99\r\n");
            clk_SleepMs(100);
            result = dl_Run(portIndex, working, 1, 0);
        }

        if (result == DL_OK) return settle(portIndex, finalChecks(portIndex));
        if (result == DL_MODE_SWITCH_FAILED) {
            if (attempt < JOB_MAX_ATTEMPTS) {
                clk_SleepMs(JOB_RETRY_PAUSE_MS);
                continue;
            }
            log_Error(portIndex, "\n#Error: port %s did not come back after %d attempts\n\n",
                      portName ? portName : "", JOB_MAX_ATTEMPTS);
            settleLeft(portIndex, result);
            if (portIsOpen(portIndex)) com_Close(portIndex);
            return settle(portIndex, DL_MODE_SWITCH_FAILED);
        }
        clk_SleepMs(500);
        ensureAutorun(portIndex);
        settleLeft(portIndex, result);
        com_Close(portIndex);
        return settle(portIndex, result);
    }
}

}  // namespace

int DownloadResultOf(int jobResult) {
    switch (jobResult) {
        case DL_OK:
            return DOWNLOAD_OK;
        case DL_PROGRAM_FAILED:
            return DOWNLOAD_PROGRAM_FAILED;
        case DL_MODE_SWITCH_FAILED:
            return DOWNLOAD_MODE_FAILED;
        case DL_TRANSFER_FAILED:
            return DOWNLOAD_TRANSFER_FAILED;
        default:
            return DOWNLOAD_FAILED;
    }
}

const char* DownloadResultWords(int downloadResult) {
    switch (downloadResult) {
        case DOWNLOAD_OK:
            return "update complete";
        case DOWNLOAD_PROGRAM_FAILED:
            return "the modem refused to program the firmware";
        case DOWNLOAD_TRANSFER_FAILED:
            return "the firmware transfer failed";
        case DOWNLOAD_MODE_FAILED:
            return "the modem could not be switched between modes";
        default:
            return "update failed";
    }
}

const char* dl_InitAnswer(int portIndex, int mode, const char* command) {
    return mode_InitAnswer(portIndex, mode, command);
}

const char* dl_PortNames(int portIndex) {
    return ctx_Get(portIndex) != nullptr ? ctx_PortNamesSeen(portIndex) : "";
}

const ModemLeft* dl_ModemLeft(int portIndex) {
    PortContext* c = ctx_Get(portIndex);
    return c ? &c->left : nullptr;
}

namespace {

void appendf(char* out, size_t capacity, const char* format, ...) MF_PRINTF(3, 4);
void appendf(char* out, size_t capacity, const char* format, ...) {
    size_t used = strlen(out);
    if (used + 1 >= capacity) return;
    va_list args;
    va_start(args, format);
    vsnprintf(out + used, capacity - used, format, args);
    va_end(args);
}

const char* modeWords(int mode) {
    return mode == LEFT_MODE_MODEM ? "modem mode" : mode == LEFT_MODE_LOADER ? "loader mode" : "";
}

}  // namespace

char* dl_DescribeLeft(const ModemLeft* left, char* out, size_t capacity) {
    if (out == nullptr || capacity == 0) return out;
    out[0] = '\0';
    if (left == nullptr) return out;
    const char* mode = modeWords(left->mode);
    switch (left->reason) {
        case LEFT_UPDATED:
            appendf(out, capacity, "the modem is updated and back in modem mode");
            return out;
        case LEFT_NOT_TOUCHED:
            appendf(out, capacity,
                    "nothing was sent to the modem (its port did not open): it is as it was");
            return out;
        case LEFT_RECOVERED:
            appendf(out, capacity, "the modem is back in modem mode");
            break;
        case LEFT_CHECK_FAILED:
            appendf(out, capacity,
                    "the modem is back in modem mode, but its autorun setting is not on");
            break;
        case LEFT_IN_LOADER:
            appendf(out, capacity,
                    "the modem is left in loader mode: it does not work as a modem until an "
                    "update completes");
            break;
        case LEFT_GONE:
            appendf(out, capacity, "the modem's port went away and did not come back");
            if (*mode) appendf(out, capacity, " (it was last in %s)", mode);
            break;
        case LEFT_SILENT:
            appendf(out, capacity, "the modem stopped answering");
            if (*mode) appendf(out, capacity, " (it was last in %s)", mode);
            break;
        case LEFT_MODE_UNREAD:
            appendf(out, capacity, "the modem answers, but its mode could not be read");
            break;
        default:
            break;
    }
    if (left->lastFile == 0) {
        appendf(out, capacity, "; no firmware file was written");
    } else {
        const char* stage = left->lastFileStage == LEFT_FILE_PROGRAMMED ? "programmed"
                            : left->lastFileStage == LEFT_FILE_WRITTEN
                                ? "written whole, not programmed"
                                : "written in part";
        appendf(out, capacity, "; the last file written was %s (file %d of %d, %s)",
                left->lastFileName, left->lastFile, left->fileCount, stage);
        appendf(out, capacity, "; %d of %d files programmed", left->filesProgrammed,
                left->fileCount);
    }
    if (left->reason == LEFT_GONE || left->reason == LEFT_SILENT)
        appendf(out, capacity, "; unplug the modem, plug it in again and run the update again");
    else if (left->reason == LEFT_IN_LOADER)
        appendf(out, capacity,
                "; run the update again, and do not unplug the modem until it has completed");
    else
        appendf(out, capacity, "; run the update again");
    return out;
}
