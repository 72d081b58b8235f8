// Writing and removing the private sysfs and /dev entries of one modem port.
#include "sysfs_layout.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

namespace modemsim {

std::string layout_HexId(unsigned id) {
    char text[8];
    snprintf(text, sizeof text, "%04x", id & 0xFFFFu);
    return text;
}

namespace {

bool makeDirs(const std::string& path, std::string* error) {
    std::string part;
    size_t pos = 0;
    while (pos != std::string::npos) {
        pos = path.find('/', pos + 1);
        part = path.substr(0, pos);
        if (part.empty()) continue;
        if (mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) {
            if (error) *error = "cannot create " + part + ": " + strerror(errno);
            return false;
        }
    }
    return true;
}

bool writeFile(const std::string& path, const std::string& text, std::string* error) {
    FILE* f = fopen(path.c_str(), "w");
    if (f == nullptr) {
        if (error) *error = "cannot write " + path + ": " + strerror(errno);
        return false;
    }
    bool ok = fwrite(text.data(), 1, text.size(), f) == text.size();
    ok = (fclose(f) == 0) && ok;
    if (!ok && error) *error = "cannot write " + path;
    return ok;
}

bool makeLink(const std::string& target, const std::string& path, std::string* error) {
    unlink(path.c_str());
    if (symlink(target.c_str(), path.c_str()) != 0) {
        if (error) *error = "cannot link " + path + ": " + strerror(errno);
        return false;
    }
    return true;
}

std::string deviceDir(const UsbPortLayout& l) {
    return l.sysfsRoot + "/devices/" + l.busPath + "/" + l.device;
}

std::string interfaceName(const UsbPortLayout& l) {
    // "1-1:1.2": configuration 1, interface number without leading zeros.
    int number = atoi(l.interfaceNumber.c_str());
    return l.device + ":1." + std::to_string(number);
}

}  // namespace

std::string layout_InterfaceDir(const UsbPortLayout& l) {
    return deviceDir(l) + "/" + interfaceName(l);
}

std::string layout_TtyDir(const UsbPortLayout& l) {
    return layout_InterfaceDir(l) + "/tty/" + l.ttyName;
}

int layout_TtyNumber(const std::string& ttyName) {
    size_t i = ttyName.size();
    while (i > 0 && ttyName[i - 1] >= '0' && ttyName[i - 1] <= '9') --i;
    if (i == ttyName.size() || ttyName.size() - i > 6) return -1;
    return atoi(ttyName.c_str() + i);
}

bool layout_Publish(const UsbPortLayout& l, const std::string& devTarget, std::string* error) {
    if (l.ttyName.empty() || l.ttyName.find('/') != std::string::npos || l.ttyName == "." ||
        l.ttyName == "..") {
        if (error) *error = "bad tty name [" + l.ttyName + "]";
        return false;
    }
    std::string dev = deviceDir(l), intf = layout_InterfaceDir(l), tty = layout_TtyDir(l);
    int minor = layout_TtyNumber(l.ttyName);
    if (minor < 0) minor = 0;
    if (!makeDirs(tty, error)) return false;
    bool ok =
        writeFile(dev + "/uevent",
                  "MAJOR=189\nMINOR=0\nDEVNAME=bus/usb/001/002\nDEVTYPE=usb_device\n"
                  "DRIVER=usb\nPRODUCT=" +
                      l.vendorId + "/" + l.productId + "/100\n",
                  error) &&
        writeFile(dev + "/idVendor", l.vendorId + "\n", error) &&
        writeFile(dev + "/idProduct", l.productId + "\n", error) &&
        writeFile(dev + "/manufacturer", l.manufacturer + "\n", error) &&
        writeFile(dev + "/product", l.product + "\n", error) &&
        writeFile(dev + "/serial", l.serial + "\n", error) &&
        writeFile(intf + "/uevent",
                  "DEVTYPE=usb_interface\nDRIVER=" + l.driver + "\nINTERFACE=2/2/1\n", error) &&
        writeFile(intf + "/bInterfaceNumber", l.interfaceNumber + "\n", error) &&
        writeFile(intf + "/interface", l.interfaceName + "\n", error) &&
        writeFile(tty + "/uevent",
                  "MAJOR=166\nMINOR=" + std::to_string(minor) + "\nDEVNAME=" + l.ttyName + "\n",
                  error) &&
        writeFile(tty + "/dev", "166:" + std::to_string(minor) + "\n", error) &&
        makeLink("../../../" + interfaceName(l), tty + "/device", error);
    if (!ok) return false;
    std::string classDir = l.sysfsRoot + "/class/tty";
    if (!makeDirs(classDir, error)) return false;
    std::string rel =
        "devices/" + l.busPath + "/" + l.device + "/" + interfaceName(l) + "/tty/" + l.ttyName;
    if (!makeLink("../../" + rel, classDir + "/" + l.ttyName, error)) return false;
    if (!devTarget.empty()) {
        if (!makeDirs(l.devRoot, error)) return false;
        if (!makeLink(devTarget, l.devRoot + "/" + l.ttyName, error)) return false;
    }
    return true;
}

void layout_Unpublish(const UsbPortLayout& l) {
    if (l.ttyName.empty() || l.ttyName.find('/') != std::string::npos) return;
    if (!l.devRoot.empty()) unlink((l.devRoot + "/" + l.ttyName).c_str());
    unlink((l.sysfsRoot + "/class/tty/" + l.ttyName).c_str());
    std::string tty = layout_TtyDir(l);
    const char* files[] = {"uevent", "dev", "device"};
    for (const char* f : files) unlink((tty + "/" + f).c_str());
    rmdir(tty.c_str());
}

}  // namespace modemsim
