// The Windows build has no history server client, the only user of this service.
#include "platform/socket_wait.h"

#include <windows.h>

int sock_Wait(int, int, int, int) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return -1;
}
