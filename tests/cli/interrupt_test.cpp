// Ctrl-C handling: the counting and the watch, in this process.
#include "cli/system/interrupt.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "modemflash/downloader.h"

namespace {

TEST(Interrupt, EachSignalIsCountedAndReportedOnceInOrderWithoutEndingTheProcess) {
    intr_Install();
    std::mutex m;  // guards calls
    std::vector<int> calls;
    int before = intr_Count();
    {
        InterruptWatch watch([&](int count) {
            std::lock_guard<std::mutex> lock(m);
            calls.push_back(count);
        });
        raise(SIGINT);
        raise(SIGTERM);
        for (int i = 0; i < 200; ++i) {
            {
                std::lock_guard<std::mutex> lock(m);
                if (calls.size() >= 2) break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    EXPECT_EQ(intr_Count(), before + 2);
    EXPECT_EQ(calls, (std::vector<int>{before + 1, before + 2}));
}

TEST(Interrupt, ANoticeNamesWhatStoppingLeavesBehindInEachPhase) {
    struct Case {
        int lastEvent;
        const char* says;
    } cases[] = {
        {INTR_NO_EVENT, "as it was"},
        {EVENT_CLOSE_AUTORUN, "modem mode with its autorun possibly off"},
        {EVENT_ENTER_DOWNLOAD_MODE, "loader mode"},
        {EVENT_MODEM, "loader mode with modem.wrapped half written"},
        {EVENT_NOCD_ISO, "loader mode with nocd.iso.wrapped half written"},
        {EVENT_RESET_TO_MODEM, "on its way back to modem mode"},
        {EVENT_SUCCESS, "the modem updated"},
        {EVENT_UNKNOWN, "unknown state"},
    };
    for (const Case& c : cases) {
        std::string text = intr_LeftBehind(c.lastEvent);
        EXPECT_NE(text.find(c.says), std::string::npos) << c.lastEvent << ": " << text;
    }
    char buffer[512] = {};
    FILE* f = fmemopen(buffer, sizeof buffer - 1, "w");
    intr_PrintNotice(intr_LeftBehind(EVENT_MODEM), f);
    fclose(f);
    EXPECT_NE(std::string(buffer).find("interrupt: stopping now would leave the modem in loader "
                                       "mode with modem.wrapped half written"),
              std::string::npos)
        << buffer;
    EXPECT_NE(std::string(buffer).find("press Ctrl-C again to stop"), std::string::npos);
}

}  // namespace
