// Threads on Windows (_beginthreadex, so that the C runtime is set up for the thread).
#include "platform/thread.h"

#include <process.h>
#include <windows.h>

#include <new>

#include "platform/fault.h"
#include "platform/memory.h"

struct PlatformThread {
    HANDLE handle;
    ThreadMain main;
    void* arg;
};

namespace {

unsigned __stdcall start(void* self) {
    PlatformThread* t = static_cast<PlatformThread*>(self);
    t->main(t->arg);
    return 0;
}

}  // namespace

PlatformThread* thread_Start(ThreadMain main, void* arg) {
    if (fault_Hit(FAULT_SEAM_THREAD)) return nullptr;  // as a system out of threads
    PlatformThread* t = mem_New<PlatformThread>(nullptr, main, arg);
    if (t == nullptr) return nullptr;
    uintptr_t h = _beginthreadex(nullptr, 0, start, t, 0, nullptr);
    if (h == 0) {
        delete t;
        return nullptr;
    }
    t->handle = reinterpret_cast<HANDLE>(h);
    return t;
}

void thread_Join(PlatformThread* thread) {
    if (thread == nullptr) return;
    WaitForSingleObject(thread->handle, INFINITE);
    CloseHandle(thread->handle);
    delete thread;
}
