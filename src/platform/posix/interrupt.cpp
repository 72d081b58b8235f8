// SIGINT and SIGTERM counted by a handler that writes one byte to a self-pipe, so that a
// waiting thread wakes from poll without polling a flag.
#include "platform/interrupt.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <unistd.h>

#include <atomic>
#include <mutex>

namespace {

const int kWatchPollMs = 50;  // how often the watch looks at its stop flag
std::atomic<int> g_count{0};  // lock-free, so the handler may touch it
int g_pipe[2] = {-1, -1};     // written by the handler, read by sig_Wait

static_assert(std::atomic<int>::is_always_lock_free, "the handler needs a lock-free counter");

void onSignal(int) {
    int saved = errno;
    g_count.fetch_add(1);
    char byte = 1;
    ssize_t ignored = write(g_pipe[1], &byte, 1);  // a full pipe already holds a wake-up
    (void)ignored;
    errno = saved;
}

}  // namespace

int sig_Install(void) {
    static std::once_flag once;
    static int installed = 0;
    std::call_once(once, [] {
        if (pipe(g_pipe) != 0) return;
        for (int fd : g_pipe) {
            fcntl(fd, F_SETFD, FD_CLOEXEC);
            fcntl(fd, F_SETFL, O_NONBLOCK);
        }
        struct sigaction sa = {};
        sa.sa_handler = onSignal;
        sigemptyset(&sa.sa_mask);
        sa.sa_flags = SA_RESTART;
        installed = sigaction(SIGINT, &sa, nullptr) == 0 && sigaction(SIGTERM, &sa, nullptr) == 0;
    });
    return installed;
}

int sig_Count(void) {
    return g_count.load();
}

int sig_Wait(int seen, int timeoutMs) {
    if (g_count.load() > seen || g_pipe[0] < 0) return g_count.load();
    struct pollfd p = {g_pipe[0], POLLIN, 0};
    int r = poll(&p, 1, timeoutMs < 0 ? 0 : timeoutMs);
    if (r > 0) {
        char drain[64];
        while (read(g_pipe[0], drain, sizeof drain) > 0) {
        }
    }
    return g_count.load();
}

namespace {

// The watch: its thread, and what it calls. Only sig_Watch and sig_Unwatch (one caller at a
// time, by contract) touch these, besides the thread itself reading them.
pthread_t g_watchThread;
bool g_watching = false;
std::atomic<bool> g_stopWatch{false};
InterruptCallback g_callback = nullptr;
void* g_user = nullptr;

void* watchLoop(void* start) {
    int seen = static_cast<int>(reinterpret_cast<intptr_t>(start));
    while (!g_stopWatch.load()) {
        int now = sig_Wait(seen, kWatchPollMs);
        while (seen < now && !g_stopWatch.load()) g_callback(g_user, ++seen);
    }
    return nullptr;
}

}  // namespace

int sig_Watch(InterruptCallback callback, void* user) {
    if (g_watching || callback == nullptr) return 0;
    g_callback = callback;
    g_user = user;
    g_stopWatch.store(false);
    // The thread takes no signal: the handler then runs on threads that may be interrupted.
    sigset_t block, old;
    sigemptyset(&block);
    sigaddset(&block, SIGINT);
    sigaddset(&block, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &block, &old);
    intptr_t start = g_count.load();
    g_watching =
        pthread_create(&g_watchThread, nullptr, watchLoop, reinterpret_cast<void*>(start)) == 0;
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    return g_watching ? 1 : 0;
}

void sig_Unwatch(void) {
    if (!g_watching) return;
    g_stopWatch.store(true);
    pthread_join(g_watchThread, nullptr);
    g_watching = false;
}

void sig_ExitNow(int status) {
    fflush(nullptr);
    _exit(status);
}
