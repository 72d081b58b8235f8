// Words for the kinds of file, the same on every platform.
#include "platform/file.h"

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
