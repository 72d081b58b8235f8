// The USB identity every port of the simulated modem carries: Linux shows it as idVendor and
// idProduct in the simulated modem's sysfs tree, Windows as the Enum\USB\VID_F00D&PID_9001
// keys its scripts write (tests/wine/publish-com.sh). By it the library tells a simulated
// modem from a real one: a time scale is honoured for a simulated modem's port only.
#ifndef MODEMFLASH_PLATFORM_SIMULATED_MODEM_H
#define MODEMFLASH_PLATFORM_SIMULATED_MODEM_H

#define SIMULATED_MODEM_VENDOR_ID 0xF00Du
#define SIMULATED_MODEM_PRODUCT_ID 0x9001u
// The device key's name begins with this, on both systems ("VID_F00D&PID_9001&MI_02").
#define SIMULATED_MODEM_DEVICE_PREFIX "VID_F00D&PID_9001"

#endif
