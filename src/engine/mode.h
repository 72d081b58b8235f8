// Modem mode control: query and switch between modem mode (0) and loader mode (1) with the
// port closed, awaited and reopened; the identification commands once per mode; the modem's
// autorun (USB modem) setting.
//
// Every operation takes the port index of an open port first. Switching holds the engine's
// mode-switch lock while the mode command is sent and the port closed, and again for each
// reopen attempt; the lock is released before every pause and on every path.
#ifndef MODEMFLASH_ENGINE_MODE_H
#define MODEMFLASH_ENGINE_MODE_H

#include <stddef.h>

#define MODE_MODEM 0
#define MODE_LOADER 1

#define MODE_SWITCH_OK 1
#define MODE_COMMAND_FAILED 4  // the modem refused a mode or speed command, or did not answer
#define MODE_REOPEN_FAILED 6   // the port did not come back within its attempts

#define MODE_SWITCH_PAUSE_S 20  // after every accepted mode command
#define MODE_RETRY_PAUSE_S 2    // after every failed reopen, and before every retried switch
#define MODE_REOPEN_ATTEMPTS 8
#define MODE_SWITCH_RETRIES 6  // retries after the first switch attempt

// The modem's mode (the number after ": " in the AT%MODE? reply); -1 when the query did not
// end in OK or the reply holds no ": ".
int mode_Query(int portIndex);

// Sends the identification commands of the modem's current mode (common list, then that
// mode's list) unless they went out before on this port context; nothing when the mode is
// neither 0 nor 1. What the modem answered to each command is kept for mode_InitAnswer.
// The once-per-mode latches last as long as the library unless mode_ResetInitLatches
// clears them.
void mode_SendInitCommands(int portIndex);

// The answer kept for an identification command ("AT+GMR", "AT%IFWR", "AT%ICOMPAT",
// "AT%IFLIST", "AT%CHIPID") in the given mode: the modem's text without the command's echo
// and the final OK, line breaks as "\n", at most INIT_ANSWER_CAPACITY - 1 bytes. Null when
// the command did not go out in that mode during the current (or last) job, was not
// answered with OK (or with nothing but OK), or is not on that mode's lists, or for a bad
// index or mode. With the latches set, a later job on the same port context sends nothing
// and so has no answers: what is kept is never an earlier modem's.
const char* mode_InitAnswer(int portIndex, int mode, const char* command);

// Clears both once-per-mode latches of the port context and the answers kept with them, so
// that the next mode_SendInitCommands in each mode sends its commands again. For a port
// context that starts a job for another modem; the single-modem host never calls it.
void mode_ResetInitLatches(int portIndex);

// Sends AT%MODE=mode, closes the port, waits 20 s and reopens it under the COM number the
// registry shows now, up to 8 attempts 2 s apart. 1 reopened; 4 the command failed (the port
// is closed), or the port was not open (nothing is written); 6 the port did not open again
// (goneAtMs is the time of the command).
int mode_Switch(int portIndex, int mode);

// Like mode_Switch but reopens under the port's own name and then sends the identification
// commands. 1 reopened; 4 the command failed (the port is left open); 6 no reopen.
int mode_SwitchSamePort(int portIndex, int mode);

// Puts the modem into loader mode (at most 7 switch attempts) and sets the wanted line speed.
// A retry reaches the modem first (mode_ReachModem): the failed switch closed its port.
// 1 in loader mode; 6 a switch did not reopen the port; 4 the mode command kept failing, or
// the modem stopped answering.
int mode_EnterLoader(int portIndex);

// Makes sure the modem can be spoken to before a command: a port that is closed or whose
// device went away is reopened where the modem is now (at its location, when it has one). A
// port this engine closed after a failed command is tried at once; a device that went away is
// waited for as after a mode switch, counted from when it went (goneAtMs): the first attempt
// 20 s after, then up to 8 attempts 2 s apart. A modem that let its last exchange pass in
// silence is then asked whether it still answers (at_CheckAlive). 1 ready; 6 its port did not
// come back (goneAtMs keeps when it went); 4 it does not answer.
int mode_ReachModem(int portIndex);

// Brings the modem back to modem mode at 115200 bit/s, posting the status texts to the host.
// The modem is reached first and before every retried switch (mode_ReachModem), so nothing
// is written to a port that is not open and a silent modem costs no further AT time-out.
// 1 back in modem mode; 4 the speed command failed or the modem does not answer; 6 its port
// did not come back; otherwise the last mode_Switch result.
int mode_RecoverModem(int portIndex);

// When the context knows its modem's USB location (ctx_SetLocation) and a modem port is there
// now: writes "COM<n>" of that port into name and returns 1. Otherwise 0, name untouched.
// mode_Switch and mode_SwitchSamePort reopen by it whenever a location is set, so that a
// modem is never confused with another whose port took its old name.
int mode_LocatePortName(int portIndex, char* name, size_t capacity);

// The modem's autorun setting (AT%USBMODEM?); -1 as for mode_Query.
int autorun_Query(int portIndex);

// Sets the autorun setting and reads it back. 1 it reads back as value; 0 the set command
// failed or the read-back differs; -1 the read-back query failed.
int autorun_Set(int portIndex, int value);

#endif
