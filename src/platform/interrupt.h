// Interrupt service: Ctrl-C and requests to end the process, for the command-line host.
//
// Once installed, an interrupt (SIGINT or SIGTERM on POSIX; Ctrl-C, Ctrl-Break or closing the
// console on Windows) no longer ends the process: it is counted, and a thread waiting in
// sig_Wait wakes. The handlers only count and wake (async-signal-safe); what an interrupt
// means is decided by the waiting thread. System calls the handler interrupts are restarted
// where the system can, and the library's own waits retry on EINTR.
#ifndef MODEMFLASH_PLATFORM_INTERRUPT_H
#define MODEMFLASH_PLATFORM_INTERRUPT_H

// Installs the handlers (once; later calls do nothing). 1 on success.
int sig_Install(void);

// Interrupts received since sig_Install.
int sig_Count(void);

// Waits until more than `seen` interrupts have come or timeoutMs (real time) passes, and
// returns the count then.
int sig_Wait(int seen, int timeoutMs);

// Calls callback(user, count) once for every interrupt received from now on, in order, on a
// thread of the service's own, until sig_Unwatch. One watch at a time: 0 when one is already
// running or the thread cannot start, 1 otherwise.
typedef void (*InterruptCallback)(void* user, int count);
int sig_Watch(InterruptCallback callback, void* user);
// Stops the watch and waits for its thread (a callback running at that moment completes).
// Must not be called from the callback.
void sig_Unwatch(void);

// Ends the process at once with status, after flushing the C streams, without running exit
// handlers or destructors (another thread may be inside the library). Open files and ports
// are closed by the system.
[[noreturn]] void sig_ExitNow(int status);

#endif
