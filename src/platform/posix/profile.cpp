// One string from an INI file, read by our own reader with the rules of
// GetPrivateProfileStringA (platform/common/profile_reader.cpp).
#include "platform/profile.h"

#include <stdio.h>
#include <string.h>

#include <string>

#include "platform/file.h"

namespace {

size_t copyOut(const char* value, size_t n, char* out, size_t capacity) {
    if (out == nullptr || capacity == 0) return 0;
    if (n > capacity - 1) n = capacity - 1;
    memcpy(out, value, n);
    out[n] = '\0';
    return n;
}

// Reads the file, saying on standard error why a file that is there was not read whole.
bool readFile(const char* path, std::string* text) {
    int truncated = 0, type = 0;
    int r = profile_ReadText(path, text, &truncated, &type);
    if (r == PROFILE_READ_NOT_REGULAR) {
        fprintf(stderr, "warning: [%s] is %s, not a regular file: not read\n", path,
                file_TypeName(type));
        fflush(stderr);
    }
    if (r == PROFILE_READ_OK && truncated) {
        fprintf(stderr,
                "warning: [%s] is larger than %lu bytes: only its first %lu bytes are read\n", path,
                static_cast<unsigned long>(PROFILE_READ_MAX),
                static_cast<unsigned long>(PROFILE_READ_MAX));
        fflush(stderr);
    }
    return r == PROFILE_READ_OK;
}

}  // namespace

size_t profile_GetString(const char* section, const char* key, const char* defaultValue, char* out,
                         size_t capacity, const char* path) {
    const char* fallback = defaultValue ? defaultValue : "";
    std::string text;
    if (path == nullptr || section == nullptr || key == nullptr || !readFile(path, &text))
        return copyOut(fallback, strlen(fallback), out, capacity);
    ProfileEntry entry = profile_Lookup(text, section, key);
    if (!entry.found) return copyOut(fallback, strlen(fallback), out, capacity);
    return copyOut(entry.value.data(), entry.value.size(), out, capacity);
}
