// The device tree a USB modem's serial port shows on Linux, written under private roots so
// that the port discovery can find a simulated modem (and tests can build trees of their own).
//
// With S = sysfsRoot, D = devRoot and the defaults below it writes
//   S/devices/pci0000:00/0000:00:14.0/usb1/1-1/            usb_device: uevent, idVendor,
//                                                           idProduct, manufacturer, product,
//                                                           serial
//   .../1-1/1-1:1.2/                                        usb_interface (cdc_acm): uevent,
//                                                           bInterfaceNumber, interface
//   .../1-1:1.2/tty/<tty>/                                  uevent, dev, device -> ../../../1-1:1.2
//   S/class/tty/<tty> -> ../../devices/.../1-1:1.2/tty/<tty>
//   D/<tty> -> the pty slave (when a target is given)
#ifndef MODEMFLASH_SIM_SYSFS_LAYOUT_H
#define MODEMFLASH_SIM_SYSFS_LAYOUT_H

#include <string>

#include "platform/simulated_modem.h"

namespace modemsim {

// A USB ID as sysfs writes it: four lower-case hex digits ("f00d").
std::string layout_HexId(unsigned id);

struct UsbPortLayout {
    std::string sysfsRoot;
    std::string devRoot;
    std::string ttyName = "ttyACM0";
    std::string busPath = "pci0000:00/0000:00:14.0/usb1";  // below S/devices
    std::string device = "1-1";                            // the usb_device's name
    std::string interfaceNumber = "02";
    // The simulated modem's USB identity (platform/simulated_modem.h), as sysfs writes it.
    std::string vendorId = layout_HexId(SIMULATED_MODEM_VENDOR_ID);
    std::string productId = layout_HexId(SIMULATED_MODEM_PRODUCT_ID);
    std::string manufacturer = "Simulated Modems Inc";
    std::string product = "Simulated Cellular Modem";
    std::string serial = "SIM0001";
    std::string interfaceName = "Simulated Modem";
    std::string driver = "cdc_acm";
};

// Directory of the usb_interface, of the tty entry.
std::string layout_InterfaceDir(const UsbPortLayout& l);
std::string layout_TtyDir(const UsbPortLayout& l);

// Writes the usb device, interface and tty entries and the class link; when devTarget is not
// empty also the D/<tty> symlink to it. Replaces entries of an earlier publication of the
// same tty. Returns true on success, else false with a reason in error.
bool layout_Publish(const UsbPortLayout& l, const std::string& devTarget, std::string* error);

// Removes D/<tty>, S/class/tty/<tty> and the tty directory (the usb device and interface
// stay). Missing entries are no error.
void layout_Unpublish(const UsbPortLayout& l);

// Minor number k of "ttyACM<k>" (any prefix, trailing digits), or -1.
int layout_TtyNumber(const std::string& ttyName);

}  // namespace modemsim

#endif
