// The command-line host as a user runs it: the built `modemflash` program started as a child
// through the shell, with its standard output and standard error captured together, in a
// private device tree that holds a small sample firmware set.
#ifndef MODEMFLASH_TESTS_COMMAND_TEST_H
#define MODEMFLASH_TESTS_COMMAND_TEST_H

#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "support/test_support.h"

namespace testsupport {

struct CommandRun {
    int status;       // the exit status, -1 when the program did not exit by itself
    std::string out;  // standard output and standard error, as they came
};

// Runs `env program args` through the shell; env is a list of NAME=value words, or empty.
CommandRun runCommand(const std::string& program, const std::string& args, const std::string& env);

// A temporary root with empty dev/ and sys/ trees for the simulated modems, the sample
// firmware set in fw/, and an environment that points the program at both trees and at a
// private state folder (where the default update history lives).
class CommandTest : public ::testing::Test {
  protected:
    explicit CommandTest(std::string program) : program_(std::move(program)) {}
    void SetUp() override;
    // Runs the program with `args`, with `vars` (NAME=value words) set for it: the tests pass
    // `env`, alone or with more words, or nothing where the machine's own environment will do.
    CommandRun run(const std::string& args, const std::string& vars = "") const {
        return runCommand(program_, args, vars);
    }

    TempDir root;
    std::string firmware = root.path() + "/fw";
    std::string env = "MODEMFLASH_DEV_ROOT=" + root.path() +
                      "/dev MODEMFLASH_SYSFS_ROOT=" + root.path() +
                      "/sys XDG_STATE_HOME=" + root.path() + "/state";

  private:
    std::string program_;
};

#ifdef MODEMFLASH_CLI_PATH
// The fixture for this build's `modemflash` program.
class CliTest : public CommandTest {
  protected:
    CliTest() : CommandTest(MODEMFLASH_CLI_PATH) {}
};
#endif

}  // namespace testsupport

#endif
