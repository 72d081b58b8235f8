// What a job is doing, as codes: the per-port observer.
//
// The engine declares each step of a job where it happens: the phase it enters, every event
// it hands the host's sink (with the DownloadEventCode it already knows), the start and end
// of each file, and, when the job fails, what failed. Every host that follows a job (the
// command-line display, the station, the history, a dashboard, a recorder) listens here; the
// engine's log lines and posted texts are for people and for the host contract, and nothing
// reads them back.
//
//   class Screen : public IJobObserver {
//       void OnPhase(int port, JobPhase phase, int fileIndex) override { ... }
//   };
//   Screen screen;
//   report_SetPortObserver(3, &screen);   // the job on port index 3 (a station's modem)
//   report_SetObserver(&screen);          // or every port without one of its own
//
// Calls come on the thread that runs the port's job, synchronously, inside the engine's
// call: jobs on different ports call at the same time, so an observer guards its own state,
// and it must not call back into the engine. The order within one job is fixed: OnPhase
// before anything of that phase, OnFileStart before the file's events, OnFileEnd after its
// last one, OnFailure at the failing step (before the recovery that follows it), and
// OnPhase(JOB_FINISHED) last (the single-modem host's EVENT_SUCCESS comes after it). The
// single-modem host reports its port search on port 0 as JOB_PROBING, and a search that
// finds no modem as a failure (JOB_STEP_SEARCH).
#ifndef MODEMFLASH_REPORT_JOB_OBSERVER_H
#define MODEMFLASH_REPORT_JOB_OBSERVER_H

#include <stdint.h>

#include "report/wait.h"

// Where a job stands. The numbers are those of the station's StationPhase.
enum JobPhase {
    JOB_PROBING = 0,          // the port is opened and the modem identified
    JOB_ENTERING_LOADER = 1,  // the switch into loader mode (mode command, pause, reopen)
    JOB_SENDING = 2,          // file k of n is transferred
    JOB_PROGRAMMING = 3,      // the modem programs file k of n into its flash (AT%PROG)
    JOB_RETURNING = 4,        // back to modem mode
    JOB_CHECKING = 5,         // final checks: the modem's mode and its autorun setting
    JOB_FINISHED = 6          // the job has ended (its failure record says how, if it failed)
};
#define JOB_PHASE_COUNT 7

// The step a job failed at.
enum JobStep {
    JOB_STEP_NONE = 0,            // the job has not failed
    JOB_STEP_FILE_LIST = 1,       // the list of files did not fit the job's copy
    JOB_STEP_OPEN_PORT = 2,       // the port did not open, or did not come back (system error)
    JOB_STEP_ENTER_LOADER = 3,    // the switch into loader mode (its command, answer, reopen)
    JOB_STEP_CHIP_ID = 4,         // AT%CHIPID
    JOB_STEP_OPEN_FILE = 5,       // an archive could not be opened (system error)
    JOB_STEP_ARCHIVE_HEADER = 6,  // an archive's header is not valid (the reader's reason)
    JOB_STEP_LOAD = 7,            // AT%LOAD was refused or not answered
    JOB_STEP_HEADER_FRAME = 8,    // the header frame was rejected or not answered
    JOB_STEP_DATA_FRAME = 9,      // a data block was rejected or not answered
    JOB_STEP_PROGRAM = 10,        // AT%PROG=2 and AT%PROG=1 were both refused
    JOB_STEP_SIGNATURE = 11,      // AT%PROG=0 (the signature check) was refused
    JOB_STEP_RETURN = 12,         // back to modem mode (the recovery)
    JOB_STEP_CHECK_MODE = 13,     // the modem reports another mode than it should
    JOB_STEP_CHECK_AUTORUN = 14,  // its autorun setting could not be switched on
    JOB_STEP_CLOSE_PORT = 15,     // closing the port failed
    JOB_STEP_SEARCH = 16,         // the host's search: no modem answered the probe
    JOB_STEP_MODEM_LOCKED = 17,   // another process is updating the modem (its lock is held)
    JOB_STEP_PORT_BUSY = 18       // another program holds the modem's port open
};

// How the modem answered the failing command.
enum JobAnswer {
    JOB_ANSWER_NONE = 0,          // no command was concerned
    JOB_ANSWER_ERROR = 1,         // "\r\nERROR\r\n" (or a rejecting status for a frame)
    JOB_ANSWER_TIMEOUT = 2,       // nothing (or not the whole answer) within the time-out
    JOB_ANSWER_WRITE_FAILED = 3,  // the command could not be written
    JOB_ANSWER_UNEXPECTED = 4,    // an answer the step cannot use (another mode, autorun 0)
    JOB_ANSWER_PORT_GONE = 5,     // the port went away under the exchange
    JOB_ANSWER_OK = 6             // "\r\nOK\r\n", with what the step could not use before it
};

// What a text the engine posts to the host means, as a code: the texts are for people (and
// the host contract), the code says which one it is.
enum JobText {
    JOB_TEXT_OTHER = 0,
    JOB_TEXT_RECOVERING = 1,       // the recovery begins: the modem is brought back to modem mode
    JOB_TEXT_RECOVERED = 2,        // it is back in modem mode
    JOB_TEXT_RECOVERY_FAILED = 3,  // it could not be brought back: it needs a restart
    JOB_TEXT_EXPECTED_TIME = 4,    // the expected time of the closing steps (a fixed estimate)
    JOB_TEXT_RESULT = 5            // the progress reached, "N/100", at the end of a run
};

