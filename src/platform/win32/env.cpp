// Environment through the C runtime, whose _putenv_s also updates the process environment,
// so getenv and child processes see the same values.
#include "platform/env.h"

#include <stdlib.h>

const char* env_Get(const char* name) {
    return name ? getenv(name) : nullptr;
}

int env_Set(const char* name, const char* value) {
    if (name == nullptr || *name == '\0') return 0;
    // An empty value removes the variable on Windows, which has no empty variables.
    return _putenv_s(name, value ? value : "") == 0 ? 1 : 0;
}
