// The native registry on Linux: a tree synthesised from sysfs and the device directory.
//
// Each open of a top key (below REG_HKLM) scans <sysfs>/class/tty afresh and builds
//   SYSTEM\CurrentControlSet\Enum\USB\VID_xxxx&PID_yyyy&MI_nn\<loc>&<nn>&<tty>   USB serial ttys
//   SYSTEM\CurrentControlSet\Enum\USB\VID_xxxx&PID_yyyy\<serial>  their USB device: values
//                    ParentIdPrefix = LocationInformation = <loc>, the usb_device's sysfs name
//   SYSTEM\CurrentControlSet\Enum\ACPI\PNP0501\<tty>                       on-board ttyS ports
//   HARDWARE\DEVICEMAP\SERIALCOMM    "\Device\<tty>" = "COM<n>" for each port whose node exists
// into an in-memory tree; keys opened below that key share its snapshot, so one walk sees one
// consistent picture (the root itself, opened as "", serves a question that reads several top
// keys). The roots are MODEMFLASH_SYSFS_ROOT (default /sys) and the device
// directory of the port naming (MODEMFLASH_DEV_ROOT, default /dev), read at every such open.
#include <ctype.h>
#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "platform/env.h"
#include "platform/portname.h"
#include "platform/registry.h"
#include "platform/registry_mem.h"

namespace {

const char kPortsClassGuid[] = "{4D36E978-E325-11CE-BFC1-08002BE10318}";
const char kEnumRoot[] = "SYSTEM\\CurrentControlSet\\Enum";
const char kSerialComm[] = "HARDWARE\\DEVICEMAP\\SERIALCOMM";
const size_t kMaxAttributeBytes = 4096;  // sysfs attributes are at most a page
const size_t kMaxTextLength = 255;       // longest string value we publish
const int kMaxWalkUp = 4;                // levels from a tty's device to its usb_interface

std::string sysfsRoot() {
    const char* root = env_Get("MODEMFLASH_SYSFS_ROOT");
    return (root && *root) ? root : "/sys";
}

// Reads a small text attribute: at most a page, cut at the first NUL or line break, trailing
// blanks removed. False when it cannot be read.
bool readAttribute(const std::string& path, std::string* out) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return false;
    char buffer[kMaxAttributeBytes];
    size_t used = 0;
    while (used < sizeof buffer) {
        ssize_t n = read(fd, buffer + used, sizeof buffer - used);
        if (n <= 0) break;
        used += static_cast<size_t>(n);
    }
    close(fd);
    size_t end = 0;
    while (end < used && buffer[end] != '\0' && buffer[end] != '\n' && buffer[end] != '\r') ++end;
    while (end > 0 && (buffer[end - 1] == ' ' || buffer[end - 1] == '\t')) --end;
    out->assign(buffer, end);
    return true;
}

// The value of KEY=value in a uevent file, or "".
std::string ueventValue(const std::string& dir, const char* key) {
    int fd = open((dir + "/uevent").c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return "";
    char buffer[kMaxAttributeBytes];
    ssize_t n = read(fd, buffer, sizeof buffer);
    close(fd);
    if (n <= 0) return "";
    std::string text(buffer, static_cast<size_t>(n));
    std::string prefix = std::string(key) + "=";
    size_t pos = 0;
    while (pos < text.size()) {
        size_t eol = text.find('\n', pos);
        if (eol == std::string::npos) eol = text.size();
        if (text.compare(pos, prefix.size(), prefix) == 0)
            return text.substr(pos + prefix.size(), eol - pos - prefix.size());
        pos = eol + 1;
    }
    return "";
}

bool isHex(const std::string& s, size_t length) {
    if (s.size() != length) return false;
    for (char c : s) {
        if (!isxdigit(static_cast<unsigned char>(c))) return false;
    }
    return true;
}

std::string upper(std::string s) {
    for (char& c : s) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    return s;
}

// A string fit to publish: control characters become '?', at most kMaxTextLength bytes.
std::string printable(const std::string& s) {
    std::string out = s.substr(0, kMaxTextLength);
    for (char& c : out) {
        unsigned char u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7f) c = '?';
    }
    return out;
}

