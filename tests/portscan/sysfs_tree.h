// Builds private sysfs and /dev trees in the two layouts Linux gives USB serial ports (the
// tty directly below its usb_interface, as cdc_acm does; or one level lower, below a
// usb-serial port, as option or cp210x do), plus on-board serial ports, and points
// MODEMFLASH_SYSFS_ROOT and MODEMFLASH_DEV_ROOT at them.
#ifndef MODEMFLASH_TESTS_PORTSCAN_SYSFS_TREE_H
#define MODEMFLASH_TESTS_PORTSCAN_SYSFS_TREE_H

#include <memory>
#include <string>

#include "support/test_support.h"

namespace portscantest {

struct UsbDevice {
    std::string name = "1-1";  // the usb_device directory, e.g. 1-1
    std::string idVendor = "f00d";
    std::string idProduct = "9001";
    std::string manufacturer = "Test Works";
    std::string product = "Test LTE Modem";
    std::string serial = "0123456789";
};

class SysfsTree {
  public:
    SysfsTree();
    const std::string& sys() const { return sys_; }
    const std::string& dev() const { return dev_; }

    // The usb_device directory (created with its attributes); returns its path.
    std::string addUsbDevice(const UsbDevice& d);
    // An interface of the device with a cdc_acm tty directly below it. interfaceText "" leaves
    // the interface string out. Returns the interface directory.
    std::string addCdcAcm(const std::string& usbDir, int number, const std::string& tty,
                          const std::string& interfaceText = "Simulated Modem");
    // An interface with a usb-serial port directory and the tty below that.
    std::string addUsbSerial(const std::string& usbDir, int number, const std::string& tty,
                             const std::string& interfaceText = "");
    // An on-board UART port; type "" leaves the type attribute out.
    void addSerialPort(const std::string& tty, const std::string& type = "4");
    // A tty entry in class/tty without a device link (like a virtual console).
    void addVirtualTty(const std::string& tty);
    // Creates / removes the device node <dev>/<tty>.
    void addNode(const std::string& tty);
    void removeNode(const std::string& tty);
    // Removes the tty's class entry and its directory (the device was unplugged).
    void unplug(const std::string& tty);

    static void write(const std::string& path, const std::string& text);
    static void mkdirs(const std::string& path);
    static void symlink(const std::string& target, const std::string& link);

  private:
    // Creates the tty directory below parentDir and links class/tty/<tty> to it.
    void addTty(const std::string& parentDir, const std::string& tty, bool deviceIsParent);

    testsupport::TempDir dir_;
    std::string sys_;
    std::string dev_;
    std::unique_ptr<testsupport::ScopedEnv> sysEnv_;
    std::unique_ptr<testsupport::ScopedEnv> devEnv_;
};

}  // namespace portscantest

#endif
