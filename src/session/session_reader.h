// Reads a session file back, refusing one that is not whole and as it was written.
//
// A file is refused, with the line and what is wrong, when it is not a session (another
// format, or a newer version), when a line is not a sealed JSON object, when its seal does not
// match (edited by hand), when lines are missing, repeated or out of order, when time runs
// backwards, when an event is of a kind or shape this version does not write, and when it
// ends before its end line (cut short, or a recording that was interrupted). With
// allowPartial the last case, and a last line cut short, are accepted: the events up to the
// last whole line are returned and `interrupted` says so.
#ifndef MODEMFLASH_SESSION_SESSION_READER_H
#define MODEMFLASH_SESSION_SESSION_READER_H

#include <stdint.h>

#include <string>
#include <vector>

#include "session/session_file.h"
#include "session/session_format.h"

namespace session {

struct SessionProblem {
    int64_t line = 0;  // 1-based; 0 for the file as a whole
    std::string what;
    std::string text() const;  // "line 7: ..." or the text alone
};

struct Session {
    Json header;               // line 1
    std::vector<Json> events;  // lines 2 .. (the end line included when there is one)
    bool interrupted = false;  // no end line (allowPartial), or the end line says so
    std::string note;          // why it is partial, for the reader to show
    Compression compression = COMPRESSION_NONE;
    bool wholePayload() const;
    double scale() const;
};

struct ReadOptions {
    bool allowPartial = false;
    size_t maxBytes = kSessionTextMax;
};

// False with the problem when the session is refused.
bool readSession(const std::string& path, const ReadOptions& options, Session* out,
                 SessionProblem* problem);
bool parseSession(const SessionText& text, const ReadOptions& options, Session* out,
                  SessionProblem* problem);

}  // namespace session

#endif
