// Writes a session file line by line: numbers and seals each event (session_format.h).
#ifndef MODEMFLASH_SESSION_SESSION_WRITER_H
#define MODEMFLASH_SESSION_SESSION_WRITER_H

#include <stdint.h>

#include <string>

#include "session/session_file.h"
#include "session/session_format.h"

namespace session {

struct SessionHeader {
    std::string program;  // "modemflash 0.1.0"
    std::string command;  // "flash", "watch", ...
    std::string started;  // UTC, "2026-01-02T03:04:05Z"
    double scale = 1;     // the time scale in force
    bool wholePayload = false;
};

class SessionWriter {
  public:
    // Creates the file and writes line 1 (not yet flushed). False with a reason.
    bool open(const std::string& path, const SessionHeader& header, std::string* error);
    // Adds one event: t microseconds since the start, kind ev, and the fields of `fields`
    // (an object) after them. Nothing reaches the file before flush().
    void add(int64_t t, const char* ev, const Json& fields);
    // The same with a field "hex" of bytes (written as they are: hex needs no escaping, and
    // a frame kept whole is 32 KiB of it).
    void addWithHex(int64_t t, const char* ev, const Json& fields, const void* data, size_t count);
    bool flush() { return out_.flush(); }
    // Adds the end line and closes. False when anything could not be written.
    bool close(int64_t t, bool interrupted);
    bool isOpen() const { return out_.isOpen(); }
    int64_t lines() const { return next_ - 1; }

  private:
    void addLine(Json& line, const void* hexData = nullptr, size_t hexCount = 0);
    SessionOutput out_;
    int64_t next_ = 1;
    std::string crc_;  // the previous line's seal
};

}  // namespace session

#endif
