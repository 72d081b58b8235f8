// The registry service's native backend: the Windows registry below HKEY_LOCAL_MACHINE.
//
// The calls pass through unchanged, so every result is the system's own error code; only the
// lengths are carried between the service's 32-bit counts and the system's DWORDs.
#include "platform/registry.h"

#include <windows.h>

namespace {

HKEY toHkey(RegKey key) {
    return key == REG_HKLM ? HKEY_LOCAL_MACHINE : static_cast<HKEY>(key);
}

long nativeOpen(void*, RegKey parent, const char* subKey, uint32_t access, RegKey* out) {
    // The root itself: the live registry has no picture to take, and the predefined key is
    // not one to open and close again.
    if (parent == REG_HKLM && (subKey == nullptr || *subKey == '\0')) {
        *out = REG_HKLM;
        return ERROR_SUCCESS;
    }
    HKEY child = nullptr;
    LONG r = RegOpenKeyExA(toHkey(parent), subKey, 0, static_cast<REGSAM>(access), &child);
    *out = r == ERROR_SUCCESS ? static_cast<RegKey>(child) : nullptr;
    return r;
}

long nativeEnumKey(void*, RegKey key, uint32_t index, char* name, uint32_t* nameLength) {
    DWORD length = *nameLength;
    LONG r = RegEnumKeyExA(toHkey(key), index, name, &length, nullptr, nullptr, nullptr, nullptr);
    if (r == ERROR_SUCCESS) *nameLength = length;
    return r;
}

long nativeEnumValue(void*, RegKey key, uint32_t index, char* name, uint32_t* nameLength,
                     uint32_t* type, uint8_t* data, uint32_t* dataLength) {
    DWORD length = *nameLength;
    DWORD valueType = 0;
    DWORD size = dataLength ? *dataLength : 0;
    LONG r = RegEnumValueA(toHkey(key), index, name, &length, nullptr, &valueType, data,
                           dataLength ? &size : nullptr);
    if (r == ERROR_SUCCESS) *nameLength = length;
    if ((r == ERROR_SUCCESS || r == ERROR_MORE_DATA) && dataLength) *dataLength = size;
    if (r == ERROR_SUCCESS && type) *type = valueType;
    return r;
}

long nativeQuery(void*, RegKey key, const char* name, uint32_t* type, uint8_t* data,
                 uint32_t* dataLength) {
    DWORD valueType = 0;
    DWORD size = dataLength ? *dataLength : 0;
    LONG r = RegQueryValueExA(toHkey(key), name, nullptr, &valueType, data,
                              dataLength ? &size : nullptr);
    if ((r == ERROR_SUCCESS || r == ERROR_MORE_DATA) && dataLength) *dataLength = size;
    if (r == ERROR_SUCCESS && type) *type = valueType;
    return r;
}

long nativeClose(void*, RegKey key) {
    if (key == REG_HKLM) return ERROR_SUCCESS;  // the root is not ours to close
    return RegCloseKey(static_cast<HKEY>(key));
}

void nativeGetVersion(void*, uint32_t* platformId, uint32_t* majorVersion) {
    OSVERSIONINFOA info;
    ZeroMemory(&info, sizeof info);
    info.dwOSVersionInfoSize = sizeof info;
    if (!GetVersionExA(&info)) {
        *platformId = 0;
        *majorVersion = 0;
        return;
    }
    *platformId = info.dwPlatformId;
    *majorVersion = info.dwMajorVersion;
}

const RegistryBackend kNative = {nativeOpen,  nativeEnumKey,    nativeEnumValue, nativeQuery,
                                 nativeClose, nativeGetVersion, nullptr};

}  // namespace

const RegistryBackend* reg_NativeBackend(void) {
    return &kNative;
}

unsigned long reg_NativeSnapshots(void) {
    return 0;  // the registry is read live
}
