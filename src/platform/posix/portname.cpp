// COM numbers for POSIX tty names, and where the devices are looked up.
#include "platform/portname.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace {

struct TtyFamily {
    const char* prefix;
    int firstCom;
    int count;
};

const TtyFamily kFamilies[] = {
    {"ttyS", 1, 32},
    {"ttyUSB", 33, 32},
    {"ttyACM", 65, 191},
};

}  // namespace

const char* portname_DevRoot(void) {
    const char* root = getenv("MODEMFLASH_DEV_ROOT");
    return (root && *root) ? root : "/dev";
}

int portname_ComNumberOfTty(const char* ttyName) {
    if (ttyName == nullptr) return 0;
    for (const TtyFamily& f : kFamilies) {
        size_t len = strlen(f.prefix);
        if (strncmp(ttyName, f.prefix, len) != 0) continue;
        const char* digits = ttyName + len;
        if (*digits == '\0' || strlen(digits) > 3) return 0;
        int k = 0;
        for (const char* p = digits; *p; ++p) {
            if (*p < '0' || *p > '9') return 0;
            k = k * 10 + (*p - '0');
        }
        if (digits[0] == '0' && digits[1] != '\0') return 0;  // no leading zeros
        return k < f.count ? f.firstCom + k : 0;
    }
    return 0;
}

int portname_TtyOfComNumber(int comNumber, char* buffer, size_t capacity) {
    for (const TtyFamily& f : kFamilies) {
        if (comNumber >= f.firstCom && comNumber < f.firstCom + f.count) {
            int n = snprintf(buffer, capacity, "%s%d", f.prefix, comNumber - f.firstCom);
            return (n > 0 && static_cast<size_t>(n) < capacity) ? 1 : 0;
        }
    }
    return 0;
}

int portname_DevicePath(const char* name, char* buffer, size_t capacity) {
    if (name == nullptr || buffer == nullptr || capacity == 0) return 0;
    int com = portname_ParseCom(name);
    int n;
    if (com > 0) {
        char tty[32];
        if (!portname_TtyOfComNumber(com, tty, sizeof tty)) return 0;
        n = snprintf(buffer, capacity, "%s/%s", portname_DevRoot(), tty);
    } else {
        n = snprintf(buffer, capacity, "%s", name);
    }
    return (n > 0 && static_cast<size_t>(n) < capacity) ? 1 : 0;
}
