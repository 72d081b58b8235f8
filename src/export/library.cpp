// The library's one export on every platform: Create.
#include "host/factory.h"

extern "C" MODEMFLASH_API IDownloader* Create(void) {
    return host_CreateDownloader();
}
