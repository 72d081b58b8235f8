// The POSIX profile reader on what a user may leave in a firmware folder: a byte-order mark,
// lone CR line ends, long lines, files that are not regular, files of more than 1 MiB.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <string>

#include "platform/profile.h"
#include "support/test_support.h"

namespace {

class PosixProfile : public ::testing::Test {
  protected:
    testsupport::TempDir dir;
    std::string get(const char* section, const char* key, size_t capacity = 40) {
        char out[64];
        profile_GetString(section, key, "-1", out, capacity, dir.file("update_config.ini").c_str());
        return out;
    }
};

TEST_F(PosixProfile, AByteOrderMarkLoneCarriageReturnsAndLongLinesAreRead) {
    dir.write("update_config.ini", "\xEF\xBB\xBF[update flag]\rupdate_cat=7;9\r");
    EXPECT_EQ(get("update flag", "update_cat"), "7;9");
    dir.write("update_config.ini", "[update flag]\n; " + std::string(5000, 'x') +
                                       "\nupdate_cat=" + std::string(5000, '8'));
    EXPECT_EQ(get("update flag", "update_cat"), std::string(39, '8'));
}

// Readers that open first hang on these; each case runs on a thread the test gives 5 s.
TEST_F(PosixProfile, WhatIsNotARegularFileIsNotOpened) {
    std::string ini = dir.file("update_config.ini");
    ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0600), 0);
    const std::string targets[] = {dir.file("fifo"), dir.path()};
    for (const std::string& target : targets) {
        unlink(ini.c_str());
        ASSERT_EQ(symlink(target.c_str(), ini.c_str()), 0);
        auto reading =
            std::async(std::launch::async, [&] { return get("update flag", "update_cat"); });
        if (reading.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
            ADD_FAILURE() << "reading through a link to " << target << " hangs";
            _exit(1);  // the reader cannot be stopped; do not hang the suite
        }
        EXPECT_EQ(reading.get(), "-1") << target;
    }
}

TEST_F(PosixProfile, AtMostOneMebibyteIsRead) {
    dir.write("update_config.ini",
              std::string(1024 * 1024, '\n') + "[update flag]\nupdate_cat=7\n");
    testsupport::CapturedStream err(2);
    EXPECT_EQ(get("update flag", "update_cat"), "-1");
    EXPECT_NE(err.text().find("only its first 1048576 bytes are read"), std::string::npos);
}

}  // namespace
