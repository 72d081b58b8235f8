// What the last Download learnt about the modem, copied out for hosts that keep a record of
// their updates (the library's exports in modemflash/port_record.h). Both return the text's
// length, or -1 when there is nothing to copy or the arguments are bad; a longer text is cut
// to capacity - 1 bytes.
#ifndef MODEMFLASH_HOST_HOST_RECORD_H
#define MODEMFLASH_HOST_HOST_RECORD_H

#include <stddef.h>

int host_InitAnswer(int portIndex, int mode, const char* command, char* text, size_t capacity);
int host_PortNames(int portIndex, char* text, size_t capacity);

#endif
