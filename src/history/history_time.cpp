#include "history/history_time.h"

#include <stdio.h>

#include <chrono>

namespace {

// Days since 1970-01-01 of a proleptic Gregorian date, and back (H. Hinnant's algorithms).
int64_t daysFromCivil(int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

struct Civil {
    int64_t year;
    unsigned month, day, hour, minute, second, milli;
};

Civil civilFromMs(int64_t ms) {
    int64_t days = ms >= 0 ? ms / 86400000 : -((-ms + 86399999) / 86400000);
    int64_t rest = ms - days * 86400000;
    int64_t z = days + 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    Civil c;
    c.day = doy - (153 * mp + 2) / 5 + 1;
    c.month = mp < 10 ? mp + 3 : mp - 9;
    c.year = static_cast<int64_t>(yoe) + era * 400 + (c.month <= 2);
    c.hour = static_cast<unsigned>(rest / 3600000);
    c.minute = static_cast<unsigned>(rest / 60000 % 60);
    c.second = static_cast<unsigned>(rest / 1000 % 60);
    c.milli = static_cast<unsigned>(rest % 1000);
    return c;
}

}  // namespace

int64_t history_NowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

std::string history_IsoTime(int64_t ms) {
    Civil c = civilFromMs(ms);
    char text[48];
    snprintf(text, sizeof text, "%04lld-%02u-%02uT%02u:%02u:%02u.%03uZ",
             static_cast<long long>(c.year), c.month, c.day, c.hour, c.minute, c.second, c.milli);
    return text;
}

std::string history_ShortTime(int64_t ms) {
    Civil c = civilFromMs(ms);
    char text[40];
    snprintf(text, sizeof text, "%04lld-%02u-%02u %02u:%02u:%02u", static_cast<long long>(c.year),
             c.month, c.day, c.hour, c.minute, c.second);
    return text;
}

std::string history_FileStamp(int64_t ms) {
    Civil c = civilFromMs(ms);
    char text[40];
    snprintf(text, sizeof text, "%04lld%02u%02uT%02u%02u%02uZ", static_cast<long long>(c.year),
             c.month, c.day, c.hour, c.minute, c.second);
    return text;
}

std::string history_Duration(int64_t ms) {
    char text[40];
    if (ms < 0) return "";
    if (ms < 60000)
        snprintf(text, sizeof text, "%.1f s", static_cast<double>(ms) / 1000.0);
    else if (ms < 3600000)
        snprintf(text, sizeof text, "%lld min %02lld s", static_cast<long long>(ms / 60000),
                 static_cast<long long>(ms / 1000 % 60));
    else
        snprintf(text, sizeof text, "%lld h %02lld min", static_cast<long long>(ms / 3600000),
                 static_cast<long long>(ms / 60000 % 60));
    return text;
}

bool history_ParseSince(const std::string& text, int64_t nowMs, int64_t* ms) {
    long long count = 0;
    char unit = 0, extra = 0;
    if (sscanf(text.c_str(), "%lld%c%c", &count, &unit, &extra) == 2 && count >= 0 &&
        count < 1000000 && text.find('-') == std::string::npos) {
        const int64_t unitMs = unit == 's'   ? 1000
                               : unit == 'm' ? 60000
                               : unit == 'h' ? 3600000
                               : unit == 'd' ? 86400000
                                             : 0;
        if (unitMs == 0) return false;
        *ms = nowMs - count * unitMs;
        return true;
    }
    int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0, used = 0;
    const char* p = text.c_str();
    if (sscanf(p, "%4d-%2d-%2d%n", &y, &mo, &d, &used) != 3) return false;
    p += used;
    if (*p == 'T' || *p == ' ') {
        int n = sscanf(p + 1, "%2d:%2d%n", &h, &mi, &used);
        if (n != 2) return false;
        p += 1 + used;
        if (*p == ':') {
            if (sscanf(p + 1, "%2d%n", &s, &used) != 1) return false;
            p += 1 + used;
        }
    }
    if (*p == 'Z') ++p;
    if (*p != '\0') return false;
    if (y < 1970 || mo < 1 || mo > 12 || d < 1 || d > 31 || h > 23 || mi > 59 || s > 59)
        return false;
    int64_t days = daysFromCivil(y, static_cast<unsigned>(mo), static_cast<unsigned>(d));
    // A day the month does not have (2024-02-30) comes back as another date.
    Civil back = civilFromMs(days * 86400000);
    if (back.year != y || back.month != static_cast<unsigned>(mo) ||
        back.day != static_cast<unsigned>(d))
        return false;
    *ms = ((days * 24 + h) * 60 + mi) * 60000 + static_cast<int64_t>(s) * 1000;
    return true;
}
