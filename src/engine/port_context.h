// The port context table and the serial channel on top of it.
//
// The engine keeps all it knows about one serial port in a PortContext; the 16 records live
// in static storage for the life of the library and are selected by a port index 0..15.
// Every engine operation takes the index first. An index outside 0..15 is refused: the
// operation does nothing and returns its failure value.
#ifndef MODEMFLASH_ENGINE_PORT_CONTEXT_H
#define MODEMFLASH_ENGINE_PORT_CONTEXT_H

#include <stddef.h>
#include <stdint.h>

#include "platform/serial.h"
#include "report/port_report.h"

#define PORT_CONTEXT_COUNT 16
#define PORT_NAME_CAPACITY 20
#define PORT_NAME_MAX_LENGTH 15  // longest name that fits the device-path buffer
#define RX_BUFFER_SIZE 65536
#define TX_BUFFER_SIZE 65540
#define ERR_TEXT_CAPACITY 80
#define PORT_LOCATION_CAPACITY 32
#define INIT_ANSWER_SLOTS 4       // the longest identification list (common + loader mode)
#define INIT_ANSWER_CAPACITY 256  // one kept answer, terminator included
#define PORT_NAMES_SEEN_CAPACITY 128

#define DEFAULT_BAUD_RATE 115200
#define DEFAULT_BLOCK_SIZE 16384
#define DEFAULT_AT_TIMEOUT_S 5000

#define LEFT_FILE_NAME_CAPACITY 64

// Where a job leaves its modem: the facts a host needs for its last words and its record,
// as codes (dl_DescribeLeft turns them into words).
enum LeftMode { LEFT_MODE_UNKNOWN = -1, LEFT_MODE_MODEM = 0, LEFT_MODE_LOADER = 1 };
enum LeftReason {
    LEFT_NOT_TOUCHED = 0,   // the port never opened: nothing was sent to the modem
    LEFT_UPDATED = 1,       // every file programmed, back in modem mode, autorun on
    LEFT_RECOVERED = 2,     // the update failed, but the modem is back in modem mode
    LEFT_IN_LOADER = 3,     // the modem answers but stays in loader mode
    LEFT_GONE = 4,          // its port went away and did not come back
    LEFT_SILENT = 5,        // it stopped answering
    LEFT_CHECK_FAILED = 6,  // back in modem mode, but its autorun setting is not on
    LEFT_MODE_UNREAD = 7    // it answers, but its mode could not be read
};
enum LeftFileStage {
    LEFT_FILE_NONE = 0,        // no file was begun
    LEFT_FILE_PART = 1,        // the last file begun was written only in part
    LEFT_FILE_WRITTEN = 2,     // written whole, not programmed
    LEFT_FILE_PROGRAMMED = 3,  // written and programmed
};
struct ModemLeft {
    int32_t mode;             // LeftMode
    int32_t reason;           // LeftReason
    int32_t fileCount;        // files of the update
    int32_t filesProgrammed;  // files this job had programmed
    int32_t lastFile;         // 1..fileCount: the last file the job began to write; 0 none
    int32_t lastFileStage;    // LeftFileStage of that file
    char lastFileName[LEFT_FILE_NAME_CAPACITY];  // its name, without its folder
};

static_assert(PORT_CONTEXT_COUNT == REPORT_PORT_COUNT, "one report record per port context");

