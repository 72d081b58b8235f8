// The dashboard's HTTP server: the page, the JSON API, the event stream and the metrics of a
// CDashboard, read-only, on threads of its own (cpp-httplib).
//
//   GET /                          the page (HTML, CSS and script compiled in)
//   GET /api/station               folder, files, counters, start, version, stopping
//   GET /api/modems                every tile, and the id of the last event they include
//   GET /api/events                Server-Sent Events; Last-Event-ID resumes
//   GET /api/history[?serial=S&location=L&since=T&failed=1&limit=N]
//   GET /api/history/ID            the records, as `modemflash history --json` writes them
//   GET /api/modems/LOCATION/log   that modem's current or last log, as text
//   GET /metrics                   Prometheus text format
//
// With a token, every request but the page's needs "Authorization: Bearer TOKEN" (the page
// holds no data; it asks for the token in its address's fragment). Without one, the server
// listens on loopback only and answers only requests addressed to loopback by name. Any
// request it refuses gets a 4xx status with a one-line JSON body {"error": "..."}.
#ifndef MODEMFLASH_DASHBOARD_DASHBOARD_SERVER_H
#define MODEMFLASH_DASHBOARD_DASHBOARD_SERVER_H

#include <atomic>
#include <memory>
#include <string>

#include "dashboard/dashboard.h"
#include "dashboard/dashboard_access.h"

class IHistoryStore;
typedef struct PlatformThread PlatformThread;

struct DashboardServerOptions {
    ListenAddress listen;
    std::string token;            // "" none (then only a loopback address is accepted)
    int maxEventClients = 64;     // event streams at once; more get 503
    int keepAliveSeconds = 5;     // idle connections kept this long
    int writeTimeoutSeconds = 5;  // a client that takes no data this long is dropped
};

class CDashboardServer {
  public:
    // history: a store to read the records from (its own connection, so that a long query
    // never holds up a modem's record); null when the station keeps none.
    CDashboardServer(CDashboard* dashboard, IHistoryStore* history, DashboardServerOptions options);
    ~CDashboardServer();  // stops
    CDashboardServer(const CDashboardServer&) = delete;
    CDashboardServer& operator=(const CDashboardServer&) = delete;

    // Binds the address and starts serving on the server's threads. False with the reason.
    bool Start(std::string* why);
    // The port it listens on (the one chosen when the options said 0).
    int Port() const { return port_; }
    // Ends every event stream and stops serving; returns when the server's threads are done.
    void Stop();

    struct Impl;

  private:
    std::unique_ptr<Impl> impl_;
    int port_ = 0;
    PlatformThread* thread_ = nullptr;
};

#endif
