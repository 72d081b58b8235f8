// Profile service: one string from an INI file, as GetPrivateProfileStringA reads it.
//
// Section and key names match without regard to case; the value is the text after '=',
// with surrounding blanks removed and one pair of surrounding quotes taken off. When the
// file, section or key is missing, the default is returned.
#ifndef MODEMFLASH_PLATFORM_PROFILE_H
#define MODEMFLASH_PLATFORM_PROFILE_H

#include <stddef.h>

// Copies at most capacity - 1 characters into out, always NUL-terminated, and returns the
// number of characters copied. path uses the platform's separators (a '\' is accepted as a
// separator on POSIX too).
size_t profile_GetString(const char* section, const char* key, const char* defaultValue, char* out,
                         size_t capacity, const char* path);

#endif
