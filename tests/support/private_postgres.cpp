#include "support/private_postgres.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <random>
#include <sstream>

extern char** environ;

namespace testsupport {
namespace {

const char kBinDir[] = "/usr/lib/postgresql/15/bin";

std::string readAll(const std::string& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

std::string quoted(const std::string& s) {
    std::string q = "'";
    for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

// Runs argv as uid/gid (when we are root), output to logPath; the exit status or -1.
pid_t spawnAs(const std::vector<std::string>& argv, uid_t uid, gid_t gid,
              const std::string& logPath, bool lowPriority = false) {
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    bool drop = geteuid() == 0;
    pid_t pid = fork();
    if (pid != 0) return pid;
    // The child: only calls that are safe after fork in a process with threads.
    int log = open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    int null = open("/dev/null", O_RDONLY);
    if (log < 0 || null < 0) _exit(126);
    dup2(null, 0);
    dup2(log, 1);
    dup2(log, 2);
    // Nothing else of the test: a pipe it holds open here would never see its end.
    closefrom(3);
    if (drop && (setgroups(0, nullptr) != 0 || setgid(gid) != 0 || setuid(uid) != 0)) _exit(126);
    setsid();  // not in the test's process group: a signal to the group does not reach it
    if (lowPriority && nice(19) == -1) _exit(126);
    execve(args[0], args.data(), environ);
    _exit(127);
}

int waitExit(pid_t pid) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

pid_t parentOf(pid_t pid, char* state) {
    std::string stat = readAll("/proc/" + std::to_string(pid) + "/stat");
    size_t close = stat.rfind(')');
    if (close == std::string::npos || close + 4 >= stat.size()) return -1;
    *state = stat[close + 2];
    return static_cast<pid_t>(atol(stat.c_str() + close + 4));
}

bool alive(pid_t pid) {
    char state = 0;
    return parentOf(pid, &state) >= 0 && state != 'Z' && state != 'X';
}

}  // namespace

std::string postgres_BinDir() {
    struct stat st;
    return stat((std::string(kBinDir) + "/initdb").c_str(), &st) == 0 ? kBinDir : "";
}

PrivatePostgres::PrivatePostgres() {
    char tmpl[] = "/tmp/mf-postgres.XXXXXX";
    if (mkdtemp(tmpl) == nullptr) return;
    dir_ = tmpl;
    socketDir_ = dir_ + "/socket";
    std::random_device random;
    static const char kLetters[] = "abcdefghijkmnpqrstuvwxyzABCDEFGHJKLMNPQRSTUVWXYZ23456789";
    for (int i = 0; i < 20; ++i) password_ += kLetters[random() % (sizeof kLetters - 1)];
    if (geteuid() == 0) {
        // initdb refuses to run as root: the server is nobody's, and so is its folder.
        struct passwd* pw = getpwnam("nobody");
        if (pw != nullptr) {
            uid_ = pw->pw_uid;
            gid_ = pw->pw_gid;
        }
    } else {
        uid_ = geteuid();
        gid_ = getegid();
    }
    mkdir(socketDir_.c_str(), 0700);
    if (geteuid() == 0) {
        if (chown(dir_.c_str(), uid_, gid_) != 0 || chown(socketDir_.c_str(), uid_, gid_) != 0)
            dir_.clear();
    }
    // The watchdog: when this process's end of the pipe closes (here or at its death), the
    // server is killed if it still runs and the folder removed.
    int fds[2];
    if (dir_.empty() || pipe2(fds, O_CLOEXEC) != 0) return;
    std::string script = "cat >/dev/null; pid=$(head -n1 " + quoted(dir_ + "/data/postmaster.pid") +
                         " 2>/dev/null); [ -n \"$pid\" ] && kill -KILL \"$pid\" 2>/dev/null; "
                         "sleep 0.2; rm -rf " +
                         quoted(dir_);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[0], 0);
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    posix_spawnattr_setpgroup(&attr, 0);  // Ctrl-C to the test leaves it to do its work
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP);
    const char* argv[] = {"/bin/sh", "-c", script.c_str(), nullptr};
    if (posix_spawn(&watchdog_, "/bin/sh", &actions, &attr, const_cast<char**>(argv), environ) != 0)
        watchdog_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    close(fds[0]);
    watchdogPipe_ = fds[1];
}

PrivatePostgres::~PrivatePostgres() {
    if (running()) stop();
    if (watchdogPipe_ >= 0) close(watchdogPipe_);
    if (watchdog_ > 0) waitExit(watchdog_);
}

std::string PrivatePostgres::uri(const std::string& db, bool withPassword) const {
    return "postgresql://" + user_ + (withPassword ? ":" + password_ : "") + "@/" + db +
           "?host=" + socketDir_ + "&port=" + std::to_string(port_);
}

bool PrivatePostgres::makeCluster(std::string* error) {
    std::string pwFile = dir_ + "/password";
    {
        std::ofstream out(pwFile);
        out << password_ << "\n";
    }
    if (geteuid() == 0 && chown(pwFile.c_str(), uid_, gid_) != 0) {
        *error = "cannot give the password file to the server's user";
        return false;
    }
    // -N: no fsync of the new cluster (a test's data need not survive the machine).
    pid_t pid = spawnAs({bin_ + "/initdb", "-N", "-D", dir_ + "/data", "-A", "scram-sha-256",
                         "--pwfile=" + pwFile, "-U", user_, "-E", "UTF8", "--locale=C"},
                        uid_, gid_, dir_ + "/initdb.log");
    if (pid < 0 || waitExit(pid) != 0) {
        *error = "initdb failed: " + readAll(dir_ + "/initdb.log");
        return false;
    }
    unlink(pwFile.c_str());
    made_ = true;
    return true;
}

bool PrivatePostgres::waitReady(std::string* error) {
    // The postmaster writes "ready" as the last line of postmaster.pid once it takes
    // connections (the file a killed one left says so too: its first line is another pid).
    for (int i = 0; i < 3000; ++i) {
        std::string pidFile = readAll(dir_ + "/data/postmaster.pid");
        if (atol(pidFile.c_str()) == pid_ && pidFile.find("\nready") != std::string::npos)
            return true;
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            *error = "the server stopped at start: " + readAll(dir_ + "/server.log");
            return false;
        }
        usleep(10000);
    }
    *error = "the server did not get ready within 30 s: " + readAll(dir_ + "/server.log");
    return false;
}

