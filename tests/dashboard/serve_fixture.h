// `modemflash serve` as a user runs it, in a private device tree with simulated modems in this
// process, and what a client of its API needs: the server's port, an HTTP client, the event
// stream read as a browser reads it, raw requests for what no proper client sends.
#ifndef MODEMFLASH_TESTS_DASHBOARD_SERVE_FIXTURE_H
#define MODEMFLASH_TESTS_DASHBOARD_SERVE_FIXTURE_H

#include <sys/types.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "modem_bank.h"
#include "support/command_test.h"

namespace dashtest {

// One Server-Sent Event as a client parses it.
struct SseEvent {
    long long id = -1;  // -1: the event had no id
    std::string type;
    std::string data;
};

// Reads /api/events (from lastId when it is >= 0) until enough(events so far) says so, the
// stream ends, or timeoutSec passes. *status gets the response's status (0 when none came).
std::vector<SseEvent> readEvents(int port, const std::string& token, long long lastId,
                                 const std::function<bool(const std::vector<SseEvent>&)>& enough,
                                 int timeoutSec, int* status = nullptr);

// One raw request over a fresh connection: the bytes as given, the answer as it came.
struct RawAnswer {
    int status = 0;
    std::map<std::string, std::string> headers;  // names in lower case
    std::string body;
};
RawAnswer rawRequest(int port, const std::string& bytes);

// A connection to /api/events that is opened and then never read: a stuck client.
int openStuckStream(int port, int* status);

class ServeTest : public testsupport::CliTest {
  protected:
    modemsim::ModemBank bank;
    pid_t serve = -1;
    int port = 0;
    std::string out = root.path() + "/serve.out";
    std::string history = root.path() + "/history.sqlite3";

    void TearDown() override;
    // Starts `count` simulated modems; faults: more fault lines for modem i (0-based).
    void startModems(int count, const std::map<int, std::string>& faults = {});
    // Starts `modemflash serve FIRMWARE ARGS` and waits for its dashboard line; false when
    // the program ended instead (its output is in serveOutput()).
    bool startServe(const std::string& args);
    // Stops it as Ctrl-C does (the running updates finish) and returns its exit status.
    int stopServe();
    std::string serveOutput() const;
    // GET path with an optional token: status and body.
    int get(const std::string& path, std::string* body, const std::string& token = "",
            std::map<std::string, std::string>* headers = nullptr);
    // Waits until every one of `count` tiles has finished; false after timeoutSec.
    bool waitFinished(size_t count, int timeoutSec);
};

}  // namespace dashtest

#endif
