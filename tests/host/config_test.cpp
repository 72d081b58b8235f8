// The update configuration, the firmware file set and the file list of the downloader.
#include <gtest/gtest.h>
#include <limits.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <set>
#include <string>

#include "host/downloader.h"
#include "host/factory.h"
#include "platform/clock.h"
#include "support/test_support.h"

using testsupport::TempDir;

namespace {

const char* const kAllFiles[] = {
    "loader.wrapped",       "secondary_boot.wrapped", "factory_tests.wrapped", "modem.wrapped",
    "mass_storage.wrapped", "nocd.iso.wrapped",       "productConfig.bin"};

class FirmwareFolder : public ::testing::Test {
  protected:
    TempDir dir;
    CDownloader downloader;

    void config(const std::string& value) {
        dir.write("update_config.ini", "[update flag]\nupdate_cat=" + value + "\n");
    }
    void allFiles() {
        for (const char* f : kAllFiles) dir.write(f, "AB");
    }
    bool set() { return downloader.SetFirmwareFolder(dir.path().c_str()); }
    std::string path(const char* name) const { return dir.path() + "\\" + name; }

    // The names of the files opened in the folder while f runs.
    template <class F>
    std::set<std::string> opened(F f) {
        int fd = inotify_init1(IN_NONBLOCK);
        inotify_add_watch(fd, dir.path().c_str(), IN_OPEN);
        f();
        std::set<std::string> names;
        alignas(inotify_event) char buf[8192];
        ssize_t n;
        while ((n = read(fd, buf, sizeof buf)) > 0) {
            for (char* p = buf; p < buf + n;) {
                auto* e = reinterpret_cast<inotify_event*>(p);
                if (e->len) names.insert(e->name);
                p += sizeof(inotify_event) + e->len;
            }
        }
        close(fd);
        return names;
    }
};

TEST_F(FirmwareFolder, NoConfigurationOrMinusOneSelectsNothing) {
    allFiles();
    EXPECT_FALSE(set());
    config("-1");
    EXPECT_FALSE(set());
    EXPECT_EQ(downloader.BuildFileList(), "");
}

TEST_F(FirmwareFolder, FirmwareCategoryWithAllFilesIsUsable) {
    config("7");
    allFiles();
    EXPECT_TRUE(set());
    EXPECT_EQ(downloader.BuildFileList(),
              path("loader.wrapped") + ";" + path("secondary_boot.wrapped") + ";" +
                  path("factory_tests.wrapped") + ";" + path("modem.wrapped") + ";" +
                  path("mass_storage.wrapped"));
}

TEST_F(FirmwareFolder, AOneByteLoaderStopsTheCheckThere) {
    config("7");
    allFiles();
    dir.write("loader.wrapped", "A");
    std::set<std::string> names = opened([&] { EXPECT_FALSE(set()); });
    EXPECT_TRUE(names.count("factory_tests.wrapped"));
    EXPECT_TRUE(names.count("loader.wrapped"));
    EXPECT_FALSE(names.count("mass_storage.wrapped"));
    EXPECT_FALSE(names.count("modem.wrapped"));
    EXPECT_FALSE(names.count("secondary_boot.wrapped"));
}

TEST_F(FirmwareFolder, AMissingCdImageStillLetsTheProductConfigurationBeTested) {
    config("8;9");
    dir.write("productConfig.bin", "AB");
    std::set<std::string> names = opened([&] { EXPECT_FALSE(set()); });
    EXPECT_TRUE(names.count("productConfig.bin"));
    EXPECT_EQ(downloader.BuildFileList(),
              path("nocd.iso.wrapped") + ";" + path("productConfig.bin"));
}

TEST_F(FirmwareFolder, CategoryOrderDoesNotMatter) {
    allFiles();
    config("9;7");
    CDownloader other;
    EXPECT_TRUE(set());
    config("7;9");
    EXPECT_TRUE(other.SetFirmwareFolder(dir.path().c_str()));
    EXPECT_EQ(downloader.BuildFileList(), other.BuildFileList());
}

TEST_F(FirmwareFolder, AnEmptyValueChoosesNothingAndSucceeds) {
    config("");
    std::set<std::string> names = opened([&] { EXPECT_TRUE(set()); });
    EXPECT_EQ(names, std::set<std::string>{"update_config.ini"});
    EXPECT_EQ(downloader.BuildFileList(), "");
}

TEST_F(FirmwareFolder, UnusedCategoriesTestNothing) {
    config("1;2;3");
    EXPECT_TRUE(set());
    EXPECT_EQ(downloader.BuildFileList(), "");
}

TEST_F(FirmwareFolder, CategoriesAddUpAcrossCalls) {
    allFiles();
    config("7");
    EXPECT_TRUE(set());
    config("9");
    EXPECT_TRUE(set());
    EXPECT_EQ(downloader.CategoryFlags()[7], 1);
    EXPECT_EQ(downloader.CategoryFlags()[9], 1);
    EXPECT_EQ(downloader.BuildFileList().substr(downloader.BuildFileList().rfind(';') + 1),
              path("productConfig.bin"));
}

TEST_F(FirmwareFolder, NumbersOutsideTheTableAreIgnored) {
    allFiles();
    config("-5;12;99;garbage;9");
    EXPECT_TRUE(set());
    for (int i = 0; i < CATEGORY_COUNT; ++i)
        EXPECT_EQ(downloader.CategoryFlags()[i], i == 9 || i == 0 ? 1 : 0) << i;
    EXPECT_EQ(downloader.BuildFileList(), path("productConfig.bin"));
}

TEST_F(FirmwareFolder, AllThreeCategoriesListSevenFilesLoaderFirst) {
    allFiles();
    config("7;8;9");
    EXPECT_TRUE(set());
    std::string list = downloader.BuildFileList();
    EXPECT_EQ(std::count(list.begin(), list.end(), ';'), 6);
    EXPECT_EQ(list.rfind(path("loader.wrapped"), 0), 0u);
    EXPECT_EQ(list.substr(list.size() - path("productConfig.bin").size()),
              path("productConfig.bin"));
}

// Paths are composed only after the configuration was read: a folder that is too long, or
// whose configuration selects nothing or is missing, leaves the earlier paths in place.
TEST_F(FirmwareFolder, ARefusedFolderComposesNoPath) {
    allFiles();
    config("7");
    ASSERT_TRUE(set());
    std::string before = downloader.BuildFileList();
    std::string longFolder(233, 'f');  // 233 + "\" + "secondary_boot.wrapped" does not fit 255
    EXPECT_FALSE(downloader.SetFirmwareFolder(longFolder.c_str()));
    EXPECT_FALSE(downloader.SetFirmwareFolder(nullptr));
    TempDir other;
    for (const char* f : kAllFiles) other.write(f, "AB");
    EXPECT_FALSE(downloader.SetFirmwareFolder(other.path().c_str()));  // no configuration
    other.write("update_config.ini", "[update flag]\nupdate_cat=-1\n");
    EXPECT_FALSE(downloader.SetFirmwareFolder(other.path().c_str()));
    EXPECT_EQ(downloader.BuildFileList(), before);
}

TEST(SplitToIntegers, EverySeparatorStartsAPiece) {
    EXPECT_EQ(SplitToIntegers("", ';'), std::vector<int>{0});
    EXPECT_EQ(SplitToIntegers("7;", ';'), (std::vector<int>{7, 0}));
    EXPECT_EQ(SplitToIntegers(";7", ';'), (std::vector<int>{0, 7}));
    EXPECT_EQ(SplitToIntegers("7;;8", ';'), (std::vector<int>{7, 0, 8}));
    EXPECT_EQ(SplitToIntegers(" 9; -1;x", ';'), (std::vector<int>{9, -1, 0}));
}

TEST(SplitToIntegers, ANumberBeyondIntNeverWrapsIntoACategory) {
    // 4294967303 is 2^32 + 7: wrapped to int it would choose category 7.
    EXPECT_EQ(SplitToIntegers("4294967303;-4294967289;99999999999999999999", ';'),
              (std::vector<int>{INT_MAX, INT_MIN, INT_MAX}));
}

TEST(UsableFile, OnlyARegularFileOfTwoBytesOrMore) {
    TempDir dir;
    dir.write("one", "A");
    dir.write("two", "AB");
    ASSERT_EQ(mkdir(dir.file("loader.wrapped").c_str(), 0755), 0);
    const struct {
        const char* name;
        const char* problem;
    } cases[] = {{"missing", "missing"},
                 {"one", "shorter than 2 bytes"},
                 {"two", nullptr},
                 {"loader.wrapped", "not a regular file"}};
    for (const auto& c : cases) {
        std::string path = dir.path() + "\\" + c.name;  // as the downloader composes it
        const char* problem = FirmwareFileProblem(path.c_str());
        EXPECT_STREQ(problem ? problem : "(usable)", c.problem ? c.problem : "(usable)") << c.name;
        EXPECT_EQ(IsUsableFile(path.c_str()), c.problem == nullptr) << c.name;
    }
}

TEST_F(FirmwareFolder, ADirectoryNamedLikeAFirmwareFileIsRefused) {
    config("9");
    ASSERT_EQ(mkdir(dir.file("productConfig.bin").c_str(), 0755), 0);
    EXPECT_FALSE(set());
}

TEST(Factory, CreateHandsOutOneObject) {
    IDownloader* a = host_CreateDownloader();
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a, host_CreateDownloader());
    EXPECT_TRUE(a->Reserved(12345));
}

TEST(Factory, SetSinkPausesElevenMilliseconds) {
    clk_SetScale(1);
    CDownloader d;
    int64_t start = clk_RealNowUs();
    EXPECT_TRUE(d.SetSink(nullptr));
    EXPECT_GE(clk_RealNowUs() - start, 11000);
}

}  // namespace
