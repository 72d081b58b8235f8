// What the fleet tests share: one private PostgreSQL server per test program (started by the
// first test that asks, stopped when the program ends), a database of its own for each test,
// and records to put into a history.
#ifndef MODEMFLASH_TESTS_FLEET_FIXTURE_H
#define MODEMFLASH_TESTS_FLEET_FIXTURE_H

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "history/history_store.h"
#include "support/private_postgres.h"

namespace fleet {

// The program's server, started on first use; null (with the test failed) when it cannot be.
testsupport::PrivatePostgres* server();

// A new, empty database on the server for the running test; its URI (with the password).
std::string freshDatabase();

// Freezes the server for the life of the object: the tests after one that fails meanwhile
// find it answering again.
class Frozen {
  public:
    explicit Frozen(testsupport::PrivatePostgres* pg) : pg_(pg) { pg_->freeze(); }
    ~Frozen() { pg_->thaw(); }
    Frozen(const Frozen&) = delete;
    Frozen& operator=(const Frozen&) = delete;

  private:
    testsupport::PrivatePostgres* pg_;
};

// A record as a station writes it: started at ms, unfinished, with one answer.
HistoryUpdate record(const std::string& serial, int64_t ms, const std::string& station = "st1");
// The same record finished (result 1) with `files` files recorded, at revision 2 + files.
HistoryUpdate finished(HistoryUpdate u, int files);
HistoryFile file(int seq);

// The records of store, every field and file (newest first).
std::vector<HistoryUpdate> everything(IHistoryReader& store, HistoryFilter f = HistoryFilter());

// Each field, answer and file of two records, compared one by one (the store's own numbers,
// id and shipping marks, aside).
void expectSameRecord(const HistoryUpdate& a, const HistoryUpdate& b);

}  // namespace fleet

#endif
