// Environment service.
#ifndef MODEMFLASH_PLATFORM_ENV_H
#define MODEMFLASH_PLATFORM_ENV_H

// The value of an environment variable, or null.
const char* env_Get(const char* name);
// Sets (value non-null) or removes (null) a variable of the process; 1 on success.
int env_Set(const char* name, const char* value);
// 1 when the standard stream (1 output, 2 error) is a terminal (a console on Windows).
int env_IsTerminal(int stream);

#endif
