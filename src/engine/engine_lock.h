// The engine's one lock: held while a mode command is sent and the port closed, for each
// reopen attempt after a mode switch, and for the whole AT%LOAD exchange.
#ifndef MODEMFLASH_ENGINE_ENGINE_LOCK_H
#define MODEMFLASH_ENGINE_ENGINE_LOCK_H

#include "platform/lock.h"

// Created free when the library is loaded.
PlatformLock* engine_ModeSwitchLock(void);

#endif
