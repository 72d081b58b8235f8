// Environment service.
#ifndef MODEMFLASH_PLATFORM_ENV_H
#define MODEMFLASH_PLATFORM_ENV_H

#include <stddef.h>

// The value of an environment variable, or null.
const char* env_Get(const char* name);
// Sets (value non-null) or removes (null) a variable of the process; 1 on success.
int env_Set(const char* name, const char* value);
// 1 when the standard stream (1 output, 2 error) is a terminal (a console on Windows).
int env_IsTerminal(int stream);
// 1 when the terminal behind the stream (1 output, 2 error) acts on the control sequences that
// redraw lines in place (cursor up, erase line): a POSIX terminal; a Windows console that takes
// virtual terminal processing (switched on here). 0 otherwise (not a terminal, or an older
// console that would print the sequences as text).
int env_TerminalControls(int stream);
// The machine's name (host name). 1 with the name in out (cut to capacity - 1), else 0.
int env_MachineName(char* out, size_t capacity);
// The user's directory for state that programs keep between runs: $XDG_STATE_HOME when it is
// an absolute path, else $HOME/.local/state (POSIX); %LOCALAPPDATA% (Windows). 1 with the
// directory in out, 0 when the environment names none or it does not fit.
int env_StateDir(char* out, size_t capacity);

#endif
