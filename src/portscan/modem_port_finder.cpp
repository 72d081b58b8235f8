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
}  // namespace

std::string ports_ListSerialComm() {
    std::string ports;
    RegKey key;
    if (reg_Open(REG_HKLM, PORTS_SERIALCOMM_KEY, REG_KEY_READ, &key) != REG_ERROR_SUCCESS)
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
    ModemList list;
    list.present = ports_ListSerialComm();
    (void)ports_Enumerate(collectModem, &list);
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

int32_t CModemPortFinder::FindComNumber() {
    LockGuard held(g_finderLock);
    g_serialCommPorts = ports_ListSerialComm();
    (void)ports_Enumerate(ports_SelectModem, nullptr);
    return g_lastFoundComNumber;
}
