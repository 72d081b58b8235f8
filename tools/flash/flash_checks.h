// The flash command's checks of its own options and of the firmware folder, made before the
// library is loaded and before any port is opened.
#ifndef MODEMFLASH_TOOLS_FLASH_CHECKS_H
#define MODEMFLASH_TOOLS_FLASH_CHECKS_H

#include <string>

#include "cli/flash/preflight.h"
#include "util/json_line.h"

class EngineLines;

namespace flashcheck {

// The time scale to use: given (from --time-scale, when given is true), or the environment's
// MODEMFLASH_TIME_SCALE. Both flash and the station commands (watch, serve) take one rule: a
// given value must be a number from 1 to 1000000, as the library takes it (false with the
// reason in *why); a value in the environment that is not is ignored, as the library ignores
// it, and scaleNotice says so. "" in *scale when neither gives one.
bool timeScale(const std::string& value, bool given, std::string* scale, std::string* why);

// The opening line about the time scale in force (scale as timeScale gave it, else the
// environment's): "time scale 100 in force: ...", or that a value is ignored; "" at real speed.
std::string scaleNotice(const std::string& scale);

// A --log directory for one log file per modem: made when missing (its folder must exist), and
// one this user can write files in. False with the reason in *why.
bool logDirectory(const std::string& dir, std::string* why);

// A --log file the library can append to: not a directory, FIFO or socket, in a folder that
// exists. False with the reason in *why.
bool logFile(const std::string& path, std::string* why);

// One note of the folder check as a JSON object: {"type":"check","level":...,"file":...,
// "text":...}.
JsonObject checkObject(const preflight::Note& note);

// Shows the folder check's notes: JSON objects on standard output with --json, else what was
// read on standard output and warnings and problems on standard error.
void show(const preflight::Report& report, bool json, EngineLines* lines);

}  // namespace flashcheck

#endif
