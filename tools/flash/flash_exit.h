// How `modemflash flash` ends: its exit status and the result in words, for one modem and
// for the station alike.
#ifndef MODEMFLASH_TOOLS_FLASH_EXIT_H
#define MODEMFLASH_TOOLS_FLASH_EXIT_H

namespace cli {

// Exit statuses of `flash`.
enum FlashExit {
    FLASH_OK = 0,
    FLASH_LIBRARY = 1,          // the library could not be loaded
    FLASH_FOLDER = 3,           // the firmware folder was refused
    FLASH_FAILED = 4,           // DOWNLOAD_FAILED: no modem answered, or the job failed
    FLASH_PROGRAM_FAILED = 5,   // DOWNLOAD_PROGRAM_FAILED
    FLASH_TRANSFER_FAILED = 6,  // DOWNLOAD_TRANSFER_FAILED
    FLASH_MODE_FAILED = 7,      // DOWNLOAD_MODE_FAILED
    FLASH_BUSY = 8              // another process updates the modem, or holds its port open
};

// The `flash` exit status of a host result (DOWNLOAD_*).
int flashExitFor(int result);
// The same with the step the update failed at (JobStep): FLASH_BUSY when the modem was
// another process's, or its port another program's.
int flashExitFor(int result, int failedStep);

// The exit statuses as the help of `flash` lists them.
extern const char kFlashExitFooter[];

}  // namespace cli

#endif
