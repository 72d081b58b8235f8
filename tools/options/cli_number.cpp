#include "cli/options/cli_number.h"

namespace cli {

bool parseWhole(const std::string& name, const std::string& text, int64_t min, int64_t max,
                int64_t* value, std::string* why) {
    const std::string bounds =
        "a whole number from " + std::to_string(min) + " to " + std::to_string(max);
    size_t digits = text.size() > 1 && (text[0] == '-' || text[0] == '+') ? 1 : 0;
    if (text.size() == digits ||
        text.find_first_not_of("0123456789", digits) != std::string::npos) {
        *why = name + " takes " + bounds + ", not '" + text + "'";
        return false;
    }
    // Digit by digit, so that a number of any length is told out of range, never wrapped.
    bool negative = text[0] == '-';
    int64_t v = 0;
    bool inRange = true;
    for (size_t i = digits; i < text.size() && inRange; ++i) {
        int d = text[i] - '0';
        if (negative ? v < (INT64_MIN + d) / 10 : v > (INT64_MAX - d) / 10)
            inRange = false;
        else
            v = v * 10 + (negative ? -d : d);
    }
    if (!inRange || v < min || v > max) {
        *why = name + " " + text + " is out of range: give " + bounds;
        return false;
    }
    *value = v;
    return true;
}

}  // namespace cli
