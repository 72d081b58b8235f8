// Stream diversion on Windows: the C runtime's descriptor of the stream is pointed at a pipe
// that a thread reads. The library and the host share the system C runtime (msvcrt.dll), so
// what the library writes to the stream goes through the pipe too.
#include "platform/stream.h"

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <string>

struct StreamDivert {
    int stream;
    int saved;       // the stream's former target
    int readEnd;     // the pipe, read by the thread
    FILE* original;  // over a copy of saved
    StreamLineFunction fn;
    void* user;
    HANDLE reader;
};

namespace {

const DWORD kReaderEndMs = 2000;  // the reader's last lines, after the write end has closed

DWORD WINAPI readLines(void* arg) {
    StreamDivert* d = static_cast<StreamDivert*>(arg);
    std::string pending;
    char buf[4096];
    for (;;) {
        int n = _read(d->readEnd, buf, sizeof buf);
        if (n <= 0) break;  // the last write end closed (or the pipe broke)
        pending.append(buf, static_cast<size_t>(n));
        size_t start = 0, nl;
        while ((nl = pending.find('\n', start)) != std::string::npos) {
            d->fn(d->user, d->original, pending.data() + start, nl + 1 - start);
            start = nl + 1;
        }
        pending.erase(0, start);
    }
    if (!pending.empty()) d->fn(d->user, d->original, pending.data(), pending.size());
    return 0;
}

}  // namespace

StreamDivert* stream_Divert(int stream, StreamLineFunction fn, void* user) {
    if ((stream != 1 && stream != 2) || fn == nullptr) return nullptr;
    FILE* s = stream == 1 ? stdout : stderr;
    fflush(s);
    // Binary, so that the stream's text mode (LF to CR LF) is applied once, by original; not
    // inherited, so that a child process cannot hold the write end open.
    int fds[2];
    if (_pipe(fds, 65536, _O_BINARY | _O_NOINHERIT) != 0) return nullptr;
    int saved = _dup(stream);
    int copy = saved >= 0 ? _dup(saved) : -1;
    FILE* original = copy >= 0 ? _fdopen(copy, "w") : nullptr;
    if (original == nullptr || _dup2(fds[1], stream) != 0) {
        if (original)
            fclose(original);
        else if (copy >= 0)
            _close(copy);
        if (saved >= 0) _close(saved);
        _close(fds[0]);
        _close(fds[1]);
        return nullptr;
    }
    _close(fds[1]);
    // _dup2 makes the stream's handle inheritable, as standard handles are; a process started
    // meanwhile (Wine starts its desktop process for the first message box) would keep the
    // pipe open, and the reader would wait for its end for ever.
    SetHandleInformation(reinterpret_cast<HANDLE>(_get_osfhandle(stream)), HANDLE_FLAG_INHERIT, 0);
    setvbuf(original, nullptr, _IONBF, 0);
    StreamDivert* d = new StreamDivert{stream, saved, fds[0], original, fn, user, nullptr};
    d->reader = CreateThread(nullptr, 0, readLines, d, 0, nullptr);
    if (d->reader == nullptr) {
        _dup2(saved, stream);
        _close(saved);
        _close(fds[0]);
        fclose(original);
        delete d;
        return nullptr;
    }
    return d;
}

FILE* stream_Original(StreamDivert* d) {
    return d ? d->original : nullptr;
}

void stream_Restore(StreamDivert* d) {
    if (d == nullptr) return;
    fflush(d->stream == 1 ? stdout : stderr);
    _dup2(d->saved, d->stream);  // closes the pipe's last write end: the reader sees the end
    _close(d->saved);
    // Should another holder of the write end remain all the same, the reader's wait is
    // cancelled: what was written has been read by then.
    if (WaitForSingleObject(d->reader, kReaderEndMs) != WAIT_OBJECT_0) {
        CancelSynchronousIo(d->reader);
        if (WaitForSingleObject(d->reader, kReaderEndMs) != WAIT_OBJECT_0) {
            fflush(d->original);
            return;  // the thread still uses the record: it stays
        }
    }
    CloseHandle(d->reader);
    _close(d->readEnd);
    fflush(d->original);
    fclose(d->original);
    delete d;
}
