// ModemManager service: asking the system's modem manager to leave a device alone.
//
// On most Linux desktops ModemManager opens every new modem port and sends AT commands of its
// own, which breaks an update's exchange, above all right after a mode switch, when the port
// appears anew. Its InhibitDevice call (system bus, org.freedesktop.ModemManager1) makes it
// leave a USB device alone, also while the device re-appears, until the caller releases it or
// drops its bus connection. So the connection is held for the whole update.
//
// Linux talks to it with sd-bus; where there is no such service (Windows, a build without
// libsystemd) every call answers MM_ABSENT.
#ifndef MODEMFLASH_PLATFORM_MODEM_MANAGER_H
#define MODEMFLASH_PLATFORM_MODEM_MANAGER_H

#include <stddef.h>

typedef struct MmConnection MmConnection;

enum MmAnswer {
    MM_ABSENT = 0,   // no system bus, or no ModemManager on it: nothing to do
    MM_DONE = 1,     // ModemManager did as asked
    MM_UNKNOWN = 2,  // ModemManager does not manage that device (so has no claim on it)
    MM_REFUSED = 3   // ModemManager (or the bus's policy) refused; why says how
};

// Connects to the system bus; null when there is none.
MmConnection* mm_Connect(void);

// Asks ModemManager to leave the device uid alone (inhibit 1) or to take it back (0). uid is
// the device's physical path as ModemManager shows it (a USB device's sysfs path). The
// reason of a refusal is written into why. A null connection answers MM_ABSENT.
int mm_InhibitDevice(MmConnection* connection, const char* uid, int inhibit, char* why,
                     size_t whyCapacity);

// Drops the connection (ModemManager then releases whatever it still holds for it).
void mm_Disconnect(MmConnection* connection);

#endif
