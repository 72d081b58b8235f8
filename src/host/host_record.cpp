// The modem's identification answers and port names, copied out for the library's hosts.
#include "host/host_record.h"

#include <string.h>

#include "engine/job.h"

namespace {

int copyOut(const char* value, char* text, size_t capacity) {
    if (value == nullptr || *value == '\0' || text == nullptr || capacity == 0) return -1;
    size_t n = strlen(value);
    if (n >= capacity) n = capacity - 1;
    memcpy(text, value, n);
    text[n] = '\0';
    return static_cast<int>(n);
}

}  // namespace

int host_InitAnswer(int portIndex, int mode, const char* command, char* text, size_t capacity) {
    return copyOut(dl_InitAnswer(portIndex, mode, command), text, capacity);
}

int host_PortNames(int portIndex, char* text, size_t capacity) {
    return copyOut(dl_PortNames(portIndex), text, capacity);
}
