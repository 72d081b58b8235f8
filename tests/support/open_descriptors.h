// The number of descriptors the process has open (Linux), for the tests, fuzz targets and
// benchmarks that check an update closes what it opened. Header-only: the fuzz targets take
// it without the rest of the test support.
#ifndef MODEMFLASH_TESTS_OPEN_DESCRIPTORS_H
#define MODEMFLASH_TESTS_OPEN_DESCRIPTORS_H

#include <dirent.h>

namespace testsupport {

// The open descriptors, the listing's own not counted; -1 when they cannot be listed.
inline int openDescriptors() {
    DIR* d = opendir("/proc/self/fd");
    if (d == nullptr) return -1;
    int n = 0;
    while (dirent* e = readdir(d))
        if (e->d_name[0] != '.') ++n;
    closedir(d);
    return n - 1;
}

}  // namespace testsupport

#endif
