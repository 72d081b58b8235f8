// The per-port observer of jobs, and the failure record of each port.
#include "report/job_observer.h"

#include <stdio.h>
#include <string.h>

#include <atomic>

#include "report/port_report.h"

namespace {

// The observers. Atomic: a host may register one while jobs on other ports call theirs.
std::atomic<IJobObserver*> g_observer{nullptr};
std::atomic<IJobObserver*> g_portObservers[REPORT_PORT_COUNT];

// What the steps of a port's job noted, and its failure record. Like a port context, each
// belongs to the one thread that runs the port's job, and needs no lock.
struct PortNotes {
    int fileIndex;
    int fileCount;
    char file[JOB_FAILURE_FILE_CAPACITY];
    int block;
    char command[JOB_FAILURE_COMMAND_CAPACITY];
    int answerKind;
    char answer[JOB_FAILURE_ANSWER_CAPACITY];
    char systemError[JOB_FAILURE_ERROR_CAPACITY];
    char detail[JOB_FAILURE_DETAIL_CAPACITY];
    bool failed;
    JobFailure failure;
};
PortNotes g_notes[REPORT_PORT_COUNT];

PortNotes* notesOf(int port) {
    return report_Port(port) != nullptr ? &g_notes[port] : nullptr;
}

IJobObserver* observerOf(int port) {
    IJobObserver* o = report_Port(port) ? g_portObservers[port].load() : nullptr;
    return o != nullptr ? o : g_observer.load();
}

void copyText(char* to, size_t capacity, const char* text) {
    snprintf(to, capacity, "%s", text ? text : "");
}

// text (length bytes) with control bytes and backslashes as escapes, cut to fit.
void copyPrintable(char* to, size_t capacity, const char* text, int length) {
    size_t n = 0;
    for (int i = 0; text != nullptr && i < length; ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        char piece[8];
        if (c == '\r')
            snprintf(piece, sizeof piece, "\\r");
        else if (c == '\n')
            snprintf(piece, sizeof piece, "\\n");
        else if (c == '\\')
            snprintf(piece, sizeof piece, "\\\\");
        else if (c < 0x20 || c >= 0x7f)
            snprintf(piece, sizeof piece, "\\x%02X", c);
        else
            snprintf(piece, sizeof piece, "%c", c);
        size_t p = strlen(piece);
        if (n + p + 1 > capacity) break;
        memcpy(to + n, piece, p);
        n += p;
    }
    if (capacity > 0) to[n] = '\0';
}

// The answer as words show it: its line ends dropped at both ends, the ones inside as " / ".
void answerWords(const char* answer, char* out, size_t capacity) {
    const char* b = answer;
    while (strncmp(b, "\\r", 2) == 0 || strncmp(b, "\\n", 2) == 0) b += 2;
    size_t n = 0;
    bool gap = false;
    for (const char* p = b; *p && n + 4 < capacity; ++p) {
        if (p[0] == '\\' && (p[1] == 'r' || p[1] == 'n')) {
            gap = true;
            ++p;
            continue;
        }
        if (gap && n > 0) {
            memcpy(out + n, " / ", 3);
            n += 3;
        }
        gap = false;
        out[n++] = *p;
    }
    out[n] = '\0';
}

const char* baseName(const char* path) {
    const char* b = path;
    for (const char* p = path; *p; ++p)
        if (*p == '\\' || *p == '/') b = p + 1;
    return b;
}

// Which of the noted facts belong to a step's record.
enum Keep { KEEP_FILE = 1, KEEP_BLOCK = 2, KEEP_COMMAND = 4, KEEP_ERROR = 8 };

int keptBy(int step) {
    switch (step) {
        case JOB_STEP_OPEN_PORT:
        case JOB_STEP_CLOSE_PORT:
            return KEEP_ERROR;
        case JOB_STEP_ENTER_LOADER:
        case JOB_STEP_RETURN:
            return KEEP_COMMAND | KEEP_ERROR;
        case JOB_STEP_CHIP_ID:
        case JOB_STEP_CHECK_MODE:
        case JOB_STEP_CHECK_AUTORUN:
            return KEEP_COMMAND;
        case JOB_STEP_OPEN_FILE:
            return KEEP_FILE | KEEP_ERROR;
        case JOB_STEP_ARCHIVE_HEADER:
            return KEEP_FILE;
        case JOB_STEP_LOAD:
        case JOB_STEP_PROGRAM:
        case JOB_STEP_SIGNATURE:
            return KEEP_FILE | KEEP_COMMAND;
        case JOB_STEP_HEADER_FRAME:
        case JOB_STEP_DATA_FRAME:
            return KEEP_FILE | KEEP_BLOCK | KEEP_ERROR;
        default:
            return 0;
    }
}

// Appends a formatted piece to the words (cut at capacity).
void append(JobFailure* f, const char* format, const char* a = "", const char* b = "") {
    size_t n = strlen(f->words);
    if (n + 1 >= sizeof f->words) return;
    snprintf(f->words + n, sizeof f->words - n, format, a, b);
}

void composeWords(JobFailure* f) {
    f->words[0] = '\0';
    append(f, "%s", report_StepName(f->step));
    if (f->detail[0] && (f->step == JOB_STEP_OPEN_PORT || f->step == JOB_STEP_CLOSE_PORT))
        append(f, " %s", f->detail);
    if (f->fileIndex > 0) {
        char where[64];
        snprintf(where, sizeof where, " (file %d of %d)", static_cast<int>(f->fileIndex),
                 static_cast<int>(f->fileCount));
        append(f, " %s%s", baseName(f->file), where);
    }
    if (f->block > 0) {
        char block[32];
        snprintf(block, sizeof block, "%d", static_cast<int>(f->block));
        append(f, ", data block %s", block);
    } else if (f->block == 0) {
        append(f, ", header frame");
    }
    // The modem's echo of the command is no part of its answer.
    const char* said = f->answer;
    size_t echo = strlen(f->command);
    if (echo > 0 && strncmp(said, f->command, echo) == 0) said += echo;
    char answer[JOB_FAILURE_ANSWER_CAPACITY];
    answerWords(said, answer, sizeof answer);
    const char* command = f->command[0] ? f->command : "the modem";
    switch (f->answerKind) {
        case JOB_ANSWER_ERROR:
            if (f->command[0])
                append(f, ": %s answered %s", command, answer[0] ? answer : "ERROR");
            else
                append(f, ": rejected (status %s)", answer);
            break;
        case JOB_ANSWER_TIMEOUT:
            append(f, ": %s got no answer within the time-out", command);
            if (answer[0]) append(f, " (only \"%s\" came)", answer);
            break;
        case JOB_ANSWER_WRITE_FAILED:
            append(f, ": %s could not be written", command);
            break;
        case JOB_ANSWER_UNEXPECTED:
        case JOB_ANSWER_OK:
            append(f, ": %s answered %s", command, answer[0] ? answer : "nothing but OK");
            break;
        case JOB_ANSWER_PORT_GONE:
            append(f, ": the port went away during %s", command);
            break;
        default:
            break;
    }
    if (f->systemError[0]) append(f, ": %s", f->systemError);
    if (f->detail[0] && f->step != JOB_STEP_OPEN_PORT && f->step != JOB_STEP_CLOSE_PORT)
        append(f, ": %s", f->detail);
}

}  // namespace

