// The AT command exchange: one command out, the answer collected until its final marker.
#ifndef MODEMFLASH_ENGINE_AT_H
#define MODEMFLASH_ENGINE_AT_H

#include <stdint.h>

#include "report/printf_format.h"

#define AT_OK_MARKER "\r\nOK\r\n"
#define AT_ERROR_MARKER "\r\nERROR\r\n"
#define AT_MAX_FAILED_READS 5000
#define AT_SLOW_ANSWER_S 10          // an answer not begun after this long is announced as a wait
#define AT_ALIVE_TIMEOUT_S 10        // at_CheckAlive: how long a silent modem is given to answer
#define AT_ALIVE_MIN_EMPTY_READS 30  // ... and at least this many empty reads (about 10 ms each)

// Formats the command (a printf format carrying its own "\r\n"; "%%" for a '%' meant for the
// modem) and collects the answer in the port's rxBuf. Returns
//   1  the answer holds "\r\nOK\r\n"
//   0  it holds "\r\nERROR\r\n" but not OK, or more than 5000 reads failed in a row
//  -1  the port's AT time-out ran out first (tested before the markers)
//  -2  the command could not be written
int at_Send(int port, const char* format, ...) MF_PRINTF(2, 3);

// Like at_Send with the caller's markers. A null format writes nothing; a null marker makes
// it return 1 right after the write without reading.
int at_SendExpect(int port, const char* successMarker, const char* failureMarker,
                  const char* format, ...) MF_PRINTF(4, 5);

// For a modem that let an exchange run out of time without a byte (the port context's
// `silent`): sends "AT" and waits up to AT_ALIVE_TIMEOUT_S (and at least about a second of
// reads) for any answer, so that a modem that has fallen silent costs seconds, not another
// whole AT time-out. 1 when it answered (its answer is dropped), 0 when not or when the port
// is not open. Announced as a wait (WAIT_ALIVE) naming the last command sent. A modem found
// silent (`silent` 2) is not asked again until it sends something.
int at_CheckAlive(int port);

// The NUL-terminated text of the last answer on the port (its rxBuf); "" for a bad index.
const char* at_Response(int port);

// Pauses the calling thread for whole seconds (scaled clock).
void sys_Sleep(int seconds);

#endif