// What reporting needs of a port (its log level, the channel's verbosity, the log file's
// name and the modem's label) is kept by reporting, in report_Port(port).
struct PortContext {
    int32_t targetMode;  // mode the modem should be in when the job ends (0..3)
    int32_t baudRate;    // wanted line speed; 115200 once open, -1 after a failed open
    uint16_t blockSize;  // payload bytes per data frame (16384 after open)
    char portName[PORT_NAME_CAPACITY];  // port name as given to com_Open, e.g. COM7
    int32_t atTimeout;              // AT answer time-out in seconds (5000, 30000 while programming)
    uint8_t rxBuf[RX_BUFFER_SIZE];  // AT answer text (NUL-terminated) or frame status
    uint8_t txBuf[TX_BUFFER_SIZE];  // formatted AT command or one outgoing frame
    SerialHandle portHandle;        // open device; SERIAL_INVALID_HANDLE when closed
    int32_t jobState;               // 1 started, 2 transferring, 5 succeeded, 0 failed
    int32_t progress;               // overall progress reported at the end of a run
    int32_t progressBase;           // where the current file's share of progress begins
    int32_t progressShare;          // share of the progress scale per file
    int32_t modeInitDone[2];        // identification commands sent, per mode (see mode.h)
    int32_t isOpen;                 // 1 while the port is open
    int32_t portIndex;              // own index while open, -1 otherwise
    // USB location of the modem this context works with ("1-1.3"), or "" when none is
    // known: then a reopen after a mode switch takes the modem port the finder selects.
    char location[PORT_LOCATION_CAPACITY];
    char errText[ERR_TEXT_CAPACITY];  // text of the last system error (com_ErrorText)
    // The identification answers, per mode in the order the commands go out, of the current
    // job (mode_InitAnswer; cleared by ctx_ForgetJobRecord and mode_ResetInitLatches).
    char initAnswers[2][INIT_ANSWER_SLOTS][INIT_ANSWER_CAPACITY];
    // Every name the port was opened under since the job started, comma-separated, in order.
    char portNamesSeen[PORT_NAMES_SEEN_CAPACITY];
    // What the channel has seen of the modem, for the recovery: when its device went away
    // (clk_NowMs() of the first read or write that found it gone, or of the mode command whose
    // port never came back; 0 while it is there), and whether it let the last AT exchange or
    // frame status run out of time without a byte beyond its echo (1; 2 once at_CheckAlive
    // found it still silent; 0 again once it answers).
    int64_t goneAtMs;
    int32_t silent;
    int32_t knownMode;  // the mode the modem last reported or was switched into; -1 unknown
    ModemLeft left;     // where the current (or last) job leaves the modem (engine/job.h)
};

// The record for a port index, or null when the index is outside 0..15.
PortContext* ctx_Get(int port);

// Opens the named port (e.g. COM7, at most 15 characters) with the engine's line settings
// and time-outs. Returns the device handle, or null on failure (message printed, record
// reset: handle invalid, time-out and speed -1, name empty).
SerialHandle com_Open(int port, const char* name);
// Closes the port. 1 if the system closed the handle, 0 otherwise (also for a bad index).
int com_Close(int port);
// One write of count bytes (gives up after about 200 ms). The count written, or -1 (also for a
// port that is not open: then nothing reaches the system).
int com_Write(int port, const void* bytes, int count);
// One read of at most capacity bytes (returns within about 10 ms). The count, or -1 (also for
// a port that is not open).
int com_Read(int port, void* buffer, int capacity);
// 1 while the port is open (it may still have gone: see goneAtMs), else 0.
int com_IsOpen(int port);
// Changes only the line speed. 1, or -3 on failure. baudRate is left unchanged.
int com_SetSpeed(int port, int speed);
// The text of the calling thread's last system error, kept in the record's errText.
const char* com_ErrorText(int port);

// Sets the USB location the context's modem is plugged in at (null or "" for none; cut to
// PORT_LOCATION_CAPACITY - 1 characters). A job run by a station sets it before the job.
void ctx_SetLocation(int port, const char* location);
// The names the port was opened under since the last ctx_ForgetJobRecord, comma-separated
// ("COM65,COM66"); "" for a bad index. A name that no longer fits is left out.
const char* ctx_PortNamesSeen(int port);
// Forgets the port names, the identification answers and the modem's state kept for the last
// job (not the once-per-mode latches), so that what is kept belongs to the job that starts.
void ctx_ForgetJobRecord(int port);

// Stores level when it is 0 or more; returns the level in force (-1 for a bad index).
int ctx_LogLevel(int port, int level);
// Stores mode when it is 0..3 and returns 1; otherwise changes nothing and returns 0.
int ctx_SetTargetMode(int port, int mode);
void at_SetTimeout(int port, int seconds);
void at_ResetTimeout(int port);

#endif
