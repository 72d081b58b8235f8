#include "platform/file.h"

#include <errno.h>
#include <string.h>

FILE* file_Open(const char* path, const char* mode) {
    if (path == nullptr || mode == nullptr) {
        errno = EINVAL;
        return nullptr;
    }
    char local[4096];
    size_t n = strlen(path);
    if (n >= sizeof local) {
        errno = ENAMETOOLONG;
        return nullptr;
    }
    for (size_t i = 0; i <= n; ++i) local[i] = path[i] == '\\' ? '/' : path[i];
    return fopen(local, mode);
}
