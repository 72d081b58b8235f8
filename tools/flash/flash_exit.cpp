// The exit status of `modemflash flash` and its result in words.
#include "cli/flash/flash_exit.h"

#include "modemflash/downloader.h"
#include "report/job_observer.h"

namespace cli {

const char kFlashExitFooter[] =
    "Exit status:\n"
    "  0  the modem was updated and is back in modem mode with autorun on\n"
    "  1  the library could not be loaded\n"
    "  2  the command line was not understood\n"
    "  3  the firmware folder was refused (configuration or files; the reason is printed)\n"
    "  4  the update failed: no modem answered the probe, a step failed, or the modem's port\n"
    "     may not be opened by this user (the fix is printed)\n"
    "  5  the modem refused to program an archive\n"
    "  6  an archive could not be transferred\n"
    "  7  the modem could not be switched between modes, or its port did not come back\n"
    "  8  the modem is busy: another process is updating it (which process, since when, is\n"
    "     printed), or another program holds its port open; nothing was sent to it\n"
    "  130  stopped by a second Ctrl-C (the first one only says what stopping would leave)\n";

int flashExitFor(int result) {
    switch (result) {
        case DOWNLOAD_OK:
            return FLASH_OK;
        case DOWNLOAD_PROGRAM_FAILED:
            return FLASH_PROGRAM_FAILED;
        case DOWNLOAD_TRANSFER_FAILED:
            return FLASH_TRANSFER_FAILED;
        case DOWNLOAD_MODE_FAILED:
            return FLASH_MODE_FAILED;
        default:
            return FLASH_FAILED;
    }
}

int flashExitFor(int result, int failedStep) {
    if (result != DOWNLOAD_OK &&
        (failedStep == JOB_STEP_MODEM_LOCKED || failedStep == JOB_STEP_PORT_BUSY))
        return FLASH_BUSY;
    return flashExitFor(result);
}

}  // namespace cli
