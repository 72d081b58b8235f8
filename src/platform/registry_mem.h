// An in-memory registry: a tree of keys and values below HKEY_LOCAL_MACHINE served through
// the registry service with the Windows error codes. Tests build the tree they need and
// install it with reg_SetBackend(tree.backend()); the sysfs backend builds one per walk.
//
// Paths use '\' separators and match without regard to case. Subkeys and values are listed
// in the order they were added. Access rights are checked as Windows does: listing subkeys
// needs REG_KEY_ENUMERATE_SUB_KEYS, reading values REG_KEY_QUERY_VALUE.
#ifndef MODEMFLASH_PLATFORM_REGISTRY_MEM_H
#define MODEMFLASH_PLATFORM_REGISTRY_MEM_H

#include <stddef.h>
#include <stdint.h>

#include <memory>

#include "platform/registry.h"

class MemRegistry {
  public:
    MemRegistry();
    ~MemRegistry();
    MemRegistry(const MemRegistry&) = delete;
    MemRegistry& operator=(const MemRegistry&) = delete;

    // The backend serving this tree; valid while the object lives. Handles it gives out must
    // be closed before the object goes.
    const RegistryBackend* backend() const;

    // Creates the key and every missing parent. Returns 1, or 0 for an empty path.
    int addKey(const char* path);
    // Sets a string value (stored with its terminator, type REG_TYPE_SZ), creating the key.
    int setString(const char* keyPath, const char* name, const char* value);
    // Sets a value of any type to exactly these bytes (no terminator added).
    int setValue(const char* keyPath, const char* name, uint32_t type, const void* data,
                 size_t size);
    // Opening the key from then on fails with ERROR_ACCESS_DENIED; its parent still lists it.
    int denyAccess(const char* keyPath);
    // The key stays listed until someone tries to open it: that open fails with
    // ERROR_FILE_NOT_FOUND and the key is gone from then on, as if the device had been
    // unplugged between the listing and the open.
    int vanishOnOpen(const char* keyPath);
    // Removes the key with everything below it; open handles to it see ERROR_KEY_DELETED.
    int remove(const char* keyPath);
    // The platform version that reg_GetVersion reports (default NT, major 10).
    void setVersion(uint32_t platformId, uint32_t majorVersion);

    // Handles given out and not yet closed.
    int openHandleCount() const;
    // Handles given out since the tree was made.
    int openCallCount() const;

    struct Impl;

  private:
    std::unique_ptr<Impl> impl_;
};

#endif
