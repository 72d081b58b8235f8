// Making a folder with the folders above it, through file_MakeDir (the system's own rules for
// a narrow path on each platform).
#include <errno.h>
#include <string.h>

#include <string>

#include "platform/file.h"

size_t file_FolderLength(const char* path) {
    if (path == nullptr) return 0;
    size_t cut = std::string(path).find_last_of("/\\");
    if (cut == std::string::npos) return 0;
    if (cut == 0) return 1;                    // "/"
    if (cut == 2 && path[1] == ':') return 3;  // "C:\\"
    return cut;
}

int file_MakeDirs(const char* path, char* failed, size_t capacity) {
    if (failed && capacity) failed[0] = '\0';
    if (path == nullptr || *path == '\0') {
        errno = EINVAL;
        return 0;
    }
    const std::string whole = path;
    for (size_t i = 1; i <= whole.size(); ++i) {
        if (i < whole.size() && whole[i] != '/' && whole[i] != '\\') continue;
        std::string part = whole.substr(0, i);
        // "C:" and a doubled separator name no folder to make.
        if (part.back() == ':' || part.back() == '/' || part.back() == '\\') continue;
        if (file_Type(part.c_str(), nullptr) == FILE_TYPE_DIRECTORY) continue;
        if (!file_MakeDir(part.c_str())) {
            int cause = errno;
            if (failed && capacity) {
                strncpy(failed, part.c_str(), capacity - 1);
                failed[capacity - 1] = '\0';
            }
            errno = cause ? cause : EEXIST;
            return 0;
        }
    }
    return 1;
}
