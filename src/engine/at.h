// The AT command exchange: one command out, the answer collected until its final marker.
#ifndef MODEMFLASH_ENGINE_AT_H
#define MODEMFLASH_ENGINE_AT_H

#include <stdint.h>

#include "report/printf_format.h"

#define AT_OK_MARKER "\r\nOK\r\n"
#define AT_ERROR_MARKER "\r\nERROR\r\n"
#define AT_MAX_FAILED_READS 5000

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

// The NUL-terminated text of the last answer on the port (its rxBuf); "" for a bad index.
const char* at_Response(int port);

// Pauses the calling thread for whole seconds (scaled clock).
void sys_Sleep(int seconds);

#endif
