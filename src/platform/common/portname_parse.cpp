#include <ctype.h>

#include "platform/portname.h"

int portname_ParseCom(const char* name) {
    if (name == nullptr) return 0;
    if (toupper(static_cast<unsigned char>(name[0])) != 'C' ||
        toupper(static_cast<unsigned char>(name[1])) != 'O' ||
        toupper(static_cast<unsigned char>(name[2])) != 'M')
        return 0;
    int n = 0;
    const char* p = name + 3;
    if (*p < '1' || *p > '9') return 0;
    for (; *p; ++p) {
        if (!isdigit(static_cast<unsigned char>(*p))) return 0;
        n = n * 10 + (*p - '0');
        if (n > 255) return 0;
    }
    return n;
}
