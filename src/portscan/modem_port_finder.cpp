// Selection of the modem's port, and the finder that the port search and the mode switch use.
#include "portscan/modem_port_finder.h"

#include <stdlib.h>
#include <string.h>
#include <strings.h>

#include "platform/lock.h"
#include "platform/simulated_modem.h"

std::string g_serialCommPorts;
int32_t g_lastFoundComNumber = 0;

namespace {
// Guards g_serialCommPorts and g_lastFoundComNumber for the whole of a FindComNumber (rebuild,
// walk, read), so that jobs on several ports may look for their modem at the same time.
PlatformLock* const g_finderLock = lock_Create();

// Guards g_handedOn and g_handedOnSearch: the host hands on from its thread, the update's
// search takes from the job's.
PlatformLock* const g_handOnLock = lock_Create();
bool g_handedOn = false;
ModemSearch g_handedOnSearch;
}  // namespace

void ports_HandOnSearch(const ModemSearch* search) {
    LockGuard held(g_handOnLock);
    g_handedOn = search != nullptr;
    g_handedOnSearch = search ? *search : ModemSearch();
}

bool ports_TakeHandedOnSearch(ModemSearch* out) {
    LockGuard held(g_handOnLock);
    if (!g_handedOn) return false;
    *out = g_handedOnSearch;
    g_handedOn = false;
    g_handedOnSearch = ModemSearch();
    return true;
}

std::string ports_ListSerialComm() {
    RegistrySnapshot snapshot;
    return ports_ListSerialComm(snapshot);
}

std::string ports_ListSerialComm(const RegistrySnapshot& snapshot) {
    std::string ports;
    RegKey key;
    if (reg_Open(snapshot.root(), PORTS_SERIALCOMM_KEY, REG_KEY_READ, &key) != REG_ERROR_SUCCESS)
        return ports;
    for (uint32_t index = 0;; ++index) {
        char name[256] = {0};
        char data[256] = {0};
        uint32_t nameLength = 255;
        uint32_t dataLength = 255;
        if (reg_EnumValue(key, index, name, &nameLength, nullptr, reinterpret_cast<uint8_t*>(data),
                          &dataLength) != REG_ERROR_SUCCESS)
            break;
        ports += data;
        ports += ':';
    }
    reg_Close(key);
    return ports;
}

bool ports_IsModemPort(const SerialPortInfo* info, const std::string& presentPorts) {
    if (info == nullptr || info->portName == nullptr || info->friendlyName == nullptr ||
        info->enumeratorName == nullptr)
        return false;
    if (!strstr(info->enumeratorName, "cdcacm") && !strstr(info->enumeratorName, "USB"))
        return false;
    // With the ':' a COM1 is not found inside COM10:.
    std::string member = std::string(info->portName) + ":";
    if (presentPorts.find(member) == std::string::npos) return false;
    if (!strstr(info->friendlyName, "Modem") && !strstr(info->friendlyName, "USB to UART Bridge"))
        return false;
    return strlen(info->portName) >= 3;
}

int ports_SelectModem(void* /*userData*/, const SerialPortInfo* info) {
    if (ports_IsModemPort(info, g_serialCommPorts)) g_lastFoundComNumber = atoi(info->portName + 3);
    return 1;
}

namespace {

struct ModemList {
    std::string present;
    std::vector<ModemPortInfo> ports;
};

int collectModem(void* user, const SerialPortInfo* info) {
    ModemList* list = static_cast<ModemList*>(user);
    if (!ports_IsModemPort(info, list->present)) return 1;
    list->ports.push_back(ModemPortInfo{atoi(info->portName + 3), info->portName,
                                        info->friendlyName, info->location ? info->location : "",
                                        info->serialNumber ? info->serialNumber : ""});
    return 1;
}

}  // namespace

std::vector<ModemPortInfo> ports_ListModems() {
    RegistrySnapshot snapshot;
    return ports_ListModems(snapshot);
}

std::vector<ModemPortInfo> ports_ListModems(const RegistrySnapshot& snapshot) {
    ModemList list;
    list.present = ports_ListSerialComm(snapshot);
    (void)ports_Enumerate(snapshot, collectModem, &list);
    return list.ports;
}

namespace {

struct SimulatedQuery {
    const char* portName;
    bool simulated;
};

int checkSimulated(void* user, const SerialPortInfo* info) {
    SimulatedQuery* q = static_cast<SimulatedQuery*>(user);
    if (info->portName == nullptr || strcasecmp(info->portName, q->portName) != 0) return 1;
    const char* device = info->deviceName ? info->deviceName : "";
    q->simulated = info->enumeratorName && strcasecmp(info->enumeratorName, "USB") == 0 &&
                   strncasecmp(device, SIMULATED_MODEM_DEVICE_PREFIX,
                               strlen(SIMULATED_MODEM_DEVICE_PREFIX)) == 0;
    return q->simulated ? 0 : 1;
}

}  // namespace

bool ports_IsSimulatedModemPort(const char* portName) {
    if (portName == nullptr || *portName == '\0') return false;
    SimulatedQuery q = {portName, false};
    (void)ports_Enumerate(checkSimulated, &q);
    return q.simulated;
}

int32_t CModemPortFinder::FindComNumberAt(const char* location) {
    if (location == nullptr || *location == '\0') return 0;
    int32_t number = 0;
    for (const ModemPortInfo& p : ports_ListModems())
        if (p.location == location) number = p.comNumber;  // the last in walk order, as ever
    return number;
}

namespace {

// One pass of the selection over a snapshot.
int32_t selectIn(const RegistrySnapshot& snapshot) {
    LockGuard held(g_finderLock);
    g_serialCommPorts = ports_ListSerialComm(snapshot);
    (void)ports_Enumerate(snapshot, ports_SelectModem, nullptr);
    return g_lastFoundComNumber;
}

}  // namespace

int32_t CModemPortFinder::FindComNumber() {
    RegistrySnapshot snapshot;
    return selectIn(snapshot);
}

ModemSearch CModemPortFinder::Search() {
    RegistrySnapshot snapshot;
    ModemSearch found;
    found.comNumber = selectIn(snapshot);
    if (found.comNumber <= 0) return found;
    for (const ModemPortInfo& p : ports_ListModems(snapshot)) {
        if (p.comNumber != found.comNumber) continue;
        found.location = p.location;
        found.serialNumber = p.serialNumber;
        break;
    }
    return found;
}
