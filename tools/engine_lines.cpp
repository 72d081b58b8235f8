// The library's stream lines reworked for the user: JSON objects, UTF-8, the real log path.
#include "engine_lines.h"

#include <string.h>

#include <vector>

#include "platform/lock.h"
#include "platform/stream.h"
#include "platform/text.h"

namespace {

const char kSeeLog[] = "See log.txt.";

bool hasHighBytes(const char* s, size_t n) {
    for (size_t i = 0; i < n; ++i)
        if (static_cast<unsigned char>(s[i]) >= 0x80) return true;
    return false;
}

}  // namespace

std::string jsonString(const char* text, size_t length) {
    std::string out = "\"";
    for (size_t i = 0; i < length; ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        char buf[8];
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c >= 0x7f) {
            snprintf(buf, sizeof buf, "\\u%04x", c);
            out += buf;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

std::string jsonString(const char* text) {
    return jsonString(text, strlen(text));
}

const char* italianMeaning(const char* text) {
    if (strcmp(text, "Recupero dati......") == 0)
        return "recovering: bringing the modem back to modem mode";
    if (strcmp(text, "Recupero dati completato!") == 0)
        return "recovery complete: the modem is back in modem mode";
    if (strcmp(text, "Recupero dati fallito, riavviare il modem!") == 0)
        return "recovery failed: restart the modem";
    if (strncmp(text, "Tempo di aggiomamento previsto:", 31) == 0)
        return "expected update time (a fixed estimate)";
    return nullptr;
}

EngineLines::EngineLines() : lock_(lock_Create()) {}

EngineLines::~EngineLines() {
    stop();
    lock_Destroy(lock_);
}

void EngineLines::start(bool json, const std::string& rejectionLog) {
    json_ = json;
    rejectionLog_ = rejectionLog;
    utf8_ = !json && text_TerminalIsUtf8(2);
    divert_ = stream_Divert(json ? 1 : 2, &EngineLines::onLine, this);
}

void EngineLines::stop() {
    StreamDivert* d = divert_;
    if (d == nullptr) return;
    stream_Restore(d);  // the last lines pass through onLine before it returns
    divert_ = nullptr;
}

FILE* EngineLines::out() {
    if (json_ && divert_) return stream_Original(divert_);
    return stdout;
}

void EngineLines::write(const std::string& line) {
    lock_Acquire(lock_);
    FILE* f = out();
    fwrite(line.data(), 1, line.size(), f);
    fflush(f);
    lock_Release(lock_);
}

void EngineLines::onLine(void* self, FILE* f, const char* line, size_t length) {
    EngineLines* e = static_cast<EngineLines*>(self);
    std::string text(line, length);
    if (e->json_) {
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
        if (text.empty()) return;  // the library's spacing lines carry nothing
        std::string object = "{\"type\":\"log\",\"stream\":\"stdout\",\"text\":" +
                             jsonString(text.data(), text.size()) + "}\n";
        lock_Acquire(e->lock_);
        fwrite(object.data(), 1, object.size(), f);
        fflush(f);
        lock_Release(e->lock_);
        return;
    }
    size_t at = text.find(kSeeLog);
    if (at != std::string::npos && !e->rejectionLog_.empty())
        text.insert(at + strlen(kSeeLog), " (the rejection log is " + e->rejectionLog_ + ")");
    // A Windows console shows the GBK lines as its own characters, whatever its code page.
    if (hasHighBytes(text.data(), text.size()) &&
        text_WriteToConsole(f, text.data(), text.size(), 1) == 1)
        return;
    if (e->utf8_ && hasHighBytes(text.data(), text.size())) {
        std::vector<char> utf8(text.size() * 3 + 1);
        long n = text_GbkToUtf8(text.data(), text.size(), utf8.data(), utf8.size());
        if (n >= 0) text.assign(utf8.data(), static_cast<size_t>(n));
    }
    fwrite(text.data(), 1, text.size(), f);
    fflush(f);
}
