// std::thread for test programs built with the win32 thread model of mingw-w64, whose C++
// library declares std::thread without a way to start one. This header takes the place of
// the library's own bits/std_thread.h (same include guard) for the test programs only, and
// starts threads with _beginthreadex. The library and the command-line host never see it.
#ifndef _GLIBCXX_THREAD_H
#define _GLIBCXX_THREAD_H 1

#include <bits/c++config.h>
#include <bits/functional_hash.h>
#include <process.h>

#include <exception>
#include <functional>
#include <memory>
#include <system_error>
#include <tuple>
#include <type_traits>
#include <utility>

extern "C" {
__declspec(dllimport) unsigned long __stdcall WaitForSingleObject(void* handle, unsigned long ms);
__declspec(dllimport) int __stdcall CloseHandle(void* handle);
__declspec(dllimport) unsigned long __stdcall GetCurrentThreadId(void);
__declspec(dllimport) int __stdcall SwitchToThread(void);
}

namespace std {

class thread {
  public:
    using native_handle_type = void*;

    class id {
      public:
        id() noexcept : _M_thread(0) {}
        explicit id(unsigned long tid) noexcept : _M_thread(tid) {}
        unsigned long _M_thread;
    };

    thread() noexcept = default;

    template <typename F, typename... Args,
              typename = typename enable_if<!is_same<typename decay<F>::type, thread>::value>::type>
    explicit thread(F&& f, Args&&... args) {
        using Call = tuple<typename decay<F>::type, typename decay<Args>::type...>;
        unique_ptr<Call> call(new Call(std::forward<F>(f), std::forward<Args>(args)...));
        unsigned tid = 0;
        uintptr_t h = _beginthreadex(nullptr, 0, &thread::start<Call>, call.get(), 0, &tid);
        if (h == 0) __throw_system_error(int(errc::resource_unavailable_try_again));
        call.release();
        handle_ = reinterpret_cast<void*>(h);
        id_ = id(tid);
    }

    ~thread() {
        if (joinable()) std::terminate();
    }

    thread(const thread&) = delete;
    thread& operator=(const thread&) = delete;
    thread(thread&& other) noexcept { swap(other); }
    thread& operator=(thread&& other) noexcept {
        if (joinable()) std::terminate();
        swap(other);
        return *this;
    }

    void swap(thread& other) noexcept {
        std::swap(handle_, other.handle_);
        std::swap(id_, other.id_);
    }

    bool joinable() const noexcept { return handle_ != nullptr; }

    void join() {
        if (!joinable()) __throw_system_error(int(errc::invalid_argument));
        WaitForSingleObject(handle_, 0xFFFFFFFFul);
        CloseHandle(handle_);
        handle_ = nullptr;
        id_ = id();
    }

    void detach() {
        if (!joinable()) __throw_system_error(int(errc::invalid_argument));
        CloseHandle(handle_);
        handle_ = nullptr;
        id_ = id();
    }

    id get_id() const noexcept { return id_; }
    native_handle_type native_handle() { return handle_; }
    static unsigned int hardware_concurrency() noexcept { return 1; }

  private:
    template <typename Call, size_t... I>
    static void invokeCall(Call& call, index_sequence<I...>) {
        std::invoke(std::move(std::get<I>(call))...);
    }

    template <typename Call>
    static unsigned __stdcall start(void* arg) {
        unique_ptr<Call> call(static_cast<Call*>(arg));
        invokeCall(*call, make_index_sequence<tuple_size<Call>::value>());
        return 0;
    }

    void* handle_ = nullptr;
    id id_;
};

inline void swap(thread& a, thread& b) noexcept {
    a.swap(b);
}

// The library's <thread> defines the other comparisons itself.
inline bool operator==(thread::id a, thread::id b) noexcept {
    return a._M_thread == b._M_thread;
}

template <>
struct hash<thread::id> {
    size_t operator()(const thread::id& i) const noexcept {
        return std::_Hash_impl::hash(i._M_thread);
    }
};

namespace this_thread {
inline thread::id get_id() noexcept {
    return thread::id(GetCurrentThreadId());
}
inline void yield() noexcept {
    SwitchToThread();
}
}  // namespace this_thread

}  // namespace std

#endif
