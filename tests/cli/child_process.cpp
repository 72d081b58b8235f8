#include "child_process.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>

namespace clitest {

ChildProcess::ChildProcess(const std::vector<std::string>& argv,
                           const std::vector<std::string>& env) {
    // Everything the child needs is made before fork: other threads of this process may hold
    // the allocator's lock at that moment.
    std::vector<std::string> environment;
    for (char** e = environ; *e; ++e) {
        std::string entry = *e;
        bool replaced = false;
        for (const std::string& extra : env)
            replaced = replaced ||
                       entry.compare(0, extra.find('=') + 1, extra, 0, extra.find('=') + 1) == 0;
        if (!replaced) environment.push_back(entry);
    }
    environment.insert(environment.end(), env.begin(), env.end());
    std::vector<char*> envp;
    for (std::string& e : environment) envp.push_back(&e[0]);
    envp.push_back(nullptr);
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);

    int fds[2];
    if (pipe(fds) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
        dup2(fds[1], 1);
        dup2(fds[1], 2);
        close(fds[0]);
        close(fds[1]);
        // The test process may block or ignore signals; the child starts with the defaults.
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        ::signal(SIGINT, SIG_DFL);
        ::signal(SIGTERM, SIG_DFL);
        execve(args[0], args.data(), envp.data());
        _exit(127);
    }
    close(fds[1]);
    int readFd = fds[0];
    reader_ = std::thread([this, readFd] {
        char buf[4096];
        ssize_t n;
        while ((n = read(readFd, buf, sizeof buf)) > 0) {
            std::lock_guard<std::mutex> lock(m_);
            out_.append(buf, static_cast<size_t>(n));
        }
        close(readFd);
    });
}

ChildProcess::~ChildProcess() {
    if (pid_ > 0 && status_ == -1) wait(0);
    if (reader_.joinable()) reader_.join();
}

bool ChildProcess::waitFor(const std::string& text, int timeoutMs) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < end) {
        {
            std::lock_guard<std::mutex> lock(m_);
            if (out_.find(text) != std::string::npos) return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
}

void ChildProcess::signal(int sig) {
    if (pid_ > 0 && status_ == -1) kill(pid_, sig);
}

int ChildProcess::wait(int timeoutMs) {
    if (pid_ <= 0) return -1;
    if (status_ != -1) return status_;
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    int st = 0;
    pid_t r;
    while ((r = waitpid(pid_, &st, WNOHANG)) == 0 && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    if (r == 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, &st, 0);
        status_ = -2;
        if (reader_.joinable()) reader_.join();
        return -1;
    }
    status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    if (reader_.joinable()) reader_.join();
    return status_;
}

std::string ChildProcess::output() {
    std::lock_guard<std::mutex> lock(m_);
    return out_;
}

int runToEnd(const std::vector<std::string>& argv, const std::vector<std::string>& env,
             std::string* out, int timeoutMs) {
    ChildProcess child(argv, env);
    int status = child.wait(timeoutMs);
    if (out) *out = child.output();
    return status;
}

}  // namespace clitest
