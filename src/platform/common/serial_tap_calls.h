// What the serial backends call so that a serial tap (serial_tap.h) sees each operation. Every
// call does nothing, at the cost of one load, while no tap is set.
#ifndef MODEMFLASH_PLATFORM_COMMON_SERIAL_TAP_CALLS_H
#define MODEMFLASH_PLATFORM_COMMON_SERIAL_TAP_CALLS_H

#include <stddef.h>
#include <stdint.h>

#include "platform/serial_tap.h"

// True while a tap is set.
bool serialtap_On();
// Tells the tap, if one is set.
void serialtap_Tell(const SerialTapEvent& e);

void serialtap_Open(const char* name, int flags, SerialHandle h, int error, bool absent);
// For the calls with a plain 1 / 0 result: op is SERIAL_TAP_CLOSE, _PURGE (flags), _QUEUES
// or _EVENT_MASK (value, value2).
void serialtap_Result(int op, SerialHandle h, int result, int error, int flags = 0,
                      uint32_t value = 0, uint32_t value2 = 0);
void serialtap_Line(SerialHandle h, const SerialLine* line, int result, int error);
void serialtap_Timeouts(SerialHandle h, const SerialTimeouts* t, int result, int error);
// A write's result: the count written or -1 (gone: the device has gone).
void serialtap_Write(SerialHandle h, const void* data, size_t count, int result, int error,
                     bool gone);
// A read's result; told only when it brought bytes or failed.
void serialtap_Read(SerialHandle h, const void* data, size_t capacity, int result, int error,
                    bool gone);
void serialtap_Gone(SerialHandle h);

#endif
