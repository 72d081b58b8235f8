// Diverting a standard stream of the process, so that a host can rework what the library
// writes there (the library shares the process's streams and writes its lines itself).
#ifndef MODEMFLASH_PLATFORM_STREAM_H
#define MODEMFLASH_PLATFORM_STREAM_H

#include <stddef.h>
#include <stdio.h>

// Receives one line with its '\n' (the last one may lack it), on the diversion's own thread,
// with the stream's former target to write it to.
typedef void (*StreamLineFunction)(void* user, FILE* original, const char* line, size_t length);

struct StreamDivert;

// Points the process's stream (1 output, 2 error) at a pipe whose lines a thread of the
// diversion hands to fn, one call at a time. The stream's former target is written through
// stream_Original. Null when the platform cannot divert the stream (it is left as it was).
StreamDivert* stream_Divert(int stream, StreamLineFunction fn, void* user);

// The stream's former target, for the host's own output while the stream is diverted.
FILE* stream_Original(StreamDivert* divert);

// Flushes and puts the stream back, hands the last lines to fn, waits for the thread and
// frees the diversion. Null is accepted.
void stream_Restore(StreamDivert* divert);

#endif
