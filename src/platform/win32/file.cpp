#include "platform/file.h"

#include <errno.h>

// Windows takes '\' and '/' alike as separators, so composed paths open as they are.
FILE* file_Open(const char* path, const char* mode) {
    if (path == nullptr || mode == nullptr) {
        errno = EINVAL;
        return nullptr;
    }
    return fopen(path, mode);
}
