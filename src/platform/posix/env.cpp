#include "platform/env.h"

#include <stdlib.h>
#include <unistd.h>

const char* env_Get(const char* name) {
    return getenv(name);
}

int env_Set(const char* name, const char* value) {
    if (value == nullptr) return unsetenv(name) == 0 ? 1 : 0;
    return setenv(name, value, 1) == 0 ? 1 : 0;
}

int env_IsTerminal(int stream) { return (stream == 1 || stream == 2) && isatty(stream) ? 1 : 0; }
