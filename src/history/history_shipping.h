// Shipping the update history to a central server, as the station's dashboard shows it.
//
// A station keeps its records in its local history first; a shipper may copy them to a
// server of the whole line. The dashboard asks whoever ships for its state and shows it beside
// the station's own counters; without a shipper (the default) it shows nothing of the kind.
#ifndef MODEMFLASH_HISTORY_HISTORY_SHIPPING_H
#define MODEMFLASH_HISTORY_HISTORY_SHIPPING_H

#include <stdint.h>

#include <string>

struct HistoryShippingState {
    int64_t pending = 0;         // records written here and not yet on the server
    int64_t lastShippedMs = -1;  // UTC milliseconds of the last record the server took; -1 none
    std::string server;          // the server's state in words: "connected", "unreachable", ...
    std::string detail;          // the last error or a note, one line; "" none
    std::string where;           // the server as it may be shown (without its password)
};

class IHistoryShipping {
  public:
    virtual ~IHistoryShipping() = default;
    // The state now. Called from the dashboard's own threads, any number at once: it must
    // answer from what the shipper already knows, never wait for the server.
    virtual HistoryShippingState ShippingState() const = 0;
};

#endif
