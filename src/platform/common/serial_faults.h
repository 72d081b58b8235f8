// Shared by the serial backends: the failures that tests have injected.
#ifndef MODEMFLASH_PLATFORM_COMMON_SERIAL_FAULTS_H
#define MODEMFLASH_PLATFORM_COMMON_SERIAL_FAULTS_H

// 1 when the next call of the operation is to fail (and counts it), else 0.
int serial_TakeInjectedFailure(int operation);

#endif
