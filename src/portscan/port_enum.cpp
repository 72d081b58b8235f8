// The registry walk for serial ports.
#include "portscan/port_enum.h"

#include <stdlib.h>
#include <string.h>
#include <strings.h>

#include "platform/error.h"
#include "platform/memory.h"

namespace {

const uint32_t kFirstNameSize = 128;       // first subkey-name buffer; grows to 2n+2
const uint32_t kFirstValueSize = 128;      // first value buffer; then what the registry asks
const uint32_t kFirstListSize = 32;        // SERIALCOMM name and data buffers
const uint32_t kMaxBufferSize = 1u << 24;  // no key name or value of ours is anywhere near
const int kMaxRetries = 16;                // a value that keeps growing under us ends the read

// What the examination of one instance key led to.
enum Verdict { GO_ON, STOP, FAILED };

// Reads a short value into a zero-filled buffer one byte larger than the offer, so that the
// text is terminated whatever the registry returns. 0 on success.
long readFixed(RegKey key, const char* name, char* buffer, uint32_t offer) {
    memset(buffer, 0, offer + 1);
    uint32_t length = offer;
    return reg_Query(key, name, nullptr, reinterpret_cast<uint8_t*>(buffer), &length);
}

// Where the walk stands: the open enumerator key and the names on the way to an instance.
struct WalkPlace {
    RegKey enumeratorKey;
    const char* enumerator;
    const char* device;
    const char* instance;
};

Verdict examineInstance(RegKey instance, const WalkPlace& at, PortEnumCallback callback,
                        void* userData, char** portName, char** friendlyName, long* error) {
    char deviceClass[6 + 1];
    bool taken = readFixed(instance, "CLASS", deviceClass, 6) == REG_ERROR_SUCCESS &&
                 strcasecmp(deviceClass, "Modem") == 0;
    if (!taken) {
        char guid[39 + 1];
        if (readFixed(instance, "CLASSGUID", guid, 39) != REG_ERROR_SUCCESS ||
            strcasecmp(guid, PORTS_CLASS_GUID) != 0)
            return GO_ON;
    }

    long r = reg_QueryValueAlloc(instance, "PORTNAME", portName);
    if (r == REG_ERROR_FILE_NOT_FOUND) {
        RegKey parameters;
        if (reg_Open(instance, "DEVICE PARAMETERS", REG_KEY_READ, &parameters) != REG_ERROR_SUCCESS)
            return GO_ON;
        r = reg_QueryValueAlloc(parameters, "PORTNAME", portName);
        reg_Close(parameters);
    }
    if (r == REG_ERROR_FILE_NOT_FOUND) return GO_ON;
    if (r != REG_ERROR_SUCCESS) {
        *error = r;
        return FAILED;
    }
    if (strncasecmp(*portName, "COM", 3) != 0) return GO_ON;

    r = reg_QueryValueAlloc(instance, "FRIENDLYNAME", friendlyName);
    const char* friendly = *friendlyName;
    if (r == REG_ERROR_FILE_NOT_FOUND) {
        friendly = *portName;
    } else if (r != REG_ERROR_SUCCESS) {
        *error = r;
        return FAILED;
    }

    std::string location, serial;
    ports_LocateInstance(at.enumeratorKey, at.device, at.instance, instance, &location, &serial);
    SerialPortInfo info = {*portName,        friendly,       at.enumerator,
                           location.c_str(), serial.c_str(), at.device};
    return callback(userData, &info) ? GO_ON : STOP;
}

// Ends a walk: 1 for a normal end, else 0 with the error as the thread's last error.
int finish(long error) {
    if (error == REG_ERROR_SUCCESS) return 1;
    err_SetLast(static_cast<int>(error));
    return 0;
}

bool endsLevel(long r) {
    return r == REG_ERROR_NO_MORE_ITEMS || r == REG_ERROR_ACCESS_DENIED;
}

// A short text value of a key, or "".
std::string textValue(RegKey key, const char* name) {
    char* buffer = nullptr;
    std::string text;
    if (reg_QueryValueAlloc(key, name, &buffer) == REG_ERROR_SUCCESS) text = buffer;
    free(buffer);
    return text;
}

std::string serialOf(const char* instanceName) {
    return strchr(instanceName, '&') != nullptr ? std::string() : std::string(instanceName);
}

}  // namespace

