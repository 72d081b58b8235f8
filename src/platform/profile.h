// Profile service: one string from an INI file, as GetPrivateProfileStringA reads it.
//
// Section and key names match without regard to case; the value is the text after '=',
// with surrounding blanks removed and one pair of surrounding quotes taken off. When the
// file, section or key is missing, the default is returned.
#ifndef MODEMFLASH_PLATFORM_PROFILE_H
#define MODEMFLASH_PLATFORM_PROFILE_H

#include <stddef.h>

#include <string>
#include <vector>

// Copies at most capacity - 1 characters into out, always NUL-terminated, and returns the
// number of characters copied. path uses the platform's separators (a '\' is accepted as a
// separator on POSIX too).
size_t profile_GetString(const char* section, const char* key, const char* defaultValue, char* out,
                         size_t capacity, const char* path);

// The reader under profile_GetString (POSIX), for hosts that check a configuration as the
// library reads it and say what they found. The rules: names without regard to case, values
// trimmed of blanks, one pair of surrounding quotes removed, ';' lines are comments, lines
// end in CR LF, LF or a lone CR, a UTF-8 byte-order mark at the start is skipped, the first
// key of that name in any section of that name is taken. Only a regular file is read, at
// most PROFILE_READ_MAX bytes of it.
#define PROFILE_READ_MAX (1024 * 1024)

enum ProfileRead {
    PROFILE_READ_OK = 0,
    PROFILE_READ_MISSING,      // no such file
    PROFILE_READ_NOT_REGULAR,  // a directory, FIFO, device...: not read (fileType says which)
    PROFILE_READ_UNREADABLE    // it could not be opened (errno set)
};
// Reads the file into *text; *truncated is 1 when it is longer than PROFILE_READ_MAX (only
// that much is read). *fileType is its file_Type.
int profile_ReadText(const char* path, std::string* text, int* truncated, int* fileType);

struct ProfileEntry {
    bool found = false;             // the key is there
    int line = 0;                   // its line, from 1
    std::string raw;                // the text after '=', blanks removed
    std::string value;              // raw with one pair of surrounding quotes removed
    std::vector<int> sectionLines;  // the line of every header of the section
};
// Looks section / key up in text (as profile_ReadText read it).
ProfileEntry profile_Lookup(const std::string& text, const char* section, const char* key);

#endif
