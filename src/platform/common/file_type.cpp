// What a path names in the two grains the callers ask for, and words for it, the same on
// every platform (file_Type is each system's).
#include <errno.h>

#include "platform/file.h"

FileKind file_Kind(const char* path) {
    errno = 0;
    switch (file_Type(path, nullptr)) {
        case FILE_TYPE_REGULAR:
            return FILE_KIND_REGULAR;
        case FILE_TYPE_MISSING:
            return errno == ENOENT || errno == ENOTDIR ? FILE_KIND_MISSING : FILE_KIND_UNKNOWN;
        default:
            return FILE_KIND_OTHER;
    }
}

const char* file_TypeName(int kind) {
    switch (kind) {
        case FILE_TYPE_MISSING:
            return "missing";
        case FILE_TYPE_REGULAR:
            return "a regular file";
        case FILE_TYPE_DIRECTORY:
            return "a directory";
        case FILE_TYPE_FIFO:
            return "a FIFO (named pipe)";
        case FILE_TYPE_CHAR_DEVICE:
            return "a character device";
        case FILE_TYPE_BLOCK_DEVICE:
            return "a block device";
        case FILE_TYPE_SOCKET:
            return "a socket";
        default:
            return "not a regular file";
    }
}
