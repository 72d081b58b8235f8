// The process's one downloader, as Create hands it out.
#ifndef MODEMFLASH_HOST_FACTORY_H
#define MODEMFLASH_HOST_FACTORY_H

#include "modemflash/downloader.h"

// The same object on every call; null when it could not be allocated (the next call tries
// again).
IDownloader* host_CreateDownloader(void);

#endif
