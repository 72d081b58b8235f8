#include "engine/engine_lock.h"

namespace {
// Created when the library is loaded, before any caller can reach the engine.
PlatformLock* const g_modeSwitchLock = lock_Create();
}  // namespace

PlatformLock* engine_ModeSwitchLock(void) {
    return g_modeSwitchLock;
}
