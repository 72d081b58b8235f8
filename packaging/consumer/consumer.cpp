// A minimal host: links the library, takes the downloader and calls through its table.
#include <modemflash/downloader.h>
#include <stdio.h>

int main() {
    IDownloader* downloader = Create();
    if (downloader == nullptr) {
        puts("consumer: Create gave no downloader");
        return 1;
    }
    if (Create() != downloader) {
        puts("consumer: Create gave two objects");
        return 1;
    }
    if (!downloader->Reserved(7)) {
        puts("consumer: Reserved answered false");
        return 1;
    }
    puts("consumer: Create and Reserved work");
    return 0;
}
