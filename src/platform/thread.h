// Thread service: start a thread running a function, and wait for it to end. The engine
// starts no thread; a station runs one job per modem on threads of its own.
#ifndef MODEMFLASH_PLATFORM_THREAD_H
#define MODEMFLASH_PLATFORM_THREAD_H

typedef struct PlatformThread PlatformThread;
typedef void (*ThreadMain)(void* arg);

// Starts a thread that runs main(arg). Null when the system refused one.
PlatformThread* thread_Start(ThreadMain main, void* arg);
// Waits until the thread has ended and releases it.
void thread_Join(PlatformThread* thread);

#endif
