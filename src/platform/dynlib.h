// Dynamic library service: how the command-line host loads the library like any host.
#ifndef MODEMFLASH_PLATFORM_DYNLIB_H
#define MODEMFLASH_PLATFORM_DYNLIB_H

#include <stddef.h>

typedef void* DynLib;

// Loads the library at path; null on failure (the reason is in dynlib_Error).
DynLib dynlib_Open(const char* path);
// The address of an exported symbol, or null.
void* dynlib_Symbol(DynLib lib, const char* name);
void dynlib_Close(DynLib lib);
// Text of the last failure of this service.
const char* dynlib_Error(void);
// The directory of the running executable (no trailing separator), into buffer; 1 on success.
int dynlib_ExecutableDir(char* buffer, size_t capacity);
// The library's file name on this platform ("libmodemflash.so.0", "modemflash.dll").
const char* dynlib_LibraryFileName(void);

#endif
