// File service: opening files by the paths the library composes.
//
// The library composes paths as folder "\" name, as hosts on Windows expect. On POSIX a '\'
// in a path is taken as a directory separator, so the same composed paths work there.
#ifndef MODEMFLASH_PLATFORM_FILE_H
#define MODEMFLASH_PLATFORM_FILE_H

#include <stdio.h>

// fopen with the platform's path rules; null on failure (errno set).
FILE* file_Open(const char* path, const char* mode);

// fread and fwrite through the file fault seams (platform/fault.h): a call that a test makes
// fail reads or writes nothing (0, errno EIO), as a failing device would.
size_t file_Read(void* buffer, size_t size, size_t count, FILE* file);
size_t file_Write(const void* data, size_t size, size_t count, FILE* file);

// What a path names, with the same path rules. A directory or a device opens with "rb" on
// some systems and reports a size, so whoever wants a file's contents asks first.
enum FileKind {
    FILE_KIND_MISSING = 0,  // nothing by that name
    FILE_KIND_REGULAR = 1,  // a regular file (or a link to one)
    FILE_KIND_OTHER = 2,    // a directory, a device, a pipe...
    FILE_KIND_UNKNOWN = 3   // it could not be examined (no permission on a directory above...)
};
enum FileKind file_Kind(const char* path);

// Creates a directory (its parent must exist). 1 when it was made or already exists.
int file_MakeDir(const char* path);

// Creates a directory and every missing one above it ('/' and '\' both separate). 1 when it
// exists afterwards; 0 with errno set, and the first folder that could not be made in
// *failed (when not null) .
int file_MakeDirs(const char* path, char* failed, size_t capacity);

// The length of path's folder part ('/' and '\\' both separate): 0 for a bare name, the
// separator kept for a root ("/", "C:\\"). path's folder is then the first that many bytes.
size_t file_FolderLength(const char* path);

// path made absolute against the current folder, "." and ".." taken out, in the system's own
// encoding (the ANSI code page on Windows, which std::filesystem does not read narrow paths
// in). 0 when it does not fit in out or the current folder cannot be read.
int file_Absolute(const char* path, char* out, size_t capacity);

// What a path names, through symbolic links, told apart finely enough to say it to a user. Opening
// anything but a regular file for reading may block for ever (a FIFO), never end (/dev/zero) or
// mean nothing (a directory), so readers ask first.
enum FileType {
    FILE_TYPE_MISSING = 0,  // nothing there, or it cannot be looked at (errno set)
    FILE_TYPE_REGULAR,
    FILE_TYPE_DIRECTORY,
    FILE_TYPE_FIFO,
    FILE_TYPE_CHAR_DEVICE,
    FILE_TYPE_BLOCK_DEVICE,
    FILE_TYPE_SOCKET,
    FILE_TYPE_OTHER
};

// The kind of the file at path (same path rules as file_Open); *size receives the size of a
// regular file (0 for the others) when size is not null.
int file_Type(const char* path, long long* size);

// A few words for a kind, to finish "... is ": "a directory", "a FIFO (named pipe)", ...
const char* file_TypeName(int kind);

// 1 when this user may create files in the directory dir (the path as it is, no separator
// rules), 0 when not or when it is no directory (errno set).
int file_CanCreateIn(const char* dir);

// Whether users other than the file's owner and its group may read or write it (through
// symbolic links): 1 they may, 0 they may not, -1 it cannot be told (no such file, or a
// system whose permissions are not of that kind: Windows).
int file_OpenToOthers(const char* path);

#endif
