// Registry service: read-only access to keys and values below HKEY_LOCAL_MACHINE, with the
// Windows error codes, plus the platform version.
//
// Three backends provide it: the Windows registry, a tree synthesised from sysfs and /dev on
// Linux, and an in-memory tree (registry_mem.h) that tests install with reg_SetBackend.
// Key and value names match without regard to case.
#ifndef MODEMFLASH_PLATFORM_REGISTRY_H
#define MODEMFLASH_PLATFORM_REGISTRY_H

#include <stdint.h>

typedef void* RegKey;

// The root every path is opened under.
#define REG_HKLM ((RegKey)0)

// Access rights.
#define REG_KEY_QUERY_VALUE 0x0001u         // needed by reg_EnumValue and reg_Query
#define REG_KEY_ENUMERATE_SUB_KEYS 0x0008u  // needed by reg_EnumKey
#define REG_KEY_READ 0x20019u               // includes both

// Error codes (the Windows values).
#define REG_ERROR_SUCCESS 0L
#define REG_ERROR_FILE_NOT_FOUND 2L
#define REG_ERROR_ACCESS_DENIED 5L
#define REG_ERROR_INVALID_HANDLE 6L
#define REG_ERROR_NOT_ENOUGH_MEMORY 8L
#define REG_ERROR_INVALID_PARAMETER 87L
#define REG_ERROR_MORE_DATA 234L
#define REG_ERROR_NO_MORE_ITEMS 259L
#define REG_ERROR_KEY_DELETED 1018L  // the key behind an open handle was removed
#define REG_ERROR_OLD_WIN_VERSION 1150L

// Value types.
#define REG_TYPE_SZ 1u
#define REG_TYPE_BINARY 3u
#define REG_TYPE_DWORD 4u

// Platform ids reported by reg_GetVersion.
#define REG_PLATFORM_WIN32_WINDOWS 1u
#define REG_PLATFORM_WIN32_NT 2u

// Every operation returns REG_ERROR_SUCCESS or one of the error codes above.

// Opens subKey (a path with '\' separators; "" or null opens parent again) below parent
// (REG_HKLM or an open key). ERROR_FILE_NOT_FOUND when it does not exist, ERROR_ACCESS_DENIED
// when the key refuses the access asked for. *out is set only on success.
//
// A backend that synthesises its tree (the sysfs one) takes a new picture of the machine at
// every open below REG_HKLM, and the keys opened below that key share it. A question that
// reads several keys (the port list and the device tree) opens the root once, with "" below
// REG_HKLM, and the rest below that key, so that all it reads is of one picture.
long reg_Open(RegKey parent, const char* subKey, uint32_t access, RegKey* out);

// Names the subkey at index. *nameLength: in, the buffer's size in characters including the
// terminator; out, the name's length without it. ERROR_MORE_DATA when it does not fit,
// ERROR_NO_MORE_ITEMS past the last subkey.
long reg_EnumKey(RegKey key, uint32_t index, char* name, uint32_t* nameLength);

// Names and reads the value at index. *nameLength as for reg_EnumKey; *dataLength: in, the
// data buffer's size in bytes; out, the data's size (also when ERROR_MORE_DATA is returned,
// so that the caller can size its buffer). type may be null; data may be null to ask only
// for the size.
long reg_EnumValue(RegKey key, uint32_t index, char* name, uint32_t* nameLength, uint32_t* type,
                   uint8_t* data, uint32_t* dataLength);

// Reads the value called name (null or "" for the default value), with *dataLength as for
// reg_EnumValue. ERROR_FILE_NOT_FOUND when there is no such value.
long reg_Query(RegKey key, const char* name, uint32_t* type, uint8_t* data, uint32_t* dataLength);

long reg_Close(RegKey key);

// The platform's id (REG_PLATFORM_*) and major version.
void reg_GetVersion(uint32_t* platformId, uint32_t* majorVersion);

// How many pictures of the machine the native backend has taken since the process began: on
// Linux one scan of sysfs and the device directory per open below REG_HKLM; the Windows
// registry is read live and takes none. For tests and benchmarks that count what a question
// costs.
unsigned long reg_NativeSnapshots(void);

// A backend: the same operations as function pointers.
struct RegistryBackend {
    long (*open)(void* self, RegKey parent, const char* subKey, uint32_t access, RegKey* out);
    long (*enumKey)(void* self, RegKey key, uint32_t index, char* name, uint32_t* nameLength);
    long (*enumValue)(void* self, RegKey key, uint32_t index, char* name, uint32_t* nameLength,
                      uint32_t* type, uint8_t* data, uint32_t* dataLength);
    long (*query)(void* self, RegKey key, const char* name, uint32_t* type, uint8_t* data,
                  uint32_t* dataLength);
    long (*close)(void* self, RegKey key);
    void (*getVersion)(void* self, uint32_t* platformId, uint32_t* majorVersion);
    void* self;
};

// The platform's own backend (the Windows registry, or the sysfs tree on Linux).
const RegistryBackend* reg_NativeBackend(void);

// Installs a backend for every later call (null restores the native one); returns the one
// that was in force.
const RegistryBackend* reg_SetBackend(const RegistryBackend* backend);

#endif