void ports_LocateInstance(RegKey enumeratorKey, const char* deviceName, const char* instanceName,
                          RegKey instanceKey, std::string* location, std::string* serialNumber) {
    location->clear();
    serialNumber->clear();
    if (deviceName == nullptr || instanceName == nullptr) return;
    const char* mi = strstr(deviceName, "&MI_");
    if (mi == nullptr) {
        *location = textValue(instanceKey, "LocationInformation");
        *serialNumber = serialOf(instanceName);
        return;
    }
    std::string parentName(deviceName, static_cast<size_t>(mi - deviceName));
    RegKey parent;
    if (reg_Open(enumeratorKey, parentName.c_str(), REG_KEY_ENUMERATE_SUB_KEYS, &parent) !=
        REG_ERROR_SUCCESS)
        return;
    char* name = nullptr;
    for (uint32_t i = 0;; ++i) {
        RegKey device;
        long r = reg_OpenSubKeyAt(parent, i, REG_KEY_READ, &device, &name);
        if (endsLevel(r)) break;
        if (r != REG_ERROR_SUCCESS) break;
        std::string prefix = textValue(device, "ParentIdPrefix");
        bool mine = !prefix.empty() &&
                    strncasecmp(instanceName, prefix.c_str(), prefix.size()) == 0 &&
                    instanceName[prefix.size()] == '&';
        if (mine) {
            *location = textValue(device, "LocationInformation");
            *serialNumber = serialOf(name);
        }
        reg_Close(device);
        if (mine) break;
    }
    free(name);
    reg_Close(parent);
}

long reg_OpenSubKeyAt(RegKey parent, uint32_t index, uint32_t access, RegKey* child, char** name) {
    if (name) {
        free(*name);
        *name = nullptr;
    }
    char* buffer = nullptr;
    uint32_t size = kFirstNameSize;
    long r;
    for (;;) {
        free(buffer);
        buffer = static_cast<char*>(mem_Calloc(size, 1));
        if (buffer == nullptr) {
            r = REG_ERROR_NOT_ENOUGH_MEMORY;
            break;
        }
        uint32_t length = size;
        r = reg_EnumKey(parent, index, buffer, &length);
        if (r == REG_ERROR_SUCCESS) {
            buffer[size - 1] = '\0';
            r = reg_Open(parent, buffer, access, child);
            break;
        }
        if (r != REG_ERROR_MORE_DATA) break;
        if (size > (kMaxBufferSize - 2) / 2) break;  // ends with ERROR_MORE_DATA
        size = size * 2 + 2;
    }
    if (name) {
        *name = buffer;
    } else {
        free(buffer);
    }
    return r;
}

long reg_QueryValueAlloc(RegKey key, const char* valueName, char** buffer) {
    uint32_t size = kFirstValueSize;
    long r = REG_ERROR_MORE_DATA;
    for (int attempt = 0; attempt < kMaxRetries; ++attempt) {
        free(*buffer);
        *buffer = static_cast<char*>(mem_Calloc(size + 1u, 1));  // +1: room for a terminator
        if (*buffer == nullptr) return REG_ERROR_NOT_ENOUGH_MEMORY;
        uint32_t length = size;
        r = reg_Query(key, valueName, nullptr, reinterpret_cast<uint8_t*>(*buffer), &length);
        if (r == REG_ERROR_SUCCESS) {
            (*buffer)[length < size ? length : size] = '\0';
            return REG_ERROR_SUCCESS;
        }
        if (r != REG_ERROR_MORE_DATA) break;
        if (length > kMaxBufferSize) {
            r = REG_ERROR_NOT_ENOUGH_MEMORY;
            break;
        }
        // A registry that asks for no more than it was offered would make us loop: grow anyway.
        size = length > size ? length : size * 2 + 2;
    }
    free(*buffer);
    *buffer = nullptr;
    return r;
}

RegistrySnapshot::RegistrySnapshot() {
    RegKey root;
    if (reg_Open(REG_HKLM, "", REG_KEY_READ, &root) == REG_ERROR_SUCCESS) {
        root_ = root;
        opened_ = true;
    }
}

RegistrySnapshot::~RegistrySnapshot() {
    if (opened_) reg_Close(root_);
}

int ports_EnumerateDeviceTree(const char* rootPath, PortEnumCallback callback, void* userData) {
    if (rootPath == nullptr || callback == nullptr) return finish(REG_ERROR_INVALID_PARAMETER);
    RegistrySnapshot snapshot;
    return ports_EnumerateDeviceTree(snapshot, rootPath, callback, userData);
}

int ports_EnumerateDeviceTree(const RegistrySnapshot& snapshot, const char* rootPath,
                              PortEnumCallback callback, void* userData) {
    if (rootPath == nullptr || callback == nullptr) return finish(REG_ERROR_INVALID_PARAMETER);
    RegKey root;
    long r = reg_Open(snapshot.root(), rootPath, REG_KEY_ENUMERATE_SUB_KEYS, &root);
    if (r != REG_ERROR_SUCCESS) return finish(r);

    char* enumeratorName = nullptr;
    char* deviceName = nullptr;
    char* instanceName = nullptr;
    char* portName = nullptr;
    char* friendlyName = nullptr;
    long error = REG_ERROR_SUCCESS;
    bool stop = false;
    for (uint32_t e = 0; !stop; ++e) {
        RegKey enumerator;
        r = reg_OpenSubKeyAt(root, e, REG_KEY_ENUMERATE_SUB_KEYS, &enumerator, &enumeratorName);
        if (endsLevel(r)) break;
        if (r != REG_ERROR_SUCCESS) {
            error = r;
            break;
        }
        for (uint32_t d = 0; !stop; ++d) {
            RegKey device;
            r = reg_OpenSubKeyAt(enumerator, d, REG_KEY_ENUMERATE_SUB_KEYS, &device, &deviceName);
            if (endsLevel(r)) break;
            if (r != REG_ERROR_SUCCESS) {
                error = r;
                stop = true;
                break;
            }
            for (uint32_t i = 0; !stop; ++i) {
                RegKey instance;
                r = reg_OpenSubKeyAt(device, i, REG_KEY_READ, &instance, &instanceName);
                if (endsLevel(r)) break;
                if (r != REG_ERROR_SUCCESS) {
                    error = r;
                    stop = true;
                    break;
                }
                WalkPlace at = {enumerator, enumeratorName, deviceName, instanceName};
                Verdict v = examineInstance(instance, at, callback, userData, &portName,
                                            &friendlyName, &error);
                reg_Close(instance);
                if (v != GO_ON) stop = true;
            }
            reg_Close(device);
        }
        reg_Close(enumerator);
    }
    reg_Close(root);
    free(enumeratorName);
    free(deviceName);
    free(instanceName);
    free(portName);
    free(friendlyName);
    return finish(error);
}