bool PrivatePostgres::start(std::string* error, bool durable) {
    std::string ignored;
    if (error == nullptr) error = &ignored;
    if (running()) return true;
    durable_ = durable;
    bin_ = postgres_BinDir();
    if (bin_.empty()) {
        *error = std::string("PostgreSQL 15 is not installed (") + kBinDir +
                 "/initdb is missing): scripts/install-deps.sh installs it (package postgresql)";
        return false;
    }
    if (dir_.empty() || watchdog_ < 0) {
        *error = "cannot make the server's folder";
        return false;
    }
    if (!made_ && !makeCluster(error)) return false;
    // No TCP at all. For tests, nothing is synced to the disk (a killed server keeps what the
    // system has; a crash of the machine is not tested), and commits are acknowledged before
    // they are written, as a server tuned for speed has it (and written late: a kill loses
    // what was acknowledged in the last seconds): a client that needs its commits kept across
    // a crash of the server (the shipper) must ask for that itself.
    std::vector<std::string> argv = {bin_ + "/postgres",   "-D", dir_ + "/data",        "-k",
                                     socketDir_,           "-p", std::to_string(port_), "-c",
                                     "listen_addresses=",  "-c", "max_connections=40",  "-c",
                                     "shared_buffers=16MB"};
    if (!durable_)
        for (const char* setting : {"fsync=off", "synchronous_commit=off", "wal_writer_delay=10000",
                                    "full_page_writes=off"}) {
            argv.push_back("-c");
            argv.push_back(setting);
        }
    pid_ = spawnAs(argv, uid_, gid_, dir_ + "/server.log", lowPriority_);
    if (pid_ < 0) {
        *error = "cannot start the server";
        return false;
    }
    if (!waitReady(error)) return false;
    std::string out;
    if (!sql("SELECT 1 FROM pg_database WHERE datname = 'fleet'", &out, "postgres")) {
        *error = "the server does not answer: " + out;
        return false;
    }
    if (out.find('1') == std::string::npos && !createDatabase("fleet", error)) return false;
    return true;
}

