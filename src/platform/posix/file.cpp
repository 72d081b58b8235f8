#include "platform/file.h"

#include <errno.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "platform/fault.h"

namespace {

// The path with every '\' turned into '/'; false when it does not fit (errno set).
bool localPath(const char* path, char* local, size_t capacity) {
    if (path == nullptr) {
        errno = EINVAL;
        return false;
    }
    size_t n = strlen(path);
    if (n >= capacity) {
        errno = ENAMETOOLONG;
        return false;
    }
    for (size_t i = 0; i <= n; ++i) local[i] = path[i] == '\\' ? '/' : path[i];
    return true;
}

}  // namespace

FILE* file_Open(const char* path, const char* mode) {
    char local[4096];
    if (mode == nullptr) {
        errno = EINVAL;
        return nullptr;
    }
    if (!localPath(path, local, sizeof local)) return nullptr;
    if (fault_Hit(FAULT_SEAM_FILE_OPEN)) {
        errno = EIO;
        return nullptr;
    }
    return fopen(local, mode);
}

int file_Absolute(const char* path, char* out, size_t capacity) {
    if (path == nullptr || out == nullptr || capacity == 0) return 0;
    std::error_code ec;
    std::string whole = std::filesystem::absolute(path, ec).lexically_normal().string();
    if (ec || whole.size() >= capacity) return 0;
    memcpy(out, whole.c_str(), whole.size() + 1);
    return 1;
}

int file_MakeDir(const char* path) {
    if (path == nullptr || *path == '\0') return 0;
    if (mkdir(path, 0777) == 0) return 1;
    struct stat st;
    return errno == EEXIST && stat(path, &st) == 0 && S_ISDIR(st.st_mode) ? 1 : 0;
}

int file_Type(const char* path, long long* size) {
    if (size) *size = 0;
    char local[4096];
    if (!localPath(path, local, sizeof local)) return FILE_TYPE_MISSING;
    struct stat st;
    if (stat(local, &st) != 0) return FILE_TYPE_MISSING;
    if (S_ISREG(st.st_mode)) {
        if (size) *size = static_cast<long long>(st.st_size);
        return FILE_TYPE_REGULAR;
    }
    if (S_ISDIR(st.st_mode)) return FILE_TYPE_DIRECTORY;
    if (S_ISFIFO(st.st_mode)) return FILE_TYPE_FIFO;
    if (S_ISCHR(st.st_mode)) return FILE_TYPE_CHAR_DEVICE;
    if (S_ISBLK(st.st_mode)) return FILE_TYPE_BLOCK_DEVICE;
    if (S_ISSOCK(st.st_mode)) return FILE_TYPE_SOCKET;
    return FILE_TYPE_OTHER;
}

int file_CanCreateIn(const char* dir) {
    struct stat st;
    if (dir == nullptr || stat(dir, &st) != 0) return 0;
    if (!S_ISDIR(st.st_mode)) {
        errno = ENOTDIR;
        return 0;
    }
    return access(dir, W_OK | X_OK) == 0 ? 1 : 0;
}

int file_OpenToOthers(const char* path) {
    char local[4096];
    if (!localPath(path, local, sizeof local)) return -1;
    struct stat st;
    if (stat(local, &st) != 0) return -1;
    return (st.st_mode & (S_IROTH | S_IWOTH)) != 0 ? 1 : 0;
}
