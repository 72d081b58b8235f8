#include "support/command_test.h"

#include <stdio.h>
#include <sys/stat.h>
#include <sys/wait.h>

namespace testsupport {

CommandRun runCommand(const std::string& program, const std::string& args, const std::string& env) {
    // The program's output depends on the locale (UTF-8 or the library's bytes): every run has
    // one of its own, whatever the machine's, unless the test's environment names another.
    std::string cmd = "LC_ALL=C.UTF-8 " + env + " " + program + " " + args + " 2>&1";
    CommandRun r{-1, ""};
    FILE* p = popen(cmd.c_str(), "r");
    if (p == nullptr) return r;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) r.out.append(buf, n);
    int st = pclose(p);
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    return r;
}

void CommandTest::SetUp() {
    mkdir((root.path() + "/dev").c_str(), 0755);
    mkdir((root.path() + "/sys").c_str(), 0755);
    ASSERT_EQ(run("sample " + firmware + " --small", env).status, 0);
}

}  // namespace testsupport
