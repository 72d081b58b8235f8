// Socket wait service: how a client library's connection (the history server's) is waited
// for without blocking a thread beyond a bound.
#ifndef MODEMFLASH_PLATFORM_SOCKET_WAIT_H
#define MODEMFLASH_PLATFORM_SOCKET_WAIT_H

// Waits at most timeoutMs until the socket can be read (forRead) or written (forWrite), or
// has an error or hang-up to report. 1 when it is ready, 0 when the time ran out, -1 when
// the socket cannot be waited for (its last system error says why).
int sock_Wait(int socket, int forRead, int forWrite, int timeoutMs);

#endif
