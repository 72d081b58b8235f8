#include "platform/socket_wait.h"

#include <errno.h>
#include <poll.h>

int sock_Wait(int socket, int forRead, int forWrite, int timeoutMs) {
    if (socket < 0) {
        errno = EBADF;
        return -1;
    }
    struct pollfd p;
    p.fd = socket;
    p.events = static_cast<short>((forRead ? POLLIN : 0) | (forWrite ? POLLOUT : 0));
    p.revents = 0;
    int rc;
    do {
        rc = poll(&p, 1, timeoutMs < 0 ? 0 : timeoutMs);
    } while (rc < 0 && errno == EINTR);
    if (rc < 0) return -1;
    return rc > 0 ? 1 : 0;
}
