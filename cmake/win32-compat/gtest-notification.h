// GoogleTest's Notification for the win32 thread model, which has no std::mutex or
// std::condition_variable for GoogleTest's own version. Included ahead of every source of
// GoogleTest and of the test programs (see cmake/cross-gtest.cmake); a manual-reset event
// does the same job.
#ifndef MODEMFLASH_WIN32_COMPAT_GTEST_NOTIFICATION_H
#define MODEMFLASH_WIN32_COMPAT_GTEST_NOTIFICATION_H

#ifdef __cplusplus

#define GTEST_HAS_NOTIFICATION_ 1

struct _SECURITY_ATTRIBUTES;
extern "C" {
__declspec(dllimport) void* __stdcall CreateEventA(struct _SECURITY_ATTRIBUTES* attributes,
                                                   int manualReset, int initialState,
                                                   const char* name);
__declspec(dllimport) int __stdcall SetEvent(void* event);
__declspec(dllimport) unsigned long __stdcall WaitForSingleObject(void* handle, unsigned long ms);
__declspec(dllimport) int __stdcall CloseHandle(void* handle);
}

namespace testing {
namespace internal {

class Notification {
  public:
    Notification() : event_(CreateEventA(nullptr, 1, 0, nullptr)) {}
    ~Notification() {
        if (event_) CloseHandle(event_);
    }
    Notification(const Notification&) = delete;
    Notification& operator=(const Notification&) = delete;

    void Notify() { SetEvent(event_); }
    void WaitForNotification() { WaitForSingleObject(event_, 0xFFFFFFFFul); }

  private:
    void* event_;
};

}  // namespace internal
}  // namespace testing

#endif
#endif
