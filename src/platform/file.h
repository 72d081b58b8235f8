// File service: opening files by the paths the library composes.
//
// The library composes paths as folder "\" name, as hosts on Windows expect. On POSIX a '\'
// in a path is taken as a directory separator, so the same composed paths work there.
#ifndef MODEMFLASH_PLATFORM_FILE_H
#define MODEMFLASH_PLATFORM_FILE_H

#include <stdio.h>

// fopen with the platform's path rules; null on failure (errno set).
FILE* file_Open(const char* path, const char* mode);

#endif
