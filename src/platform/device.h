// Device facts the command-line host tells the user about: which USB device a serial port
// belongs to, and whether this user may open the port.
#ifndef MODEMFLASH_PLATFORM_DEVICE_H
#define MODEMFLASH_PLATFORM_DEVICE_H

#include <stddef.h>

// The path of the USB device (not the interface) the port "COM<n>" belongs to, as the
// system's device tree shows it (Linux: the device's sysfs directory, under
// MODEMFLASH_SYSFS_ROOT when set), into buffer. 1 on success; 0 when the port is no USB
// port, has no such path on this system, or the path does not fit.
int dev_UsbDevicePath(const char* portName, char* buffer, size_t capacity);

enum DevAccess {
    DEV_ACCESS_OK = 0,      // this user may open the port for reading and writing
    DEV_ACCESS_DENIED = 1,  // the port exists but this user lacks the permission
    DEV_ACCESS_ABSENT = 2   // no such device
};

// Whether this user may open the device at path. When denied, the name of the group that
// owns the device ("dialout" on most systems; its number when it has no name) is written
// into group, so the user can be told which group to join.
int dev_CheckAccess(const char* path, char* group, size_t groupCapacity);

#endif
