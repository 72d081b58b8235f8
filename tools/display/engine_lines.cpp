// The library's stream lines reworked for the user: JSON objects, UTF-8, the real log path.
#include "cli/display/engine_lines.h"

#include <string.h>

#include <vector>

#include "platform/env.h"
#include "platform/lock.h"
#include "platform/stream.h"
#include "platform/text.h"
#include "util/utf8.h"

namespace {

const char kSeeLog[] = "See log.txt.";

}  // namespace

// One diverted stream: which it is, for the lines its thread hands over.
struct EngineLines::Stream {
    EngineLines* owner;
    int number;  // 1 standard output, 2 standard error
    StreamDivert* divert;
};

bool cli_Utf8Output() {
    return text_LocaleIsUtf8() != 0;
}

std::string cli_LibraryText(const std::string& bytes) {
    if (utf8_Valid(bytes)) return bytes;
    std::vector<char> utf8(bytes.size() * 3 + 1);
    long n = text_GbkToUtf8(bytes.data(), bytes.size(), utf8.data(), utf8.size());
    if (n >= 0) return std::string(utf8.data(), static_cast<size_t>(n));
    return utf8_Repaired(bytes);
}

size_t cli_LogFileText(const char* text, size_t length, char* out, size_t capacity) {
    std::string utf8 = cli_LibraryText(std::string(text, length));
    size_t n = utf8.size() < capacity ? utf8.size() : capacity;
    memcpy(out, utf8.data(), n);
    return n;
}

std::string cli_OutputText(const std::string& bytes) {
    return cli_Utf8Output() ? utf8_Repaired(bytes) : bytes;
}

EngineLines::EngineLines() : streams_{nullptr, nullptr}, lock_(lock_Create()) {}

EngineLines::~EngineLines() {
    stop();
    lock_Destroy(lock_);
}

void EngineLines::start(bool json, const std::string& rejectionLog, Streams streams) {
    json_ = json;
    rejectionLog_ = rejectionLog;
    utf8_ = cli_Utf8Output();
    // Standard error carries the library's GBK lines: a Windows console takes them through
    // here whatever its code page.
    bool divert[2] = {(streams & STANDARD_OUTPUT) && (json || (utf8_ && !env_IsTerminal(1))),
                      (streams & STANDARD_ERROR) && (json || utf8_ || text_IsConsole(2))};
    for (int i = 0; i < 2; ++i) {
        if (!divert[i] || streams_[i]) continue;
        Stream* s = new Stream{this, i + 1, nullptr};
        s->divert = stream_Divert(i + 1, &EngineLines::onLine, s);
        if (s->divert == nullptr) {
            delete s;
            continue;
        }
        LockGuard held(lock_);
        streams_[i] = s;
    }
}

void EngineLines::stop() {
    // Standard error first: its lines in JSON mode are written through standard output's
    // former target, which stays until standard output is put back. A stream is taken out
    // of use before it is put back, so that no write goes to a target being closed; its last
    // lines then go to the stream itself, already back where it was.
    for (int i = 1; i >= 0; --i) {
        Stream* s;
        {
            LockGuard held(lock_);
            s = streams_[i];
            streams_[i] = nullptr;
        }
        if (s == nullptr) continue;
        stream_Restore(s->divert);  // the last lines pass through onLine before it returns
        delete s;
    }
}

FILE* EngineLines::out() {
    if (streams_[0]) return stream_Original(streams_[0]->divert);
    return stdout;
}

void EngineLines::write(const std::string& line) {
    LockGuard held(lock_);
    writeLocked(out(), line);
}

void EngineLines::writeJson(const JsonObject& object) {
    write(json_Line(object) + "\n");
}

void EngineLines::writeLocked(FILE* f, const std::string& text) {
    fwrite(text.data(), 1, text.size(), f);
    fflush(f);
}

void EngineLines::onLine(void* stream, FILE* original, const char* line, size_t length) {
    Stream* s = static_cast<Stream*>(stream);
    EngineLines* e = s->owner;
    std::string text(line, length);
    if (e->json_) {
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
        if (text.empty()) return;  // the library's spacing lines carry nothing
        JsonObject object = {{"type", "log"},
                             {"stream", s->number == 1 ? "stdout" : "stderr"},
                             {"text", cli_LibraryText(text)}};
        text = json_Line(object) + "\n";
    } else {
        if (e->utf8_) text = cli_LibraryText(text);
        size_t at = text.find(kSeeLog);
        if (at != std::string::npos && !e->rejectionLog_.empty())
            text.insert(at + strlen(kSeeLog), " (the rejection log is " + e->rejectionLog_ + ")");
    }
    // A line of standard output goes to its former target (which lasts until this diversion
    // has handed over its last line); the JSON objects of standard error's lines join the
    // host's own on standard output. A Windows console takes a line that is not ASCII as its
    // own characters (the C runtime would pass the bytes on in another code page).
    LockGuard held(e->lock_);
    FILE* to = s->number == 1 ? original : e->json_ ? e->out() : original;
    bool ascii = true;
    for (unsigned char c : text) ascii = ascii && c < 0x80;
    const int gbk = utf8_Valid(text) ? 0 : 1;  // the library's bytes, not converted above
    if (ascii || e->json_ || text_WriteToConsole(to, text.data(), text.size(), gbk) != 1)
        writeLocked(to, text);
}
