// The modem's identification answers and port names, exported where hosts cannot link the
// engine (Linux; the Windows DLL exports Create alone).
#include "modemflash/port_record.h"

#include <string.h>

#include "engine/mode.h"
#include "engine/port_context.h"

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

extern "C" MODEMFLASH_API int modemflash_InitAnswer(int portIndex, int mode, const char* command,
                                                    char* text, size_t capacity) {
    return copyOut(mode_InitAnswer(portIndex, mode, command), text, capacity);
}

extern "C" MODEMFLASH_API int modemflash_PortNames(int portIndex, char* text, size_t capacity) {
    if (ctx_Get(portIndex) == nullptr) return -1;
    return copyOut(ctx_PortNamesSeen(portIndex), text, capacity);
}
