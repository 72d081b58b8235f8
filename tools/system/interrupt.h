// Ctrl-C while a modem is being updated.
//
// Stopping an update at an arbitrary moment can leave a modem in loader mode with a
// half-written archive, where it no longer works as a modem until an update completes. So
// the first Ctrl-C (or SIGTERM) only says what stopping now would leave behind, and the
// update goes on; the second one stops. Stopping means ending the process once what it holds
// outside itself is given back (ModemManager's inhibition): the host contract's Download has
// no cancel, and the system closes the port and drops its lock with the process.
//
//   intr_Install();
//   InterruptWatch watch([&](int count) {
//       if (count == 1) intr_PrintNotice(intr_LeftBehind(lastEvent));
//       else { release(); intr_Stop(); }
//   });
#ifndef MODEMFLASH_TOOLS_INTERRUPT_H
#define MODEMFLASH_TOOLS_INTERRUPT_H

#include <stdio.h>

#include <functional>

// Installs the SIGINT/SIGTERM (console control) handlers: from now on an interrupt is only
// counted. Safe to call more than once.
void intr_Install();

// Interrupts received so far.
int intr_Count();

// The last-event value of an update that has had no sink event yet.
const int INTR_NO_EVENT = -100;

// What stopping now would leave the modem in, given the last sink event code seen
// (INTR_NO_EVENT when none has come yet): a phrase such as "the modem in loader mode with
// modem.wrapped half written: ...".
const char* intr_LeftBehind(int lastEventCode);

// The first interrupt's notice: what stopping would leave behind, and that the update goes
// on until a second interrupt. Written whole to `to` (standard error by default).
void intr_PrintNotice(const char* leftBehind, FILE* to = nullptr);

// The exit status of a command stopped by interrupts (as a shell reports SIGINT: 128 + 2).
const int INTR_EXIT_STATUS = 130;

// Ends the process at once with INTR_EXIT_STATUS (see sig_ExitNow): call it after releasing
// what must be released.
[[noreturn]] void intr_Stop();

// Runs onInterrupt(count) on a thread of its own for every interrupt received while it
// lives (count = intr_Count() then, 1 for the first). Interrupts before it was made are not
// replayed. One watch at a time in a process (a station watches for all its modems with
// one). The destructor stops and joins the thread.
class InterruptWatch {
  public:
    explicit InterruptWatch(std::function<void(int count)> onInterrupt);
    ~InterruptWatch();
    InterruptWatch(const InterruptWatch&) = delete;
    InterruptWatch& operator=(const InterruptWatch&) = delete;

  private:
    static void call(void* self, int count);
    std::function<void(int)> onInterrupt_;
};

#endif
