#include "host/factory.h"

// Replaced by the downloader object once it exists.
IDownloader* host_CreateDownloader(void) { return nullptr; }