// A key name made from a sysfs name: '\' would split the key, so it becomes '_'.
std::string keyName(const std::string& s) {
    std::string out = printable(s);
    std::replace(out.begin(), out.end(), '\\', '_');
    return out;
}

std::string parentDir(const std::string& path) {
    size_t slash = path.find_last_of('/');
    if (slash == std::string::npos || slash == 0) return "/";
    return path.substr(0, slash);
}

std::string baseName(const std::string& path) {
    size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool resolve(const std::string& path, std::string* out) {
    char buffer[PATH_MAX];
    if (realpath(path.c_str(), buffer) == nullptr) return false;
    *out = buffer;
    return true;
}

struct Port {
    int com;
    std::string tty;
};

void publishPortValues(MemRegistry& tree, const std::string& key, const std::string& friendly,
                       int com) {
    std::string comName = "COM" + std::to_string(com);
    tree.setString(key.c_str(), "CLASSGUID", kPortsClassGuid);
    tree.setString(key.c_str(), "FRIENDLYNAME", (friendly + " (" + comName + ")").c_str());
    tree.setString((key + "\\Device Parameters").c_str(), "PORTNAME", comName.c_str());
}

// Publishes a USB serial tty whose device directory is deviceDir. False when it is not one.
// devices: the USB devices published so far in this walk, instance key -> location.
bool addUsbPort(MemRegistry& tree, const Port& port, const std::string& deviceDir,
                std::map<std::string, std::string>* devices) {
    std::string iface = deviceDir;
    bool found = false;
    for (int level = 0; level < kMaxWalkUp && iface.size() > 1; ++level) {
        if (ueventValue(iface, "DEVTYPE") == "usb_interface") {
            found = true;
            break;
        }
        iface = parentDir(iface);
    }
    if (!found) return false;
    std::string usb = parentDir(iface);
    std::string vid, pid, number, text;
    if (!readAttribute(usb + "/idVendor", &vid) || !isHex(vid, 4)) return false;
    if (!readAttribute(usb + "/idProduct", &pid) || !isHex(pid, 4)) return false;
    if (!readAttribute(iface + "/bInterfaceNumber", &number) || !isHex(number, 2)) return false;
    std::string friendly;
    if (readAttribute(iface + "/interface", &text)) friendly = printable(text);
    if (friendly.empty() && readAttribute(usb + "/product", &text)) friendly = printable(text);
    if (friendly.empty()) friendly = "USB Serial Port";

    // The USB device itself, as Windows keeps it: Enum\USB\VID_xxxx&PID_yyyy\<instance> with
    // the instance named by the device's serial number (or "<location>&0" when it has none,
    // the '&' telling that the name is no serial number), its ParentIdPrefix, and its
    // LocationInformation: the name of its sysfs directory, bus and hub ports ("1-1.3").
    // The interface's instance begins with that prefix and '&', so that the location is
    // found from the interface the same way on both systems.
    std::string location = keyName(baseName(usb));
    std::string serial;
    if (!readAttribute(usb + "/serial", &serial) || serial.empty() ||
        serial.find_first_of("&\\") != std::string::npos || printable(serial) != serial)
        serial = location + "&0";
    std::string deviceBase =
        std::string(kEnumRoot) + "\\USB\\VID_" + upper(vid) + "&PID_" + upper(pid);
    std::string deviceKey = deviceBase + "\\" + serial;
    // Two devices of one kind with one serial number: the second is named by its location,
    // as Windows names a device whose serial number is not unique, so that each keeps its
    // own location (one instance would otherwise carry the other's and leave it unplaced).
    auto known = devices->find(deviceKey);
    if (known != devices->end() && known->second != location)
        deviceKey = deviceBase + "\\" + location + "&0";
    devices->emplace(deviceKey, location);
    tree.setString(deviceKey.c_str(), "ParentIdPrefix", location.c_str());
    tree.setString(deviceKey.c_str(), "LocationInformation", location.c_str());

    std::string key = std::string(kEnumRoot) + "\\USB\\VID_" + upper(vid) + "&PID_" + upper(pid) +
                      "&MI_" + upper(number) + "\\" + location + "&" + upper(number) + "&" +
                      port.tty;
    publishPortValues(tree, key, friendly, port.com);
    if (readAttribute(usb + "/manufacturer", &text) && !text.empty())
        tree.setString(key.c_str(), "MFG", printable(text).c_str());
    if (readAttribute(usb + "/product", &text) && !text.empty())
        tree.setString(key.c_str(), "DEVICEDESC", printable(text).c_str());
    return true;
}

// Publishes an on-board serial port (ttyS<k>) unless the kernel reports no UART behind it.
bool addSerialPort(MemRegistry& tree, const Port& port, const std::string& classDir) {
    std::string type;
    if (readAttribute(classDir + "/type", &type) && type == "0") return false;
    std::string key = std::string(kEnumRoot) + "\\ACPI\\PNP0501\\" + port.tty;
    publishPortValues(tree, key, "Communications Port", port.com);
    return true;
}

std::atomic<unsigned long> g_snapshots{0};  // pictures taken, for reg_NativeSnapshots

std::shared_ptr<MemRegistry> buildSnapshot() {
    g_snapshots.fetch_add(1, std::memory_order_relaxed);
    auto tree = std::make_shared<MemRegistry>();
    tree->setVersion(REG_PLATFORM_WIN32_NT, 10);
    tree->addKey(kEnumRoot);

    std::string classTty = sysfsRoot() + "/class/tty";
    std::vector<Port> ports;
    if (DIR* d = opendir(classTty.c_str())) {
        while (struct dirent* e = readdir(d)) {
            int com = portname_ComNumberOfTty(e->d_name);
            if (com > 0) ports.push_back(Port{com, e->d_name});
        }
        closedir(d);
    }
    std::sort(ports.begin(), ports.end(),
              [](const Port& a, const Port& b) { return a.com < b.com; });

    std::string devRoot = portname_DevRoot();
    std::vector<const Port*> present;
    std::map<std::string, std::string> devices;
    for (const Port& port : ports) {
        std::string classDir = classTty + "/" + port.tty;
        std::string deviceDir;
        // A tty without a device behind it (a broken or missing link) is no serial port.
        if (!resolve(classDir + "/device", &deviceDir)) continue;
        bool published = port.tty.compare(0, 4, "ttyS") == 0
                             ? addSerialPort(*tree, port, classDir)
                             : addUsbPort(*tree, port, deviceDir, &devices);
        if (!published) continue;
        struct stat st;
        if (stat((devRoot + "/" + port.tty).c_str(), &st) == 0) present.push_back(&port);
    }
    if (!present.empty()) {
        tree->addKey(kSerialComm);
        for (const Port* port : present) {
            std::string name = "\\Device\\" + port->tty;
            std::string comName = "COM" + std::to_string(port->com);
            tree->setString(kSerialComm, name.c_str(), comName.c_str());
        }
    }
    return tree;
}

// A key of ours: the snapshot it belongs to and the key inside it.
struct SysfsKey {
    std::shared_ptr<MemRegistry> tree;
    RegKey inner;
};

std::mutex g_keysMutex;
std::set<SysfsKey*> g_keys;

// The snapshot and inner key behind a handle; false for a handle we did not give out.
bool lookup(RegKey key, std::shared_ptr<MemRegistry>* tree, RegKey* inner) {
    std::lock_guard<std::mutex> guard(g_keysMutex);
    SysfsKey* k = static_cast<SysfsKey*>(key);
    if (g_keys.count(k) == 0) return false;
    *tree = k->tree;
    *inner = k->inner;
    return true;
}

long sysfsOpen(void*, RegKey parent, const char* subKey, uint32_t access, RegKey* out) {
    std::shared_ptr<MemRegistry> tree;
    RegKey inner = REG_HKLM;
    if (parent == REG_HKLM) {
        tree = buildSnapshot();
    } else if (!lookup(parent, &tree, &inner)) {
        return REG_ERROR_INVALID_HANDLE;
    }
    const RegistryBackend* b = tree->backend();
    RegKey child = nullptr;
    long r = b->open(b->self, inner, subKey, access, &child);
    if (r != REG_ERROR_SUCCESS) return r;
    SysfsKey* k = new SysfsKey{tree, child};
    {
        std::lock_guard<std::mutex> guard(g_keysMutex);
        g_keys.insert(k);
    }
    *out = k;
    return REG_ERROR_SUCCESS;
}

long sysfsEnumKey(void*, RegKey key, uint32_t index, char* name, uint32_t* nameLength) {
    std::shared_ptr<MemRegistry> tree;
    RegKey inner = REG_HKLM;
    if (key != REG_HKLM && !lookup(key, &tree, &inner)) return REG_ERROR_INVALID_HANDLE;
    if (!tree) tree = buildSnapshot();
    const RegistryBackend* b = tree->backend();
    return b->enumKey(b->self, inner, index, name, nameLength);
}

long sysfsEnumValue(void*, RegKey key, uint32_t index, char* name, uint32_t* nameLength,
                    uint32_t* type, uint8_t* data, uint32_t* dataLength) {
    std::shared_ptr<MemRegistry> tree;
    RegKey inner = REG_HKLM;
    if (key == REG_HKLM) return REG_ERROR_NO_MORE_ITEMS;  // the root holds no values
    if (!lookup(key, &tree, &inner)) return REG_ERROR_INVALID_HANDLE;
    const RegistryBackend* b = tree->backend();
    return b->enumValue(b->self, inner, index, name, nameLength, type, data, dataLength);
}

long sysfsQuery(void*, RegKey key, const char* name, uint32_t* type, uint8_t* data,
                uint32_t* dataLength) {
    std::shared_ptr<MemRegistry> tree;
    RegKey inner = REG_HKLM;
    if (key == REG_HKLM) return REG_ERROR_FILE_NOT_FOUND;
    if (!lookup(key, &tree, &inner)) return REG_ERROR_INVALID_HANDLE;
    const RegistryBackend* b = tree->backend();
    return b->query(b->self, inner, name, type, data, dataLength);
}

long sysfsClose(void*, RegKey key) {
    if (key == REG_HKLM) return REG_ERROR_SUCCESS;
    SysfsKey* k = static_cast<SysfsKey*>(key);
    {
        std::lock_guard<std::mutex> guard(g_keysMutex);
        if (g_keys.erase(k) == 0) return REG_ERROR_INVALID_HANDLE;
    }
    const RegistryBackend* b = k->tree->backend();
    b->close(b->self, k->inner);
    delete k;  // the snapshot goes with its last key
    return REG_ERROR_SUCCESS;
}

void sysfsVersion(void*, uint32_t* platformId, uint32_t* majorVersion) {
    *platformId = REG_PLATFORM_WIN32_NT;
    *majorVersion = 10;
}

const RegistryBackend kSysfsBackend = {&sysfsOpen,  &sysfsEnumKey, &sysfsEnumValue, &sysfsQuery,
                                       &sysfsClose, &sysfsVersion, nullptr};

}  // namespace

const RegistryBackend* reg_NativeBackend(void) {
    return &kSysfsBackend;
}

unsigned long reg_NativeSnapshots(void) {
    return g_snapshots.load(std::memory_order_relaxed);
}
