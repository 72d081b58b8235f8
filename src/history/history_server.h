// The fleet's update history on a PostgreSQL server: one record for many stations.
//
// Each station records in its own local history first (history_store.h); a shipper
// (history_shipper.h) sends every record on to the server, whole, named by its UUID. The server
// stands behind the same seam as the local history: it is read as any history is
// (IHistoryReader: the same listings), and it takes whole records (PutUpdates), where the
// local history takes an update as it runs.
//
// The server is named by a libpq connection string: a URI (postgresql://station@db/fleet) or
// key=value words (host=/run/postgresql dbname=fleet). Its password may stand in it, or come
// from PGPASSFILE or PGSERVICEFILE as libpq reads them; it is never shown: every text that
// names the server goes through history_ShowServer.
#ifndef MODEMFLASH_HISTORY_HISTORY_SERVER_H
#define MODEMFLASH_HISTORY_HISTORY_SERVER_H

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "history/history_store.h"

// Whether this build can reach a server (the Linux build, with libpq).
bool history_ServerAvailable();
// Why it cannot, in words ("" when it can).
std::string history_ServerUnavailable();

// The connection string as it may be shown: the same URI or key=value words without the
// password (and the key's password, sslpassword). A string that cannot be read as either is
// shown as "(a connection string that cannot be read)".
std::string history_ShowServer(const std::string& server);
// text with every password that the connection string holds cut out (for the messages of
// the server and of libpq, which may quote parts of the string).
std::string history_HideSecrets(const std::string& text, const std::string& server);

// How long a conversation with the server may take: connecting (the string's
// connect_timeout, else 10 s; at least 2 s, as libpq counts it) and each statement (twice
// that).
struct HistoryServerLimits {
    int connectMs = 10000;
    int statementMs = 20000;
};
HistoryServerLimits history_ServerLimits(const std::string& server);

// The fleet's server: every station's records, read as any history, and written whole.
class IHistoryServer : public IHistoryReader {
  public:
    // Writes whole records, each named by its uuid, all or none: one the server does not have
    // is added; one it has is replaced only by a copy that is further along (finished over
    // unfinished, else a higher revision), never the other way round, so a record sent twice
    // is kept once and a late, older copy changes nothing. A record the server refuses (its
    // data) does not stop the others: "<uuid>: <why>" goes to *refused (may be null). False
    // with *error when the server failed: then nothing of the call was written.
    virtual bool PutUpdates(const std::vector<HistoryUpdate>& records,
                            std::vector<std::string>* refused, std::string* error) = 0;
};

// Asked while a conversation waits: true gives up at once (the shipper is stopping).
using HistoryGiveUp = std::function<bool()>;

// Connects to the server within its limits. forWriting: the tables are created, or brought
// up to date, on this first use (a reader of a server without them lists nothing). Null with
// *error (one line, without the password) when the server cannot be reached or used: then
// the caller tries again later with a new connection, as it does after any failed call.
std::unique_ptr<IHistoryServer> history_OpenServer(const std::string& server, bool forWriting,
                                                   const HistoryGiveUp& giveUp, std::string* error);

// The server's tables, as SQL steps: the part every version runs first, and the steps to
// version 1, 2, ... (for tests and for people who create the tables by hand).
std::string history_ServerSchemaStart();
std::vector<std::string> history_ServerSchemaSteps();

#endif
