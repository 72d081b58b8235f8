// No system bus on this system or in this build: there is no ModemManager to ask.
#include "platform/modem_manager.h"

MmConnection* mm_Connect(void) {
    return nullptr;
}

int mm_InhibitDevice(MmConnection*, const char*, int, char* why, size_t whyCapacity) {
    if (why && whyCapacity) why[0] = '\0';
    return MM_ABSENT;
}

void mm_Disconnect(MmConnection*) {}
