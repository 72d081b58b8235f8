// The program's one way of writing JSON: nlohmann-json values, each written as one line.
//
// Objects are nlohmann::ordered_json, so that their keys come out in the order they were set
// ("type" first, as every line of the program's JSON has it). Texts go in as the bytes they
// are; the line has them as UTF-8: valid UTF-8 as it stands (nothing escaped beyond what JSON
// needs: quotes, backslashes, control characters), and every part that is not valid UTF-8 as
// U+FFFD, the replacement character (utf8_Repaired in utf8.h does the same to plain text).
//
//   JsonObject line = {{"type", "log"}, {"text", text}};
//   puts(json_Line(line).c_str());
#ifndef MODEMFLASH_UTIL_JSON_LINE_H
#define MODEMFLASH_UTIL_JSON_LINE_H

#include <nlohmann/json.hpp>
#include <string>

using JsonObject = nlohmann::ordered_json;

// The value as one line of JSON, without a line end.
std::string json_Line(const nlohmann::ordered_json& value);
std::string json_Line(const nlohmann::json& value);

// A number the history keeps as -1 when it is not known: the number, or null.
inline nlohmann::ordered_json json_NumberOrNull(int64_t value) {
    return value < 0 ? nlohmann::ordered_json(nullptr) : nlohmann::ordered_json(value);
}

#endif
