// Shared by the serial backends: the failures that tests have injected.
#ifndef MODEMFLASH_PLATFORM_COMMON_SERIAL_FAULTS_H
#define MODEMFLASH_PLATFORM_COMMON_SERIAL_FAULTS_H

// 1 when the call is to fail: the serial fault seam's armed call (platform/fault.h), or the
// next of the operation's injected failures (counted). SERIAL_OP_COUNT: a call that no test
// injects failures for, which passes the seam alone.
int serial_TakeInjectedFailure(int operation);

#endif