void report_SetObserver(IJobObserver* observer) {
    g_observer = observer;
}

void report_SetPortObserver(int port, IJobObserver* observer) {
    if (report_Port(port) != nullptr) g_portObservers[port] = observer;
}

void report_Phase(int port, JobPhase phase, int fileIndex) {
    if (IJobObserver* o = observerOf(port)) o->OnPhase(port, phase, fileIndex);
}

void report_Event(int port, int code, int value) {
    if (IJobObserver* o = observerOf(port)) o->OnEvent(port, code, value);
}

void report_Wait(int port, const WaitNotice* notice) {
    if (notice == nullptr) return;
    if (IJobObserver* o = observerOf(port)) o->OnWait(port, *notice);
}

void report_Text(int port, unsigned messageId, int meaning, const char* text) {
    if (IJobObserver* o = observerOf(port)) o->OnText(port, messageId, meaning, text);
}

void report_FileStart(int port, int fileIndex, int fileCount, const char* path) {
    if (PortNotes* n = notesOf(port)) {
        n->fileIndex = fileIndex;
        n->fileCount = fileCount;
        copyText(n->file, sizeof n->file, path);
        n->block = -1;
    }
    if (IJobObserver* o = observerOf(port)) o->OnFileStart(port, fileIndex, fileCount, path);
}

void report_FileEnd(int port, int fileIndex, int programmed) {
    if (IJobObserver* o = observerOf(port)) o->OnFileEnd(port, fileIndex, programmed != 0);
    if (PortNotes* n = notesOf(port)) {
        n->fileIndex = 0;
        n->file[0] = '\0';
        n->block = -1;
    }
}

void report_JobBegin(int port) {
    PortNotes* n = notesOf(port);
    if (n == nullptr) return;
    memset(n, 0, sizeof *n);
    n->block = -1;
    n->failure.block = -1;
}

