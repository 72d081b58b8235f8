// Whole numbers on the command line, read with messages that name the option, the value as
// given and the real bounds.
#ifndef MODEMFLASH_TOOLS_OPTIONS_CLI_NUMBER_H
#define MODEMFLASH_TOOLS_OPTIONS_CLI_NUMBER_H

#include <stdint.h>

#include <string>

namespace cli {

// Reads text as a whole decimal number from min to max. False with *why, a sentence that
// begins with name ("--limit", "history show"): "takes a whole number from MIN to MAX, not
// 'abc'" for anything but digits, "... is out of range ..." for a number outside the bounds.
bool parseWhole(const std::string& name, const std::string& text, int64_t min, int64_t max,
                int64_t* value, std::string* why);

}  // namespace cli

#endif
