// Selection of the modem's port, and the finder that the port search and the mode switch use.
#include "portscan/modem_port_finder.h"

#include <stdlib.h>
#include <string.h>

std::string g_serialCommPorts;
int32_t g_lastFoundComNumber = 0;

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

int ports_SelectModem(void* /*userData*/, const SerialPortInfo* info) {
    if (info == nullptr || info->portName == nullptr || info->friendlyName == nullptr ||
        info->enumeratorName == nullptr)
        return 1;
    if (!strstr(info->enumeratorName, "cdcacm") && !strstr(info->enumeratorName, "USB")) return 1;
    // With the ':' a COM1 is not found inside COM10:.
    std::string member = std::string(info->portName) + ":";
    if (g_serialCommPorts.find(member) == std::string::npos) return 1;
    if (!strstr(info->friendlyName, "Modem") && !strstr(info->friendlyName, "USB to UART Bridge"))
        return 1;
    if (strlen(info->portName) < 3) return 1;
    g_lastFoundComNumber = atoi(info->portName + 3);
    return 1;
}

int32_t CModemPortFinder::FindComNumber() {
    g_serialCommPorts = ports_ListSerialComm();
    (void)ports_Enumerate(ports_SelectModem, nullptr);
    return g_lastFoundComNumber;
}
