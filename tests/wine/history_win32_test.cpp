// The update history on Windows: SQLite takes UTF-8 file names, while the history's folder
// comes in the ANSI code page (%LOCALAPPDATA% of a user whose name has an accent).
#include <gtest/gtest.h>
#include <windows.h>

#include <filesystem>
#include <string>
#include <vector>

#include "history/history_store.h"

namespace {

TEST(Win32History, AFolderNamedInTheAnsiCodePageHoldsTheHistory) {
    if (GetACP() != 1252) GTEST_SKIP() << "the test's folder name is in code page 1252";
    char temp[MAX_PATH];
    ASSERT_GT(GetTempPathA(sizeof temp, temp), 0u);
    // "Jos\xe9" is "José" in code page 1252.
    std::string folder =
        std::string(temp) + "mf-history-Jos\xe9-" + std::to_string(GetCurrentProcessId());
    std::string path = folder + "\\modemflash\\history.sqlite3";
    std::string notice, error;
    {
        std::unique_ptr<IHistoryStore> store = history_OpenStore(path, &notice, &error);
        ASSERT_NE(store, nullptr) << error;
        HistoryUpdate u;
        u.startedMs = 1000;
        u.folder = "C:\\fw";
        int64_t id = store->BeginUpdate(u, &error);
        ASSERT_GT(id, 0) << error;
        std::vector<HistoryUpdate> found;
        ASSERT_TRUE(store->Query(HistoryFilter(), &found, &error)) << error;
        ASSERT_EQ(found.size(), 1u);
        EXPECT_EQ(found[0].folder, "C:\\fw");
    }
    // The file is where the ANSI name says, not under a name of mistaken bytes.
    EXPECT_NE(GetFileAttributesA(path.c_str()), INVALID_FILE_ATTRIBUTES);
    std::error_code ec;
    std::filesystem::remove_all(folder, ec);
}

}  // namespace
