// On Windows a COM port is the device \\.\COM<n>; there are no tty names.
#include "platform/portname.h"

#include <stdio.h>

const char* portname_DevRoot(void) {
    return "\\\\.\\";
}

int portname_ComNumberOfTty(const char*) {
    return 0;
}

int portname_TtyOfComNumber(int, char* buffer, size_t capacity) {
    if (buffer != nullptr && capacity > 0) buffer[0] = '\0';
    return 0;
}

int portname_DevicePath(const char* name, char* buffer, size_t capacity) {
    if (name == nullptr || buffer == nullptr || capacity == 0) return 0;
    int com = portname_ParseCom(name);
    // The device namespace prefix reaches every COM number; without it only COM1..COM9 open.
    int n = com > 0 ? snprintf(buffer, capacity, "\\\\.\\COM%d", com)
                    : snprintf(buffer, capacity, "%s", name);
    if (n <= 0 || static_cast<size_t>(n) >= capacity) {
        buffer[0] = '\0';
        return 0;
    }
    return 1;
}
