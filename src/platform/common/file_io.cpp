// Reads and writes of open files, through the file fault seams.
#include <errno.h>

#include "platform/fault.h"
#include "platform/file.h"

size_t file_Read(void* buffer, size_t size, size_t count, FILE* file) {
    if (fault_Hit(FAULT_SEAM_FILE_READ)) {
        errno = EIO;
        return 0;
    }
    return fread(buffer, size, count, file);
}

size_t file_Write(const void* data, size_t size, size_t count, FILE* file) {
    if (fault_Hit(FAULT_SEAM_FILE_WRITE)) {
        errno = EIO;
        return 0;
    }
    return fwrite(data, size, count, file);
}
