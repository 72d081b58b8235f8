// INI reading with the rules of GetPrivateProfileStringA: names without regard to case,
// values trimmed of blanks, one pair of surrounding quotes removed, ';' lines are comments.
#include "platform/profile.h"

#include <ctype.h>
#include <stdio.h>
#include <string.h>
#include <strings.h>

#include "platform/file.h"

namespace {

char* trim(char* s) {
    while (*s == ' ' || *s == '\t') ++s;
    size_t n = strlen(s);
    while (n > 0 && (s[n - 1] == ' ' || s[n - 1] == '\t' || s[n - 1] == '\r' || s[n - 1] == '\n'))
        s[--n] = '\0';
    return s;
}

size_t copyOut(const char* value, char* out, size_t capacity) {
    if (out == nullptr || capacity == 0) return 0;
    size_t n = strlen(value);
    if (n > capacity - 1) n = capacity - 1;
    memcpy(out, value, n);
    out[n] = '\0';
    return n;
}

}  // namespace

size_t profile_GetString(const char* section, const char* key, const char* defaultValue, char* out,
                         size_t capacity, const char* path) {
    const char* fallback = defaultValue ? defaultValue : "";
    FILE* f = (path && section && key) ? file_Open(path, "rb") : nullptr;
    if (f == nullptr) return copyOut(fallback, out, capacity);

    char line[4096];
    bool inSection = false;
    bool found = false;
    char value[4096];
    while (!found && fgets(line, sizeof line, f) != nullptr) {
        size_t len = strlen(line);
        if (len == sizeof line - 1 && line[len - 1] != '\n') {
            // An overlong line: skip its rest; it cannot be one we look for.
            int c;
            while ((c = fgetc(f)) != EOF && c != '\n') {
            }
            continue;
        }
        char* s = trim(line);
        if (*s == '\0' || *s == ';') continue;
        if (*s == '[') {
            char* close = strchr(s, ']');
            if (close == nullptr) continue;
            *close = '\0';
            inSection = strcasecmp(trim(s + 1), section) == 0;
            continue;
        }
        if (!inSection) continue;
        char* eq = strchr(s, '=');
        if (eq == nullptr) continue;
        *eq = '\0';
        if (strcasecmp(trim(s), key) != 0) continue;
        char* v = trim(eq + 1);
        size_t vn = strlen(v);
        if (vn >= 2 && ((v[0] == '"' && v[vn - 1] == '"') || (v[0] == '\'' && v[vn - 1] == '\''))) {
            v[vn - 1] = '\0';
            ++v;
        }
        snprintf(value, sizeof value, "%s", v);
        found = true;
    }
    fclose(f);
    return copyOut(found ? value : fallback, out, capacity);
}
