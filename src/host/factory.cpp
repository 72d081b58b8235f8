#include "host/factory.h"

#include <new>

#include "host/downloader.h"
#include "platform/clock.h"

namespace {
// The process's one downloader; it lives until the process ends.
CDownloader* g_downloader = nullptr;
}  // namespace

IDownloader* host_CreateDownloader(void) {
    // A time scale shortens the pauses a real modem needs: never let it pass unnoticed.
    clk_AnnounceScale();
    if (g_downloader == nullptr) g_downloader = new (std::nothrow) CDownloader();
    return g_downloader;
}