bool PrivatePostgres::stop(std::string* error) {
    if (!running()) return true;
    thaw();
    ::kill(pid_, SIGINT);  // fast shutdown
    waitExit(pid_);
    pid_ = -1;
    if (error) error->clear();
    return true;
}

std::vector<pid_t> PrivatePostgres::processes() const {
    std::vector<pid_t> out;
    if (pid_ <= 0) return out;
    out.push_back(pid_);
    DIR* d = opendir("/proc");
    if (d == nullptr) return out;
    while (struct dirent* e = readdir(d)) {
        pid_t p = static_cast<pid_t>(atol(e->d_name));
        char state = 0;
        if (p > 0 && parentOf(p, &state) == pid_) out.push_back(p);
    }
    closedir(d);
    return out;
}

void PrivatePostgres::kill() {
    if (!running()) return;
    // Held still first, so that no new child appears while they are counted.
    ::kill(pid_, SIGSTOP);
    std::vector<pid_t> all = processes();
    for (pid_t p : all) ::kill(p, SIGKILL);
    waitExit(pid_);
    pid_ = -1;
    // Its children belong to init now: wait until they are gone, or the next server finds
    // its shared memory still in use.
    for (int i = 0; i < 500; ++i) {
        bool any = false;
        for (size_t k = 1; k < all.size(); ++k) any = any || alive(all[k]);
        if (!any) break;
        usleep(10000);
    }
}

void PrivatePostgres::freeze() {
    if (!running()) return;
    ::kill(pid_, SIGSTOP);
    for (pid_t p : processes()) ::kill(p, SIGSTOP);
}

void PrivatePostgres::thaw() {
    if (!running()) return;
    for (pid_t p : processes()) ::kill(p, SIGCONT);
}

bool PrivatePostgres::sql(const std::string& statement, std::string* out,
                          const std::string& db) const {
    char tmpl[] = "/tmp/mf-psql.XXXXXX";
    int fd = mkstemp(tmpl);
    if (fd < 0) return false;
    close(fd);
    std::string path = tmpl;
    std::string cmd = "PGCONNECT_TIMEOUT=10 " + bin_ + "/psql -X -q -At -v ON_ERROR_STOP=1 " +
                      quoted(uri(db)) + " -c " + quoted(statement) + " > " + quoted(path) + " 2>&1";
    int rc = system(cmd.c_str());
    std::string text = readAll(path);
    unlink(path.c_str());
    if (out) *out = text;
    return rc == 0;
}

bool PrivatePostgres::createDatabase(const std::string& name, std::string* error) const {
    std::string out;
    if (sql("CREATE DATABASE " + name, &out, "postgres")) return true;
    if (error) *error = "cannot create the database " + name + ": " + out;
    return false;
}

PsqlSession::PsqlSession(const PrivatePostgres& server, const std::string& db) {
    // A session whose server was killed is gone: writing to it must not kill the test.
    signal(SIGPIPE, SIG_IGN);
    char tmpl[] = "/tmp/mf-psql-session.XXXXXX";
    int fd = mkstemp(tmpl);
    if (fd < 0) return;
    close(fd);
    outPath_ = tmpl;
    std::string cmd = postgres_BinDir() + "/psql -X -q -At -v ON_ERROR_STOP=1 " +
                      quoted(server.uri(db)) + " > " + quoted(outPath_) + " 2>&1";
    // "e": the pipe is not inherited by the programs the test starts later (the server
    // among them), or psql would never see the end of its input.
    psql_ = popen(cmd.c_str(), "we");
}

PsqlSession::~PsqlSession() {
    if (psql_) pclose(psql_);
    if (!outPath_.empty()) unlink(outPath_.c_str());
}

void PsqlSession::send(const std::string& sql) {
    if (psql_ == nullptr) return;
    fputs((sql + "\n").c_str(), psql_);
    fflush(psql_);
}

std::string PsqlSession::output() const {
    return readAll(outPath_);
}

bool PsqlSession::waitFor(const std::string& text, int timeoutMs) {
    for (int waited = 0; waited <= timeoutMs; waited += 10) {
        if (output().find(text) != std::string::npos) return true;
        usleep(10000);
    }
    return false;
}

}  // namespace testsupport