int ports_EnumerateSerialComm(PortEnumCallback callback, void* userData) {
    if (callback == nullptr) return finish(REG_ERROR_INVALID_PARAMETER);
    RegistrySnapshot snapshot;
    return ports_EnumerateSerialComm(snapshot, callback, userData);
}

int ports_EnumerateSerialComm(const RegistrySnapshot& snapshot, PortEnumCallback callback,
                              void* userData) {
    if (callback == nullptr) return finish(REG_ERROR_INVALID_PARAMETER);
    RegKey key;
    long r = reg_Open(snapshot.root(), PORTS_SERIALCOMM_KEY, REG_KEY_READ, &key);
    if (r == REG_ERROR_FILE_NOT_FOUND) return 1;
    if (r != REG_ERROR_SUCCESS) return finish(r);

    uint32_t nameSize = kFirstListSize;
    uint32_t dataSize = kFirstListSize;
    char* name = static_cast<char*>(mem_Calloc(nameSize, 1));
    uint8_t* data = static_cast<uint8_t*>(mem_Calloc(dataSize + 1u, 1));
    long error = (name && data) ? REG_ERROR_SUCCESS : REG_ERROR_NOT_ENOUGH_MEMORY;
    int retries = 0;
    for (uint32_t index = 0; error == REG_ERROR_SUCCESS;) {
        memset(data, 0, dataSize + 1u);
        uint32_t nameLength = nameSize;
        uint32_t dataLength = dataSize;
        r = reg_EnumValue(key, index, name, &nameLength, nullptr, data, &dataLength);
        if (r == REG_ERROR_MORE_DATA) {
            if (++retries > kMaxRetries || nameSize > (kMaxBufferSize - 2) / 2 ||
                dataLength > kMaxBufferSize) {
                error = r;
                break;
            }
            nameSize = nameSize * 2 + 2;
            if (dataLength > dataSize) dataSize = dataLength;
            free(name);
            free(data);
            name = static_cast<char*>(mem_Calloc(nameSize, 1));
            data = static_cast<uint8_t*>(mem_Calloc(dataSize + 1u, 1));
            if (!name || !data) error = REG_ERROR_NOT_ENOUGH_MEMORY;
            continue;  // the same index again
        }
        if (r == REG_ERROR_NO_MORE_ITEMS) break;
        if (r != REG_ERROR_SUCCESS) {
            error = r;
            break;
        }
        data[dataLength < dataSize ? dataLength : dataSize] = 0;
        const char* port = reinterpret_cast<const char*>(data);
        SerialPortInfo info = {port, port, "", "", "", ""};
        if (!callback(userData, &info)) break;
        retries = 0;
        ++index;
    }
    reg_Close(key);
    free(name);
    free(data);
    return finish(error);
}

int ports_Enumerate(PortEnumCallback callback, void* userData) {
    if (callback == nullptr) return finish(REG_ERROR_INVALID_PARAMETER);
    RegistrySnapshot snapshot;
    return ports_Enumerate(snapshot, callback, userData);
}

int ports_Enumerate(const RegistrySnapshot& snapshot, PortEnumCallback callback, void* userData) {
    if (callback == nullptr) return finish(REG_ERROR_INVALID_PARAMETER);
    uint32_t platformId = 0;
    uint32_t major = 0;
    reg_GetVersion(&platformId, &major);
    if (platformId == REG_PLATFORM_WIN32_WINDOWS)
        return ports_EnumerateDeviceTree(snapshot, PORTS_ENUM_ROOT_CONSUMER, callback, userData);
    if (platformId == REG_PLATFORM_WIN32_NT) {
        if (major == 4) return ports_EnumerateSerialComm(snapshot, callback, userData);
        if (major > 4)
            return ports_EnumerateDeviceTree(snapshot, PORTS_ENUM_ROOT_NT, callback, userData);
    }
    return finish(REG_ERROR_OLD_WIN_VERSION);
}
