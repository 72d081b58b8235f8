#include "platform/env.h"

#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

const char* env_Get(const char* name) {
    return getenv(name);
}

int env_Set(const char* name, const char* value) {
    if (value == nullptr) return unsetenv(name) == 0 ? 1 : 0;
    return setenv(name, value, 1) == 0 ? 1 : 0;
}

int env_IsTerminal(int stream) {
    return (stream == 1 || stream == 2) && isatty(stream) ? 1 : 0;
}

int env_MachineName(char* out, size_t capacity) {
    if (out == nullptr || capacity == 0) return 0;
    char name[256];
    if (gethostname(name, sizeof name) != 0) return 0;
    name[sizeof name - 1] = '\0';
    snprintf(out, capacity, "%s", name);
    return 1;
}

int env_StateDir(char* out, size_t capacity) {
    if (out == nullptr || capacity == 0) return 0;
    const char* xdg = getenv("XDG_STATE_HOME");
    int n;
    if (xdg != nullptr && xdg[0] == '/') {
        n = snprintf(out, capacity, "%s", xdg);
    } else {
        const char* home = getenv("HOME");
        if (home == nullptr || home[0] == '\0') return 0;
        n = snprintf(out, capacity, "%s/.local/state", home);
    }
    return n > 0 && static_cast<size_t>(n) < capacity ? 1 : 0;
}

int env_TerminalControls(int stream) {
    return env_IsTerminal(stream);
}
