// The download job: one complete firmware update on one port.
//
//   dl_RunJob         opens the port, repeats attempts whose port did not open or come back,
//                     and after a successful run checks the modem's mode and autorun setting
//   dl_Run            one run on an open port: job state, start and end reports to the host
//   dl_DownloadFiles  loader mode, every archive sent and programmed, back to modem mode
#ifndef MODEMFLASH_ENGINE_JOB_H
#define MODEMFLASH_ENGINE_JOB_H

#include <stddef.h>

#include "engine/port_context.h"

// Result codes shared by the three layers.
enum JobResult {
    DL_CHECK_FAILED = 0,        // after a good run: wrong mode, autorun off, or close failed
    DL_OK = 1,                  // every file sent and programmed, modem back in modem mode
    DL_FILE_OPEN_FAILED = 2,    // an archive could not be opened, or the list did not fit
    DL_AT_FAILED = 4,           // the modem refused or did not answer an AT command
    DL_TRANSFER_FAILED = 5,     // an archive's block transfer failed
    DL_MODE_SWITCH_FAILED = 6,  // the port did not open, or did not come back after a switch
    DL_PROGRAM_FAILED = 8       // the modem refused both programming commands
};

// The working copy of the file list, terminator included: the longest list the downloader
// builds, seven paths of 255 characters and six separators, fits it.
#define JOB_LIST_CAPACITY (7 * 255 + 6 + 1)
#define JOB_MAX_ATTEMPTS 3       // attempts that may end with DL_MODE_SWITCH_FAILED
#define JOB_RETRY_PAUSE_MS 2000  // pause before another such attempt

// Runs the whole job on the named port ("COM" and a number) with a ';'-separated list of
// archive paths. A list of JOB_LIST_CAPACITY characters or more is refused (DL_FILE_OPEN_FAILED)
// before the port is touched.
int dl_RunJob(int portIndex, const char* portName, const char* fileList);

// Where the current (or last) job on the port leaves its modem (set when dl_RunJob returns);
// null for a bad index. Its fields are codes (port_context.h: LeftMode, LeftReason,
// LeftFileStage); the job logs them in words when the update did not complete.
const ModemLeft* dl_ModemLeft(int portIndex);

// The state in words, with what to do next: "the modem is left in loader mode: ...; the last
// file written was modem.wrapped (file 4 of 7, written in part); 3 of 7 files programmed; run
// the update again, ...". Returns out.
char* dl_DescribeLeft(const ModemLeft* left, char* out, size_t capacity);

// One run on an open port; fileList is split in place.
int dl_Run(int portIndex, char* fileList, int program, int queryChipId);

// The download body. program = 0 has the modem check each archive's signature only.
int dl_DownloadFiles(int portIndex, char* fileList, int queryChipId, int program);

// The host's result code for a job result (1 for DL_OK, 13, 15, 14, else 0): the one mapping
// every host uses.
int DownloadResultOf(int jobResult);
// A host result (DOWNLOAD_*) in words, the same for every host: "update complete", "the
// firmware transfer failed", ... What failed in detail is the job's failure record
// (report/job_observer.h).
const char* DownloadResultWords(int downloadResult);

// What the last job on the port kept of its modem, for a host's record of the update: the
// answer to an identification command ("AT+GMR", ...) in a mode (see mode_InitAnswer; null
// when none), and the port names it was opened under, comma-separated ("" when none). Read
// them after the job, on a thread that runs no job on the port.
const char* dl_InitAnswer(int portIndex, int mode, const char* command);
const char* dl_PortNames(int portIndex);

// The first character of text that is one of delimiters; the terminator of text when none
// is; null when text or delimiters is null or text is empty.
char* str_FindAny(char* text, const char* delimiters);

// Writes a terminator over every delimiter in text and returns the number of non-empty
// names; 0 when text or delimiters is null or empty.
int str_SplitInPlace(char* text, const char* delimiters);

// The next name of a list split by str_SplitInPlace: p moved past the terminators the split
// left. The caller visits only as many names as the split counted.
char* str_NextName(char* p);

#endif
