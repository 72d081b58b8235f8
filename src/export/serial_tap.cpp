// The serial tap of the library's own serial service, for the host program built with it
// (`modemflash flash --record`): Linux only, as the Windows DLL exports Create alone.
#include "platform/serial_tap.h"

#include "modemflash/downloader.h"

extern "C" MODEMFLASH_API int modemflash_SetSerialTap(int version, SerialTapFunction tap,
                                                      void* context) {
    if (version != SERIAL_TAP_VERSION) return 0;
    serial_SetTap(tap, context);
    return 1;
}