void report_NoteCommand(int port, const char* command) {
    PortNotes* n = notesOf(port);
    if (n == nullptr) return;
    // Without its line end, as a person writes it.
    size_t length = command ? strcspn(command, "\r\n") : 0;
    copyPrintable(n->command, sizeof n->command, command, static_cast<int>(length));
    n->answerKind = JOB_ANSWER_NONE;
    n->answer[0] = '\0';
}

void report_NoteAnswer(int port, int answerKind, const char* answer, int length) {
    PortNotes* n = notesOf(port);
    if (n == nullptr) return;
    n->answerKind = answerKind;
    copyPrintable(n->answer, sizeof n->answer, answer, length);
}

void report_NoteBlock(int port, int block) {
    PortNotes* n = notesOf(port);
    if (n == nullptr) return;
    // A new frame: nothing has answered it yet.
    n->block = block;
    n->answerKind = JOB_ANSWER_NONE;
    n->answer[0] = '\0';
}

void report_NoteSystemError(int port, const char* text) {
    if (PortNotes* n = notesOf(port)) copyText(n->systemError, sizeof n->systemError, text);
}

void report_NoteDetail(int port, const char* text) {
    if (PortNotes* n = notesOf(port)) copyText(n->detail, sizeof n->detail, text);
}

void report_Fail(int port, int step) {
    PortNotes* n = notesOf(port);
    if (n == nullptr || n->failed || step == JOB_STEP_NONE) return;
    n->failed = true;
    JobFailure* f = &n->failure;
    memset(f, 0, sizeof *f);
    int keep = keptBy(step);
    f->step = step;
    f->fileCount = n->fileCount;
    f->block = -1;
    if (keep & KEEP_FILE) {
        f->fileIndex = n->fileIndex;
        copyText(f->file, sizeof f->file, n->file);
    }
    if (keep & KEEP_BLOCK) f->block = n->block;
    if (keep & (KEEP_COMMAND | KEEP_BLOCK)) {
        if (keep & KEEP_COMMAND) copyText(f->command, sizeof f->command, n->command);
        f->answerKind = n->answerKind;
        copyText(f->answer, sizeof f->answer, n->answer);
    }
    if (keep & KEEP_ERROR) copyText(f->systemError, sizeof f->systemError, n->systemError);
    copyText(f->detail, sizeof f->detail, n->detail);
    composeWords(f);
    if (IJobObserver* o = observerOf(port)) o->OnFailure(port, *f);
}

const JobFailure* report_LastFailure(int port) {
    PortNotes* n = notesOf(port);
    return n != nullptr ? &n->failure : nullptr;
}

const char* report_PhaseName(int phase) {
    switch (phase) {
        case JOB_PROBING:
            return "probing";
        case JOB_ENTERING_LOADER:
            return "entering loader";
        case JOB_SENDING:
            return "sending";
        case JOB_PROGRAMMING:
            return "programming";
        case JOB_RETURNING:
            return "returning";
        case JOB_CHECKING:
            return "checking";
        case JOB_FINISHED:
            return "finished";
        default:
            return "unknown";
    }
}

const char* report_StepName(int step) {
    switch (step) {
        case JOB_STEP_NONE:
            return "nothing failed";
        case JOB_STEP_FILE_LIST:
            return "reading the list of files";
        case JOB_STEP_OPEN_PORT:
            return "opening the port";
        case JOB_STEP_ENTER_LOADER:
            return "switching to loader mode";
        case JOB_STEP_CHIP_ID:
            return "reading the chip identity";
        case JOB_STEP_OPEN_FILE:
            return "opening";
        case JOB_STEP_ARCHIVE_HEADER:
            return "reading the archive header of";
        case JOB_STEP_LOAD:
            return "starting the transfer of";
        case JOB_STEP_HEADER_FRAME:
        case JOB_STEP_DATA_FRAME:
            return "sending";
        case JOB_STEP_PROGRAM:
            return "programming";
        case JOB_STEP_SIGNATURE:
            return "checking the signature of";
        case JOB_STEP_RETURN:
            return "returning to modem mode";
        case JOB_STEP_CHECK_MODE:
            return "checking the modem's mode";
        case JOB_STEP_CHECK_AUTORUN:
            return "switching autorun on";
        case JOB_STEP_CLOSE_PORT:
            return "closing the port";
        case JOB_STEP_SEARCH:
            return "finding the modem";
        case JOB_STEP_MODEM_LOCKED:
            return "claiming the modem";
        case JOB_STEP_PORT_BUSY:
            return "opening the modem's port";
        default:
            return "an unknown step";
    }
}
