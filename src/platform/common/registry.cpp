// Registry service: forwards every call to the backend in force (the native one unless a
// test installed another with reg_SetBackend).
#include "platform/registry.h"

#include <atomic>

#include "platform/fault.h"

namespace {

std::atomic<const RegistryBackend*> g_installed{nullptr};

// A registry call that a test makes fail, as a registry that refuses access.
bool faulted() {
    return fault_Hit(FAULT_SEAM_REGISTRY) != 0;
}

const RegistryBackend* current() {
    const RegistryBackend* b = g_installed.load(std::memory_order_acquire);
    return b ? b : reg_NativeBackend();
}

}  // namespace

const RegistryBackend* reg_SetBackend(const RegistryBackend* backend) {
    const RegistryBackend* previous = g_installed.exchange(backend, std::memory_order_acq_rel);
    return previous ? previous : reg_NativeBackend();
}

long reg_Open(RegKey parent, const char* subKey, uint32_t access, RegKey* out) {
    if (out == nullptr) return REG_ERROR_INVALID_PARAMETER;
    if (faulted()) return REG_ERROR_ACCESS_DENIED;
    const RegistryBackend* b = current();
    return b->open(b->self, parent, subKey ? subKey : "", access, out);
}

long reg_EnumKey(RegKey key, uint32_t index, char* name, uint32_t* nameLength) {
    if (name == nullptr || nameLength == nullptr) return REG_ERROR_INVALID_PARAMETER;
    if (faulted()) return REG_ERROR_ACCESS_DENIED;
    const RegistryBackend* b = current();
    return b->enumKey(b->self, key, index, name, nameLength);
}

long reg_EnumValue(RegKey key, uint32_t index, char* name, uint32_t* nameLength, uint32_t* type,
                   uint8_t* data, uint32_t* dataLength) {
    if (name == nullptr || nameLength == nullptr) return REG_ERROR_INVALID_PARAMETER;
    if (data != nullptr && dataLength == nullptr) return REG_ERROR_INVALID_PARAMETER;
    if (faulted()) return REG_ERROR_ACCESS_DENIED;
    const RegistryBackend* b = current();
    return b->enumValue(b->self, key, index, name, nameLength, type, data, dataLength);
}

long reg_Query(RegKey key, const char* name, uint32_t* type, uint8_t* data, uint32_t* dataLength) {
    if (data != nullptr && dataLength == nullptr) return REG_ERROR_INVALID_PARAMETER;
    if (faulted()) return REG_ERROR_ACCESS_DENIED;
    const RegistryBackend* b = current();
    return b->query(b->self, key, name ? name : "", type, data, dataLength);
}

long reg_Close(RegKey key) {
    const RegistryBackend* b = current();
    return b->close(b->self, key);
}

void reg_GetVersion(uint32_t* platformId, uint32_t* majorVersion) {
    uint32_t id = 0, major = 0;
    const RegistryBackend* b = current();
    b->getVersion(b->self, &id, &major);
    if (platformId) *platformId = id;
    if (majorVersion) *majorVersion = major;
}
