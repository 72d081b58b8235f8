// Fuzz target: the registry walk for serial ports over a fuzzed device tree, through the
// in-memory registry.
//
// The input is a small program that builds the tree: keys below the enumeration root (the
// enumerator, device and instance levels) and SERIALCOMM, values of any type and size with
// or without a terminator, keys that refuse access or vanish when opened, and the platform
// version. Then the walk runs three ways: ports_Enumerate with a callback that reads every
// text it is handed and sometimes stops the walk, the SERIALCOMM list, and FindComNumber.
// Every key opened must be closed again, every text handed out must be terminated, and the
// number found must be 0, the one found before, or that of a port name in the tree.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <set>
#include <string>

#include "platform/registry.h"
#include "platform/registry_mem.h"
#include "portscan/modem_port_finder.h"
#include "portscan/port_enum.h"

namespace {

// Names the program picks from, so that the walk's own names come up often.
const char* const kNames[] = {"USB",
                              "cdcacm",
                              "ACPI",
                              "VID_1234&PID_0001",
                              "0000",
                              "1&2A&0&1",
                              "CLASS",
                              "CLASSGUID",
                              "PORTNAME",
                              "FRIENDLYNAME",
                              "DEVICE PARAMETERS",
                              "Modem",
                              "modem",
                              "Ports",
                              PORTS_CLASS_GUID,
                              "COM5",
                              "COM12",
                              "COM1",
                              "com7",
                              "LPT1",
                              "USB Modem",
                              "USB to UART Bridge (COM5)",
                              "\\Device\\USBSER000",
                              ""};
const size_t kNameCount = sizeof kNames / sizeof kNames[0];

const char* const kRoot = PORTS_ENUM_ROOT_NT;

struct Reader {
    const uint8_t* p;
    size_t left;
    uint8_t byte() {
        if (left == 0) return 0;
        --left;
        return *p++;
    }
    // A name from the list, or a few raw bytes.
    std::string name() {
        uint8_t b = byte();
        if (b < 0xE0) return kNames[b % kNameCount];
        size_t n = b & 0x1F;
        std::string s;
        for (size_t i = 0; i < n && left > 0; ++i) s += static_cast<char>(byte());
        return s;
    }
};

struct Walk {
    int calls = 0;
    uint8_t stopAt = 0;
};

int checkInfo(void* user, const SerialPortInfo* info) {
    Walk* w = static_cast<Walk*>(user);
    if (info == nullptr || info->portName == nullptr || info->friendlyName == nullptr ||
        info->enumeratorName == nullptr)
        abort();
    // Reading each text to its end: an unterminated one runs into the sanitizer.
    if (info->location == nullptr || info->serialNumber == nullptr) abort();
    volatile size_t total = strlen(info->portName) + strlen(info->friendlyName) +
                            strlen(info->enumeratorName) + strlen(info->location) +
                            strlen(info->serialNumber);
    (void)total;
    ++w->calls;
    return w->stopAt == 0 || w->calls < w->stopAt;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Reader in{data, size};
    MemRegistry tree;
    std::set<std::string> portNames;
    Walk walk;
    walk.stopAt = in.byte() % 8;
    uint8_t version = in.byte();
    tree.setVersion(version & 0x80 ? REG_PLATFORM_WIN32_WINDOWS : REG_PLATFORM_WIN32_NT,
                    3 + (version & 7));
    int ops = 0;
    while (in.left > 0 && ops++ < 64) {
        uint8_t op = in.byte();
        bool serialComm = op & 0x80;
        std::string key = serialComm ? std::string(PORTS_SERIALCOMM_KEY)
                                     : std::string(kRoot) + "\\" + in.name() + "\\" + in.name() +
                                           "\\" + in.name();
        if (!serialComm && (op & 0x40)) key += "\\DEVICE PARAMETERS";
        switch (op & 7) {
            case 0:
                tree.addKey(key.c_str());
                break;
            case 1:
            case 2: {  // a string value, with its terminator
                std::string name = in.name(), value = in.name();
                if (name == "PORTNAME" || serialComm) portNames.insert(value);
                tree.setString(key.c_str(), name.c_str(), value.c_str());
                break;
            }
            case 3: {  // any type, any bytes, no terminator added
                std::string name = in.name();
                uint32_t type = in.byte() % 5;
                size_t n = in.byte() % 48;
                std::string bytes;
                for (size_t i = 0; i < n; ++i) bytes += static_cast<char>(in.byte());
                portNames.insert(bytes.substr(0, bytes.find('\0')));
                tree.setValue(key.c_str(), name.c_str(), type, bytes.data(), bytes.size());
                break;
            }
            case 4: {  // a long value: more than the first buffer of the walk holds
                std::string name = in.name();
                std::string value(static_cast<size_t>(in.byte()) * 3 + 100, 'M');
                tree.setString(key.c_str(), name.c_str(), value.c_str());
                break;
            }
            case 5:
                tree.denyAccess(key.substr(0, key.rfind('\\')).c_str());
                break;
            case 6:
                tree.vanishOnOpen(key.c_str());
                break;
            case 7:
                tree.remove(key.substr(0, key.rfind('\\')).c_str());
                break;
        }
    }

    const RegistryBackend* previous = reg_SetBackend(tree.backend());
    int r = ports_Enumerate(checkInfo, &walk);
    if (r != 0 && r != 1) abort();
    if (tree.openHandleCount() != 0) abort();
    Walk all;
    r = ports_EnumerateSerialComm(checkInfo, &all);
    if (r != 0 && r != 1) abort();
    r = ports_EnumerateDeviceTree(kRoot, checkInfo, &all);
    if (r != 0 && r != 1) abort();
    if (tree.openHandleCount() != 0) abort();

    const int32_t before = g_lastFoundComNumber;
    CModemPortFinder finder;
    const int32_t found = finder.FindComNumber();
    if (tree.openHandleCount() != 0) abort();
    if (found != before) {
        // Only a port name of the tree can have given it.
        bool named = false;
        for (const std::string& n : portNames)
            if (n.size() > 3 && atoi(n.c_str() + 3) == found) named = true;
        if (!named) abort();
    }
    reg_SetBackend(previous);
    return 0;
}
