// Shipping a station's local history to the fleet's server, offline first.
//
// Every record is written to the local history first, exactly as without a server; a
// shipper, on a thread of its own, then sends each record that the server does not have in
// its latest revision (a pending record) and marks it shipped there. Nothing of it runs on
// an update's thread but Poke, which only wakes the shipper: a server that is slow, away,
// refuses the password or goes away mid-statement costs an update nothing. The shipper then
// says so in one warning line, tries again after a pause that doubles up to a bound (on the
// scaled clock), and says so again when the server answers; the records wait, pending,
// however long it takes. A record is always sent whole, in its latest revision, so an update
// that started and ended while the server was away arrives once, finished.
#ifndef MODEMFLASH_HISTORY_HISTORY_SHIPPER_H
#define MODEMFLASH_HISTORY_HISTORY_SHIPPER_H

#include <stdint.h>

#include <functional>
#include <memory>
#include <string>

#include "history/history_shipping.h"
#include "history/history_store.h"

// One warning line (without the program's name).
using HistoryWarn = std::function<void(const std::string& line)>;

class IHistoryShipper : public IHistoryShipping {
  public:
    // A record of the local history was written: ship it soon. Any thread; never waits for
    // the server.
    virtual void Poke() = 0;
    // Gives the shipper up to drainMs (real milliseconds) to send what it was woken for, if
    // the server has answered it in this run, then stops its thread; what is left stays
    // pending for the next run or `modemflash history sync`. The later calls do nothing.
    virtual void Stop(int drainMs) = 0;
    // The store through which the shipper marks what the server took (the station's own,
    // which its recording threads share: a mark then waits for them, and they for it, on that
    // store's lock, never on the file's); null: the shipper's own connection. The store must
    // outlive Stop.
    virtual void MarkThrough(IHistoryStore* store) = 0;
};

// Starts shipping the local history at localPath (the shipper opens it again for itself) to
// server. It ships at once what earlier runs left pending. Null with *error when this build
// has no server client or the local history cannot be opened.
std::unique_ptr<IHistoryShipper> history_StartShipper(const std::string& localPath,
                                                      const std::string& server, HistoryWarn warn,
                                                      std::string* error);

// `modemflash history sync`: ships every pending record of local to server now, on the
// calling thread. How many went, how many are still pending afterwards (the server refused
// them, or it failed midway), and the refused ones with why.
struct HistorySyncCount {
    int64_t shipped = 0;
    int64_t left = 0;
    std::vector<std::string> refused;  // "<uuid>: <why>"
};
bool history_SyncNow(IHistoryStore& local, const std::string& server, HistorySyncCount* count,
                     std::string* error);

// The store a station records in: local, with the station's name on every record begun
// without one, and the shipper (may be null) woken by every write. Dropping it stops the
// shipper (with drainMs, see Stop) before local is closed.
std::unique_ptr<IHistoryStore> history_StationStore(std::unique_ptr<IHistoryStore> local,
                                                    std::string station,
                                                    std::unique_ptr<IHistoryShipper> shipper,
                                                    int drainMs);
// The shipping of a store made by history_StationStore; null for any other, or without one.
const IHistoryShipping* history_ShippingOf(const IHistoryStore* store);

#endif
