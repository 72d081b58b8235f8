// Windows grants a COM port to whoever opens it first: there is no group to join, and the
// library finds its ports in the registry, not by a device path.
#include "platform/device.h"

int dev_UsbDevicePath(const char*, char*, size_t) {
    return 0;
}

int dev_CheckAccess(const char*, char* group, size_t groupCapacity) {
    if (group && groupCapacity) group[0] = '\0';
    return DEV_ACCESS_OK;
}
