// Device facts from sysfs and from the device node's owner and mode.
#include "platform/device.h"

#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "platform/env.h"
#include "platform/portname.h"

namespace {

const int kMaxWalkUp = 8;  // a tty sits a few levels below its usb_interface

bool isUsbInterface(const std::string& dir) {
    FILE* f = fopen((dir + "/uevent").c_str(), "re");
    if (f == nullptr) return false;
    char line[256];
    bool found = false;
    while (!found && fgets(line, sizeof line, f))
        found = strncmp(line, "DEVTYPE=usb_interface", 21) == 0;
    fclose(f);
    return found;
}

}  // namespace

int dev_UsbDevicePath(const char* portName, char* buffer, size_t capacity) {
    char tty[32];
    int com = portname_ParseCom(portName);
    if (com == 0 || !portname_TtyOfComNumber(com, tty, sizeof tty)) return 0;
    const char* root = env_Get("MODEMFLASH_SYSFS_ROOT");
    std::string link = std::string(root && *root ? root : "/sys") + "/class/tty/" + tty + "/device";
    char resolved[PATH_MAX];
    if (realpath(link.c_str(), resolved) == nullptr) return 0;
    std::string dir = resolved;
    for (int level = 0; level < kMaxWalkUp && dir.size() > 1; ++level) {
        if (isUsbInterface(dir)) {
            std::string device = dir.substr(0, dir.find_last_of('/'));
            if (device.empty() || device.size() >= capacity) return 0;
            memcpy(buffer, device.c_str(), device.size() + 1);
            return 1;
        }
        dir = dir.substr(0, dir.find_last_of('/'));
    }
    return 0;
}

int dev_CheckAccess(const char* path, char* group, size_t groupCapacity) {
    if (group && groupCapacity) group[0] = '\0';
    struct stat st;
    if (stat(path, &st) != 0) return DEV_ACCESS_ABSENT;
    // access() asks with the real user and groups: those of the person running the command.
    if (access(path, R_OK | W_OK) == 0) return DEV_ACCESS_OK;
    if (errno != EACCES && errno != EPERM)
        return errno == ENOENT ? DEV_ACCESS_ABSENT : DEV_ACCESS_OK;
    if (group && groupCapacity) {
        struct group entry;
        struct group* found = nullptr;
        char scratch[4096];
        if (getgrgid_r(st.st_gid, &entry, scratch, sizeof scratch, &found) == 0 && found)
            snprintf(group, groupCapacity, "%s", found->gr_name);
        else
            snprintf(group, groupCapacity, "%u", static_cast<unsigned>(st.st_gid));
    }
    return DEV_ACCESS_DENIED;
}
