// What reporting keeps of each port: its log level, the serial channel's verbosity, the name
// of its log file, and the label that says which modem its lines belong to.
//
// One record per port index 0..15 (the engine's port contexts use the same indexes), in
// static storage for the life of the library, zero at load. Like a port context, a record
// belongs to the one thread that runs the port's job; the label is set before that thread
// starts and cleared after it has ended.
#ifndef MODEMFLASH_REPORT_PORT_REPORT_H
#define MODEMFLASH_REPORT_PORT_REPORT_H

#include <stdint.h>

#define REPORT_PORT_COUNT 16
#define LOG_FILE_NAME_CAPACITY 128
#define REPORT_LABEL_CAPACITY 32  // a USB location such as "1-1.3.4", terminator included

struct PortReport {
    int32_t logLevel;      // 1+: info lines on stdout; 2+: error lines on stderr
    int32_t comVerbosity;  // >1: channel and AT failures printed on stderr; >2: read trace
    char logFileName[LOG_FILE_NAME_CAPACITY];  // "log<n>_DL.txt", composed by the job
    char label[REPORT_LABEL_CAPACITY];  // "" (single modem: lines as they are) or the modem's
                                        // label, put in front of each of its lines
    int32_t consoleQuiet;  // 1: error and channel lines reach the hook and the log file only
                           // (a reopen attempt that may yet be followed by one that works)
    int32_t boxAsLog;      // 1: report_MessageBox writes an error line instead (see there)
};

// The record of a port index, or null outside 0..15.
PortReport* report_Port(int port);

// Sets the port's label (cut to REPORT_LABEL_CAPACITY - 1 characters; null or "" clears it).
// A partial line held under the old label is written first.
void report_SetLabel(int port, const char* label);

// The job's one message box (loader mode refused): a modal box with an OK button that holds
// the calling thread until it is closed, as a single-modem host expects. For a port whose
// record has boxAsLog set (each modem of a station) the text becomes one of the port's error
// lines instead (its labelled output, its log file, the log hook): a box per modem would
// hold every failed modem's recovery until someone clicked it, and a screen of identical
// boxes would not say which modem each is about, while the modem's own line does.
void report_MessageBox(int port, const char* text);

#endif
