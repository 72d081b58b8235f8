// A program run as a child with its standard output and error captured together, so that a
// test can wait for a line, send it signals and collect its exit status.
#ifndef MODEMFLASH_TESTS_CLI_CHILD_PROCESS_H
#define MODEMFLASH_TESTS_CLI_CHILD_PROCESS_H

#include <sys/types.h>

#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace clitest {

class ChildProcess {
  public:
    // Starts argv[0] (a path) with the extra environment entries "NAME=value".
    ChildProcess(const std::vector<std::string>& argv, const std::vector<std::string>& env);
    ~ChildProcess();  // kills a child still running
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Waits until the output holds text, at most timeoutMs; true when it does.
    bool waitFor(const std::string& text, int timeoutMs);
    void signal(int sig);
    // Waits for the end (at most timeoutMs, then kills) and returns the exit status, or
    // 128 + the signal that ended it, or -1 on a time-out.
    int wait(int timeoutMs);
    std::string output();

  private:
    pid_t pid_ = -1;
    int status_ = -1;
    std::mutex m_;  // guards out_
    std::string out_;
    std::thread reader_;
};

// Runs a command to its end; the status as ChildProcess::wait gives it, output in *out.
int runToEnd(const std::vector<std::string>& argv, const std::vector<std::string>& env,
             std::string* out, int timeoutMs = 60000);

// env for a child that a test ends on purpose at once (a second Ctrl-C): the program then
// exits with helper threads it would otherwise join (the firmware's hashing), which the thread
// sanitizer would report as leaked. Its other checks stay on.
inline std::vector<std::string> endsAtOnce(std::vector<std::string> env) {
    env.push_back("TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1:report_thread_leaks=0");
    return env;
}

}  // namespace clitest

#endif
