// Stream diversion is not offered on Windows: the library's own C runtime holds its streams.
#include "platform/stream.h"

StreamDivert* stream_Divert(int, StreamLineFunction, void*) {
    return nullptr;
}

FILE* stream_Original(StreamDivert*) {
    return nullptr;
}

void stream_Restore(StreamDivert*) {}
