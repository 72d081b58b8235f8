#include "host/factory.h"

#include <new>

#include "host/downloader.h"

namespace {
// The process's one downloader; it lives until the process ends.
CDownloader* g_downloader = nullptr;
}  // namespace

IDownloader* host_CreateDownloader(void) {
    if (g_downloader == nullptr) g_downloader = new (std::nothrow) CDownloader();
    return g_downloader;
}
