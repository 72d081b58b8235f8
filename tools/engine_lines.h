// How the flash command shows what the library writes on the process's standard streams.
//
// The library prints its information lines on standard output and its error lines on
// standard error itself, some of them Chinese in GBK, and one names a rejection log only as
// "log.txt". With --json, standard output must carry JSON objects only: the library's lines
// there become {"type":"log",...} objects. Otherwise the library's error lines are shown in
// UTF-8 when standard error is a UTF-8 terminal, as the console's own characters on a Windows
// console (whatever its code page: UTF-8, 936 or another), and the rejection log is named by
// its real path. The library's bytes themselves, its log file and the JSON texts stay as
// written.
#ifndef MODEMFLASH_TOOLS_ENGINE_LINES_H
#define MODEMFLASH_TOOLS_ENGINE_LINES_H

#include <stdio.h>

#include <string>

struct StreamDivert;
typedef struct PlatformLock PlatformLock;

class EngineLines {
  public:
    EngineLines();
    ~EngineLines();
    EngineLines(const EngineLines&) = delete;
    EngineLines& operator=(const EngineLines&) = delete;

    // Diverts the stream that needs reworking (see above). rejectionLog is the absolute path
    // of the library's rejection log.
    void start(bool json, const std::string& rejectionLog);
    // Puts the streams back once every line has been shown.
    void stop();

    // Writes one line of the host's own standard output (with its '\n'), whole.
    void write(const std::string& line);

  private:
    static void onLine(void* self, FILE* original, const char* line, size_t length);
    FILE* out();

    bool json_ = false;
    bool utf8_ = false;
    std::string rejectionLog_;
    StreamDivert* divert_ = nullptr;
    // Guards writes to the host's standard output: the host's thread and the diversion's
    // thread both write there while standard output is diverted.
    PlatformLock* lock_;
};

// JSON string of the library's bytes: bytes outside printable ASCII as \u00XX.
std::string jsonString(const char* text, size_t length);
std::string jsonString(const char* text);

// The meaning in English of one of the library's Italian texts, or null.
const char* italianMeaning(const char* text);

#endif
