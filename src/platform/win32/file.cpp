#include "platform/file.h"

#include <errno.h>
#include <io.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <windows.h>

#include "platform/fault.h"

// Windows takes '\' and '/' alike as separators, so composed paths open as they are.
FILE* file_Open(const char* path, const char* mode) {
    if (path == nullptr || mode == nullptr) {
        errno = EINVAL;
        return nullptr;
    }
    if (fault_Hit(FAULT_SEAM_FILE_OPEN)) {
        errno = EIO;
        return nullptr;
    }
    return fopen(path, mode);
}

int file_MakeDir(const char* path) {
    if (path == nullptr || *path == '\0') return 0;
    if (CreateDirectoryA(path, nullptr)) return 1;
    DWORD attributes = GetFileAttributesA(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) ? 1 : 0;
}

int file_Absolute(const char* path, char* out, size_t capacity) {
    if (path == nullptr || out == nullptr || capacity == 0 || capacity > 0x7fffffff) return 0;
    DWORD n = GetFullPathNameA(path, static_cast<DWORD>(capacity), out, nullptr);
    return n > 0 && n < capacity ? 1 : 0;
}

int file_Type(const char* path, long long* size) {
    if (size) *size = 0;
    if (path == nullptr) {
        errno = EINVAL;
        return FILE_TYPE_MISSING;
    }
    struct _stat64 st;
    if (_stat64(path, &st) != 0) return FILE_TYPE_MISSING;
    if ((st.st_mode & _S_IFMT) == _S_IFREG) {
        if (size) *size = static_cast<long long>(st.st_size);
        return FILE_TYPE_REGULAR;
    }
    if ((st.st_mode & _S_IFMT) == _S_IFDIR) return FILE_TYPE_DIRECTORY;
    if ((st.st_mode & _S_IFMT) == _S_IFCHR) return FILE_TYPE_CHAR_DEVICE;
    if ((st.st_mode & _S_IFMT) == _S_IFIFO) return FILE_TYPE_FIFO;
    return FILE_TYPE_OTHER;
}

int file_CanCreateIn(const char* dir) {
    if (dir == nullptr) return 0;
    DWORD attributes = GetFileAttributesA(dir);
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        errno = ENOENT;
        return 0;
    }
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        errno = ENOTDIR;
        return 0;
    }
    return _access(dir, 2) == 0 ? 1 : 0;
}

// Windows keeps access lists, not owner, group and other: nothing to tell from here.
int file_OpenToOthers(const char*) {
    return -1;
}