#define JOB_FAILURE_FILE_CAPACITY 256
#define JOB_FAILURE_COMMAND_CAPACITY 64
#define JOB_FAILURE_ANSWER_CAPACITY 192
#define JOB_FAILURE_ERROR_CAPACITY 128
#define JOB_FAILURE_DETAIL_CAPACITY 192
#define JOB_FAILURE_WORDS_CAPACITY 768

// What failed, per port: the first failure of the port's last job (a recovery that follows
// it does not overwrite it). Texts are NUL-terminated and printable ("\r", "\n" and other
// control bytes written as escapes); "" where the step has nothing to say.
struct JobFailure {
    int32_t step;                          // JobStep; JOB_STEP_NONE when the last job did not fail
    int32_t fileIndex;                     // 1..fileCount of the file concerned, 0 when none
    int32_t fileCount;                     // files in the job's list
    char file[JOB_FAILURE_FILE_CAPACITY];  // its path as the list names it
    int32_t block;                         // data block 1.., 0 the header frame, -1 none
    char command[JOB_FAILURE_COMMAND_CAPACITY];    // the AT command, without its line end
    int32_t answerKind;                            // JobAnswer
    char answer[JOB_FAILURE_ANSWER_CAPACITY];      // what the modem answered (or status bytes)
    char systemError[JOB_FAILURE_ERROR_CAPACITY];  // the system's error text
    // What the step itself says: the port's name, the archive reader's reason, the list's
    // length.
    char detail[JOB_FAILURE_DETAIL_CAPACITY];
    // All of it in one line: "programming modem.wrapped (file 4 of 5): AT%PROG=1 answered
    // ERROR"; "" when the job did not fail.
    char words[JOB_FAILURE_WORDS_CAPACITY];
};

class IJobObserver {
  public:
    virtual ~IJobObserver() {}
    // The job enters a phase; fileIndex is the file (1..n) for JOB_SENDING and
    // JOB_PROGRAMMING, else 0.
    virtual void OnPhase(int port, JobPhase phase, int fileIndex) = 0;
    // A file's step begins: its index (1..fileCount) and its path as the job's list names it.
    virtual void OnFileStart(int /*port*/, int /*fileIndex*/, int /*fileCount*/,
                             const char* /*path*/) {}
    // An event, as the host's sink receives it (DownloadEventCode and value), whether or not a
    // sink is registered.
    virtual void OnEvent(int /*port*/, int /*code*/, int /*value*/) {}
    // A file's step has ended: programmed (or, in a signature check, found good) or not.
    virtual void OnFileEnd(int /*port*/, int /*fileIndex*/, bool /*programmed*/) {}
    // The job failed here; the same record stays readable with report_LastFailure.
    virtual void OnFailure(int /*port*/, const JobFailure& /*failure*/) {}
    // A wait begins (what for, and the longest it may still take), or with kind WAIT_NONE the
    // wait announced last has ended (report/wait.h).
    virtual void OnWait(int /*port*/, const WaitNotice& /*notice*/) {}
    // A text posted to the host (MSG_DL_STATUS, MSG_DL_RESULT or MSG_DL_INFO) and what it
    // means (JobText), when it is posted.
    virtual void OnText(int /*port*/, unsigned /*messageId*/, int /*meaning*/,
                        const char* /*text*/) {}
};

// The observer of every port that has none of its own (null: none). Not owned.
void report_SetObserver(IJobObserver* observer);
// The observer of one port index, in place of the process-wide one (null removes it). Not
// owned.
void report_SetPortObserver(int port, IJobObserver* observer);

// ---- what the engine calls ---------------------------------------------------------------

// The job enters a phase (see IJobObserver::OnPhase).
void report_Phase(int port, JobPhase phase, int fileIndex);
// A file's step begins or ends.
void report_FileStart(int port, int fileIndex, int fileCount, const char* path);
void report_FileEnd(int port, int fileIndex, int programmed);
// An event the host's sink was handed (sink_Send in notify.h calls it for every event), and a
// text posted to the host (notify_Text).
void report_Event(int port, int code, int value);
// A wait begins or ends (wait_Announce in wait.h calls it).
void report_Wait(int port, const WaitNotice* notice);
void report_Text(int port, unsigned messageId, int meaning, const char* text);

// A job begins on the port: its failure record is cleared, and so is what the steps noted.
void report_JobBegin(int port);
// What the steps below the job leave for a failure record: the AT command that went out last
// and how it was answered, the data block being sent (-1 none, 0 the header frame), the
// last system error. Each replaces the one before; a new command or block also clears the
// answer noted before it.
void report_NoteCommand(int port, const char* command);
void report_NoteAnswer(int port, int answerKind, const char* answer, int length);
void report_NoteBlock(int port, int block);
void report_NoteSystemError(int port, const char* text);
void report_NoteDetail(int port, const char* text);
// The job failed at step: the first failure of the job is recorded from what the steps
// noted (only what belongs to that step is kept), put in words and handed to the observer.
// A later call in the same job changes nothing.
void report_Fail(int port, int step);
// The port's last failure record (step JOB_STEP_NONE when its last job did not fail), or
// null for a bad index. Read it on the job's thread, or after the job has ended.
const JobFailure* report_LastFailure(int port);

// "probing", "entering loader", "sending", "programming", "returning", "checking",
// "finished".
const char* report_PhaseName(int phase);
// The step in words: "opening the port", "programming", ...
const char* report_StepName(int step);

#endif
