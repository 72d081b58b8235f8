// The modem's identification answers and port names, exported where hosts cannot link the
// engine (Linux; the Windows DLL exports Create alone).
#include "modemflash/port_record.h"

#include "host/host_record.h"

extern "C" MODEMFLASH_API int modemflash_InitAnswer(int portIndex, int mode, const char* command,
                                                    char* text, size_t capacity) {
    return host_InitAnswer(portIndex, mode, command, text, capacity);
}

extern "C" MODEMFLASH_API int modemflash_PortNames(int portIndex, char* text, size_t capacity) {
    return host_PortNames(portIndex, text, capacity);
}
