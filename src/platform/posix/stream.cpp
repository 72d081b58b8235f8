// Stream diversion on POSIX: the stream's descriptor is pointed at a pipe that a thread reads.
#include "platform/stream.h"

#include <errno.h>
#include <unistd.h>

#include <string>
#include <thread>

struct StreamDivert {
    int stream;
    int saved;       // the stream's former target
    int readEnd;     // the pipe, read by the thread
    FILE* original;  // over a copy of saved
    StreamLineFunction fn;
    void* user;
    std::thread reader;
};

namespace {

void readLines(StreamDivert* d) {
    std::string pending;
    char buf[4096];
    for (;;) {
        ssize_t n = read(d->readEnd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        pending.append(buf, static_cast<size_t>(n));
        size_t start = 0, nl;
        while ((nl = pending.find('\n', start)) != std::string::npos) {
            d->fn(d->user, d->original, pending.data() + start, nl + 1 - start);
            start = nl + 1;
        }
        pending.erase(0, start);
    }
    if (!pending.empty()) d->fn(d->user, d->original, pending.data(), pending.size());
}

}  // namespace

StreamDivert* stream_Divert(int stream, StreamLineFunction fn, void* user) {
    if ((stream != 1 && stream != 2) || fn == nullptr) return nullptr;
    fflush(stream == 1 ? stdout : stderr);
    int fds[2];
    if (pipe(fds) != 0) return nullptr;
    int saved = dup(stream);
    int copy = saved >= 0 ? dup(saved) : -1;
    FILE* original = copy >= 0 ? fdopen(copy, "w") : nullptr;
    if (original == nullptr || dup2(fds[1], stream) < 0) {
        if (original)
            fclose(original);
        else if (copy >= 0)
            close(copy);
        if (saved >= 0) close(saved);
        close(fds[0]);
        close(fds[1]);
        return nullptr;
    }
    close(fds[1]);
    setvbuf(original, nullptr, _IOLBF, 0);
    StreamDivert* d = new StreamDivert{stream, saved, fds[0], original, fn, user, std::thread()};
    d->reader = std::thread(readLines, d);
    return d;
}

FILE* stream_Original(StreamDivert* d) {
    return d ? d->original : nullptr;
}

void stream_Restore(StreamDivert* d) {
    if (d == nullptr) return;
    fflush(d->stream == 1 ? stdout : stderr);
    dup2(d->saved, d->stream);  // closes the pipe's last write end: the reader sees the end
    close(d->saved);
    d->reader.join();
    close(d->readEnd);
    fflush(d->original);
    fclose(d->original);
    delete d;
}
