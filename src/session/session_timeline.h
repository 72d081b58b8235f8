// A session as a person reads it: one entry per event, in order, with its time, its direction
// and a short text (a command's text, a frame summed up, a port event), and the pauses where
// nothing passed for a second or more. `modemflash replay` prints it.
#ifndef MODEMFLASH_SESSION_SESSION_TIMELINE_H
#define MODEMFLASH_SESSION_SESSION_TIMELINE_H

#include <string>
#include <vector>

#include "session/session_reader.h"

namespace session {

struct TimelineEntry {
    double seconds = 0;  // on the scaled clock since the session began
    std::string dir;     // "host" (to the modem), "modem" (to the host), "port", "info", "pause"
    std::string kind;    // the event's kind ("write", "frame", "open", ...), or "pause"
    std::string text;
    Json event;  // the session's event itself (null for a pause)
};

std::vector<TimelineEntry> session_Timeline(const Session& s);
// Line 1 in words: who recorded it, when, at which time scale, how payloads are kept.
std::string session_Describe(const Session& s);
// Bytes as a person reads them: printable text in quotes with \r \n \t escaped, or hex.
std::string session_ShowBytes(const std::string& bytes);

}  // namespace session

#endif
