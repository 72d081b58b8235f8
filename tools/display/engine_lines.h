// How the command-line host shows what the library writes on the process's standard streams.
//
// The library prints its information lines on standard output and its error lines on
// standard error itself, some of them Chinese in GBK, and one names a rejection log only as
// "log.txt". With --json, standard output carries JSON objects only: the library's lines of
// both streams become {"type":"log","stream":...,"text":...} objects there, their text in
// UTF-8. Otherwise, in a UTF-8 locale (terminal or not), every line the host writes is valid
// UTF-8: the library's GBK lines are shown in UTF-8, and any other byte that is not UTF-8 as
// U+FFFD (util/utf8.h); in another locale the bytes go out as the library wrote them. On
// Windows a console in code page 65001 counts as a UTF-8 locale, and there such a line is
// written as the console's own characters (WriteConsoleW); a console in code page 936 shows
// the library's GBK bytes as they are. The rejection log is named by its real path.
#ifndef MODEMFLASH_TOOLS_ENGINE_LINES_H
#define MODEMFLASH_TOOLS_ENGINE_LINES_H

#include <stddef.h>
#include <stdio.h>

#include <string>

#include "util/json_line.h"

struct StreamDivert;
typedef struct PlatformLock PlatformLock;

class EngineLines {
  public:
    EngineLines();
    ~EngineLines();
    EngineLines(const EngineLines&) = delete;
    EngineLines& operator=(const EngineLines&) = delete;

    enum Streams { STANDARD_OUTPUT = 1, STANDARD_ERROR = 2, BOTH = 3 };
    // Diverts the streams that need reworking (see above), of those asked for. rejectionLog
    // is the absolute path of the library's rejection log ("" unknown). Standard output is
    // left alone on a terminal outside --json: the progress bar redraws its line there, and
    // the library writes only its ASCII information lines on it.
    void start(bool json, const std::string& rejectionLog, Streams streams = BOTH);
    // Puts the streams back once every line has been shown. Any thread may call it, also while
    // others write.
    void stop();

    // Writes one line of the host's own standard output (with its '\n'), whole.
    void write(const std::string& line);
    // Writes one JSON object as a line of standard output, whole.
    void writeJson(const JsonObject& object);

  private:
    struct Stream;
    static void onLine(void* stream, FILE* original, const char* line, size_t length);
    static void writeLocked(FILE* f, const std::string& text);
    FILE* out();  // lock held: where the host's own standard output goes

    bool json_ = false;
    bool utf8_ = false;
    std::string rejectionLog_;
    Stream* streams_[2];  // standard output, standard error
    // Guards writes to the host's standard output: the host's thread and the diversions'
    // threads all write there while the streams are diverted.
    PlatformLock* lock_;
};

// Whether the user's locale is UTF-8: then every line the host writes is valid UTF-8.
bool cli_Utf8Output();

// One of the library's texts for a reader: valid UTF-8 as it stands, GBK (the library's
// Chinese lines) in UTF-8, and anything else with its bytes that are not UTF-8 as U+FFFD.
std::string cli_LibraryText(const std::string& bytes);

// A text of the host's own (a name, a path, a modem's answer) for standard output or error: in
// a UTF-8 locale with its bytes that are not UTF-8 as U+FFFD, else as it is.
std::string cli_OutputText(const std::string& bytes);

// An entry of the engine's --log files as the host writes it (see log_SetFileText): as UTF-8
// like every other line (cli_LibraryText); set in a UTF-8 locale unless --raw-log asks for the
// library's bytes as they are (cli_Utf8Output).
size_t cli_LogFileText(const char* text, size_t length, char* out, size_t capacity);

#endif
