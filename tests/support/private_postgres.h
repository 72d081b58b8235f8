// A PostgreSQL 15 server of the test's own (the tests of the fleet history and its
// benchmark): a cluster made with initdb in a temporary folder, listening only on a Unix
// socket in that folder (no TCP), run as an unprivileged user when the test runs as root, and
// stopped and removed at the end. The machine's own clusters are never touched.
//
// The server is a child of the test process, so that a test can kill it outright, freeze it
// and start it again on the same data. A watchdog process removes it even when the test
// process dies without cleaning up.
#ifndef MODEMFLASH_TESTS_PRIVATE_POSTGRES_H
#define MODEMFLASH_TESTS_PRIVATE_POSTGRES_H

#include <stdio.h>
#include <sys/types.h>

#include <string>
#include <vector>

namespace testsupport {

// Where the server's programs are (/usr/lib/postgresql/15/bin); "" when initdb is not there.
std::string postgres_BinDir();

class PrivatePostgres {
  public:
    PrivatePostgres();
    ~PrivatePostgres();  // stops the server and removes its folder
    PrivatePostgres(const PrivatePostgres&) = delete;
    PrivatePostgres& operator=(const PrivatePostgres&) = delete;

    // Makes the cluster (the first time: user "fleet" with a random password, database
    // "fleet") and starts the server; returns once it takes connections. False with *error,
    // which names what is missing when the programs are not installed. durable: the server
    // syncs what it writes and acknowledges commits once written, as a production server
    // does (for a benchmark); otherwise it syncs nothing and acknowledges early (tests).
    bool start(std::string* error, bool durable = false);
    // The server's processes run at the lowest priority (before start): on a machine of its
    // own a server's work takes nothing from a station's processors (for a benchmark).
    void setLowPriority(bool low) { lowPriority_ = low; }
    // A fast shutdown (running statements are cancelled, connections closed).
    bool stop(std::string* error = nullptr);
    // SIGKILL to the server and every process of it, as a crash would; start() brings it
    // back on the same data.
    void kill();
    // SIGSTOP / SIGCONT to every process of the server: it accepts connections (the system
    // queues them) but answers nothing.
    void freeze();
    void thaw();
    bool running() const { return pid_ > 0; }

    const std::string& folder() const { return dir_; }
    const std::string& socketDir() const { return socketDir_; }
    int port() const { return port_; }
    const std::string& user() const { return user_; }
    const std::string& password() const { return password_; }
    // postgresql://fleet[:PASSWORD]@/DB?host=SOCKETDIR&port=PORT
    std::string uri(const std::string& db = "fleet", bool withPassword = true) const;

    // Runs SQL through psql on database db; *out (may be null) gets the rows, one a line,
    // fields separated by '|'. False with the error text in *out.
    bool sql(const std::string& statement, std::string* out = nullptr,
             const std::string& db = "fleet") const;
    // A database of its own for one test (CREATE DATABASE).
    bool createDatabase(const std::string& name, std::string* error = nullptr) const;

  private:
    bool makeCluster(std::string* error);
    bool waitReady(std::string* error);
    std::vector<pid_t> processes() const;  // the postmaster and its children

    std::string bin_;
    std::string dir_;
    std::string socketDir_;
    int port_ = 5432;
    std::string user_ = "fleet";
    std::string password_;
    bool made_ = false;
    bool durable_ = false;
    bool lowPriority_ = false;
    pid_t pid_ = -1;       // the postmaster, our child
    pid_t watchdog_ = -1;  // removes everything when our end of its pipe closes
    int watchdogPipe_ = -1;
    uid_t uid_ = 0;  // who the server runs as
    gid_t gid_ = 0;
};

// A psql session kept open: what a test sends runs in one connection, in order (a lock held
// while the test watches what others do). The session ends when the object goes or the
// server does.
class PsqlSession {
  public:
    PsqlSession(const PrivatePostgres& server, const std::string& db = "fleet");
    ~PsqlSession();
    PsqlSession(const PsqlSession&) = delete;
    PsqlSession& operator=(const PsqlSession&) = delete;
    void send(const std::string& sql);
    // Waits until what the session printed holds text; false after timeoutMs.
    bool waitFor(const std::string& text, int timeoutMs = 10000);
    std::string output() const;

  private:
    FILE* psql_ = nullptr;
    std::string outPath_;
};

}  // namespace testsupport

#endif
