// The session file: everything that passed between a host and one modem during an update.
//
// One JSON object a line (text, readable by a person; compressed by the file's name, see
// session_file.h). Line 1 says what the file is:
//
//   {"n":1,"ev":"session","format":"modemflash-session","version":1,"program":"modemflash 0.1.0",
//    "started":"2026-01-02T03:04:05Z","scale":100,"payload":"sha256","crc":"1a2b3c4d"}
//
// Every later line is one event, with its number n (1, 2, 3 ... with no gap), its time t in
// microseconds of the scaled clock since the session began (never decreasing), its kind ev and
// the kind's fields; see kEventKinds in session_format.cpp and the README for each kind.
// Every line ends with "crc", the CRC-32 (as zlib computes it) of the previous line's crc text
// followed by this line's text up to the comma before "crc": a line edited, lost, repeated or
// moved breaks the chain there. The last line is {"ev":"end",...}; a file without it was cut
// short or its recording interrupted.
#ifndef MODEMFLASH_SESSION_SESSION_FORMAT_H
#define MODEMFLASH_SESSION_SESSION_FORMAT_H

#include <stddef.h>
#include <stdint.h>

#include <nlohmann/json.hpp>
#include <string>

namespace session {

using Json = nlohmann::ordered_json;

extern const char* const FORMAT_NAME;  // "modemflash-session"
const int FORMAT_VERSION = 1;

// The payload field of line 1: data-frame payloads as length and SHA-256, or whole.
extern const char* const PAYLOAD_HASHED;  // "sha256"
extern const char* const PAYLOAD_WHOLE;   // "whole"

// CRC-32 (the polynomial and conditioning zlib and gzip use), continuing from crc.
uint32_t crc32Update(uint32_t crc, const void* data, size_t count);

// The seal of a line: its text (without crc) after the previous line's crc text.
std::string sealOf(const std::string& previousCrc, const std::string& body);

// Bytes as the session keeps them: "text" when every byte is printable ASCII, CR, LF or tab,
// otherwise lower-case "hex". Adds the field to e.
void putBytes(Json& e, const void* data, size_t count);
// The bytes of an event written by putBytes; false when neither field is valid.
bool getBytes(const Json& e, std::string* out);
std::string hexOf(const void* data, size_t count);
bool unhex(const std::string& hex, std::string* out);

// True for the kinds of event this version writes.
bool knownEventKind(const std::string& ev);

}  // namespace session

#endif
