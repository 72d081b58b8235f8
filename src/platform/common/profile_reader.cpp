// The INI reader (see profile.h): the rules of GetPrivateProfileStringA, on every system.
#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <strings.h>

#include "platform/file.h"
#include "platform/profile.h"

namespace {

bool isBlank(char c) {
    return c == ' ' || c == '\t';
}

// [b, e) without surrounding blanks.
void trim(const char*& b, const char*& e) {
    while (b < e && isBlank(*b)) ++b;
    while (e > b && isBlank(e[-1])) --e;
}

bool sameName(const char* b, const char* e, const char* name) {
    size_t n = strlen(name);
    return static_cast<size_t>(e - b) == n && strncasecmp(b, name, n) == 0;
}

}  // namespace

int profile_ReadText(const char* path, std::string* text, int* truncated, int* fileType) {
    text->clear();
    *truncated = 0;
    long long size = 0;
    *fileType = file_Type(path, &size);
    if (*fileType == FILE_TYPE_MISSING) return PROFILE_READ_MISSING;
    if (*fileType != FILE_TYPE_REGULAR) return PROFILE_READ_NOT_REGULAR;
    FILE* f = file_Open(path, "rb");
    if (f == nullptr) return PROFILE_READ_UNREADABLE;
    text->resize(PROFILE_READ_MAX + 1);
    size_t got = fread(&(*text)[0], 1, text->size(), f);
    int e = errno;
    fclose(f);
    errno = e;
    if (got > PROFILE_READ_MAX) {
        *truncated = 1;
        got = PROFILE_READ_MAX;
    }
    text->resize(got);
    return PROFILE_READ_OK;
}

ProfileEntry profile_Lookup(const std::string& text, const char* section, const char* key) {
    ProfileEntry entry;
    if (section == nullptr || key == nullptr) return entry;
    const char* p = text.data();
    const char* end = p + text.size();
    if (end - p >= 3 && memcmp(p, "\xEF\xBB\xBF", 3) == 0) p += 3;
    bool inSection = false;
    for (int line = 1; p < end; ++line) {
        const char* b = p;
        while (p < end && *p != '\n' && *p != '\r') ++p;
        const char* e = p;
        if (p < end && *p == '\r') {
            ++p;
            if (p < end && *p == '\n') ++p;
        } else if (p < end) {
            ++p;
        }
        trim(b, e);
        if (b == e || *b == ';') continue;
        if (*b == '[') {
            const char* close =
                static_cast<const char*>(memchr(b, ']', static_cast<size_t>(e - b)));
            if (close == nullptr) continue;
            const char* nb = b + 1;
            const char* ne = close;
            trim(nb, ne);
            inSection = sameName(nb, ne, section);
            if (inSection) entry.sectionLines.push_back(line);
            continue;
        }
        if (!inSection || entry.found) continue;
        const char* eq = static_cast<const char*>(memchr(b, '=', static_cast<size_t>(e - b)));
        if (eq == nullptr) continue;
        const char* kb = b;
        const char* ke = eq;
        trim(kb, ke);
        if (!sameName(kb, ke, key)) continue;
        const char* vb = eq + 1;
        const char* ve = e;
        trim(vb, ve);
        entry.found = true;
        entry.line = line;
        entry.raw.assign(vb, ve);
        size_t vn = static_cast<size_t>(ve - vb);
        if (vn >= 2 && ((vb[0] == '"' && ve[-1] == '"') || (vb[0] == '\'' && ve[-1] == '\''))) {
            ++vb;
            --ve;
        }
        entry.value.assign(vb, ve);
    }
    return entry;
}
