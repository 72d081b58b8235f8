#include "sysfs_tree.h"

#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <stdexcept>

namespace portscantest {

namespace {
const char kBus[] = "/devices/pci0000:00/0000:00:14.0/usb1";
}

SysfsTree::SysfsTree() : sys_(dir_.file("sys")), dev_(dir_.file("dev")) {
    mkdirs(sys_ + "/class/tty");
    mkdirs(dev_);
    sysEnv_ = std::make_unique<testsupport::ScopedEnv>("MODEMFLASH_SYSFS_ROOT", sys_);
    devEnv_ = std::make_unique<testsupport::ScopedEnv>("MODEMFLASH_DEV_ROOT", dev_);
}

void SysfsTree::write(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary);
    out << text;
    if (!out) throw std::runtime_error("cannot write " + path);
}

void SysfsTree::mkdirs(const std::string& path) {
    for (size_t i = 1; i <= path.size(); ++i) {
        if (i == path.size() || path[i] == '/') mkdir(path.substr(0, i).c_str(), 0755);
    }
}

void SysfsTree::symlink(const std::string& target, const std::string& link) {
    unlink(link.c_str());
    if (::symlink(target.c_str(), link.c_str()) != 0)
        throw std::runtime_error("cannot link " + link);
}

std::string SysfsTree::addUsbDevice(const UsbDevice& d) {
    std::string dir = sys_ + kBus + "/" + d.name;
    mkdirs(dir);
    write(dir + "/uevent", "MAJOR=189\nMINOR=1\nDEVNAME=bus/usb/001/002\nDEVTYPE=usb_device\n");
    if (!d.idVendor.empty()) write(dir + "/idVendor", d.idVendor + "\n");
    if (!d.idProduct.empty()) write(dir + "/idProduct", d.idProduct + "\n");
    if (!d.manufacturer.empty()) write(dir + "/manufacturer", d.manufacturer + "\n");
    if (!d.product.empty()) write(dir + "/product", d.product + "\n");
    if (!d.serial.empty()) write(dir + "/serial", d.serial + "\n");
    return dir;
}

static std::string interfaceDir(const std::string& usbDir, int number, const std::string& driver,
                                const std::string& text) {
    size_t slash = usbDir.find_last_of('/');
    std::string name = usbDir.substr(slash + 1) + ":1." + std::to_string(number);
    std::string dir = usbDir + "/" + name;
    SysfsTree::mkdirs(dir);
    SysfsTree::write(dir + "/uevent",
                     "DEVTYPE=usb_interface\nDRIVER=" + driver + "\nINTERFACE=2/2/1\n");
    char hex[8];
    snprintf(hex, sizeof hex, "%02x\n", number);
    SysfsTree::write(dir + "/bInterfaceNumber", hex);
    if (!text.empty()) SysfsTree::write(dir + "/interface", text + "\n");
    return dir;
}

void SysfsTree::addTty(const std::string& parentDir, const std::string& tty, bool deviceIsParent) {
    std::string dir = parentDir + "/tty/" + tty;
    mkdirs(dir);
    write(dir + "/uevent", "MAJOR=166\nMINOR=0\nDEVNAME=" + tty + "\n");
    write(dir + "/dev", "166:0\n");
    if (deviceIsParent)
        symlink("../../../" + parentDir.substr(parentDir.find_last_of('/') + 1), dir + "/device");
    // class/tty/<tty> -> ../../devices/...
    symlink("../.." + dir.substr(sys_.size()), sys_ + "/class/tty/" + tty);
}

std::string SysfsTree::addCdcAcm(const std::string& usbDir, int number, const std::string& tty,
                                 const std::string& interfaceText) {
    std::string iface = interfaceDir(usbDir, number, "cdc_acm", interfaceText);
    addTty(iface, tty, true);
    return iface;
}

std::string SysfsTree::addUsbSerial(const std::string& usbDir, int number, const std::string& tty,
                                    const std::string& interfaceText) {
    std::string iface = interfaceDir(usbDir, number, "option", interfaceText);
    std::string port = iface + "/" + tty;
    mkdirs(port);
    write(port + "/uevent", "DRIVER=option1\n");
    addTty(port, tty, true);
    return iface;
}

void SysfsTree::addSerialPort(const std::string& tty, const std::string& type) {
    std::string platform = sys_ + "/devices/pnp0/00:00";
    mkdirs(platform);
    write(platform + "/uevent", "DRIVER=serial\n");
    addTty(platform, tty, true);
    if (!type.empty()) write(platform + "/tty/" + tty + "/type", type + "\n");
}

void SysfsTree::addVirtualTty(const std::string& tty) {
    std::string dir = sys_ + "/devices/virtual/tty";
    mkdirs(dir);
    addTty(dir, tty, false);
}

void SysfsTree::addNode(const std::string& tty) {
    symlink("/dev/null", dev_ + "/" + tty);
}

void SysfsTree::removeNode(const std::string& tty) {
    unlink((dev_ + "/" + tty).c_str());
}

void SysfsTree::unplug(const std::string& tty) {
    std::string link = sys_ + "/class/tty/" + tty;
    char target[4096];
    ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
    unlink(link.c_str());
    if (n > 0) {
        target[n] = '\0';
        std::string cmd = "rm -rf '" + sys_ + "/class/tty/" + std::string(target) + "'";
        if (system(cmd.c_str()) != 0) {
        }
    }
    removeNode(tty);
}

}  // namespace portscantest
