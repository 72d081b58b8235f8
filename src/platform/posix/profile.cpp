// INI reading with the rules of GetPrivateProfileStringA: names without regard to case,
// values trimmed of blanks, one pair of surrounding quotes removed, ';' lines are comments.
//
// Only a regular file is read (a FIFO would block the open, a device may never end), and at
// most PROFILE_READ_MAX bytes of it. Lines end in CR LF, LF or a lone CR; a UTF-8 byte-order
// mark at the start is skipped. A line has no length limit of its own.
#include "platform/profile.h"

#include <stdio.h>
#include <string.h>
#include <strings.h>

#include <string>

#include "platform/file.h"

namespace {

const size_t PROFILE_READ_MAX = 1024 * 1024;

bool isBlank(char c) {
    return c == ' ' || c == '\t';
}

// The line [b, e) without surrounding blanks.
void trim(const char*& b, const char*& e) {
    while (b < e && isBlank(*b)) ++b;
    while (e > b && isBlank(e[-1])) --e;
}

bool sameName(const char* b, const char* e, const char* name) {
    size_t n = strlen(name);
    return static_cast<size_t>(e - b) == n && strncasecmp(b, name, n) == 0;
}

size_t copyOut(const char* value, size_t n, char* out, size_t capacity) {
    if (out == nullptr || capacity == 0) return 0;
    if (n > capacity - 1) n = capacity - 1;
    memcpy(out, value, n);
    out[n] = '\0';
    return n;
}

size_t copyOut(const char* value, char* out, size_t capacity) {
    return copyOut(value, strlen(value), out, capacity);
}

// Reads the whole file (at most PROFILE_READ_MAX bytes) into text. False when it is not a
// regular file that can be opened; says why on standard error when it exists.
bool readFile(const char* path, std::string* text) {
    long long size = 0;
    int kind = file_Type(path, &size);
    if (kind == FILE_TYPE_MISSING) return false;
    if (kind != FILE_TYPE_REGULAR) {
        fprintf(stderr, "warning: [%s] is %s, not a regular file: not read\n", path,
                file_TypeName(kind));
        fflush(stderr);
        return false;
    }
    FILE* f = file_Open(path, "rb");
    if (f == nullptr) return false;
    text->resize(PROFILE_READ_MAX + 1);
    size_t got = file_Read(&(*text)[0], 1, text->size(), f);
    fclose(f);
    if (got > PROFILE_READ_MAX) {
        fprintf(stderr,
                "warning: [%s] is larger than %lu bytes: only its first %lu bytes are read\n", path,
                static_cast<unsigned long>(PROFILE_READ_MAX),
                static_cast<unsigned long>(PROFILE_READ_MAX));
        fflush(stderr);
        got = PROFILE_READ_MAX;
    }
    text->resize(got);
    return true;
}

}  // namespace

size_t profile_GetString(const char* section, const char* key, const char* defaultValue, char* out,
                         size_t capacity, const char* path) {
    const char* fallback = defaultValue ? defaultValue : "";
    std::string text;
    if (path == nullptr || section == nullptr || key == nullptr || !readFile(path, &text))
        return copyOut(fallback, out, capacity);

    const char* p = text.data();
    const char* end = p + text.size();
    if (end - p >= 3 && memcmp(p, "\xEF\xBB\xBF", 3) == 0) p += 3;
    bool inSection = false;
    while (p < end) {
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
            continue;
        }
        if (!inSection) continue;
        const char* eq = static_cast<const char*>(memchr(b, '=', static_cast<size_t>(e - b)));
        if (eq == nullptr) continue;
        const char* kb = b;
        const char* ke = eq;
        trim(kb, ke);
        if (!sameName(kb, ke, key)) continue;
        const char* vb = eq + 1;
        const char* ve = e;
        trim(vb, ve);
        size_t vn = static_cast<size_t>(ve - vb);
        if (vn >= 2 && ((vb[0] == '"' && ve[-1] == '"') || (vb[0] == '\'' && ve[-1] == '\''))) {
            ++vb;
            --ve;
        }
        return copyOut(vb, static_cast<size_t>(ve - vb), out, capacity);
    }
    return copyOut(fallback, out, capacity);
}
