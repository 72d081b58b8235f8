// The update history: one record per modem update, kept by the hosts that run updates (the
// command-line host, the station), never by the library itself.
//
// Jobs write through IHistoryStore only (begin, add file, finish), so that another store can
// stand beside the SQLite one without touching them. A record is begun when the update
// starts and finished when it ends: a record that was never finished is an update that did
// not finish (the process died, the machine stopped).
#ifndef MODEMFLASH_HISTORY_HISTORY_STORE_H
#define MODEMFLASH_HISTORY_HISTORY_STORE_H

#include <stdint.h>

#include <memory>
#include <string>
#include <vector>

// One firmware file of an update.
struct HistoryFile {
    int seq = 0;              // place in the update's file list, from 0
    std::string name;         // file name without its folder
    int64_t size = -1;        // bytes; -1 when the file could not be read
    int64_t archiveId = -1;   // 24-bit archive ID; -1 when the file has no valid header
    std::string archiveName;  // the ID's short name; "" when the ID is not in the table
    std::string sha256;       // of the whole file, 64 hex digits; "" when unreadable
    int64_t transferMs = -1;  // from its start to the next step; -1 when it did not complete
    bool programmed = false;  // the modem took it and programmed it
};

// One identification answer the modem gave (see mode_InitAnswer).
struct HistoryAnswer {
    int mode = 0;         // 0 modem mode, 1 loader mode
    std::string command;  // "AT+GMR", "AT%IFWR", ...
    std::string answer;   // the modem's text, lines joined by "\n"
};

// One update of one modem.
struct HistoryUpdate {
    int64_t id = 0;           // given by the store
    int64_t startedMs = 0;    // UTC milliseconds since 1970
    int64_t endedMs = -1;     // -1 while unfinished
    std::string machine;      // the computer's name
    std::string version;      // modemflash version
    std::string location;     // USB location (bus and hub ports); "" when unknown
    std::string serial;       // USB serial number; "" when unknown
    std::string portNames;    // the port names the modem had, comma-separated
    std::string folder;       // the firmware folder
    int resultCode = -1;      // the host's result code (DownloadResult); -1 while unfinished
    std::string resultWords;  // the result in words
    std::string logPath;      // the engine's log file; "" when none was written
    std::vector<HistoryAnswer> answers;
    std::vector<HistoryFile> files;  // filled by queries that ask for details
    // The record's name in every history it reaches (the station's file, the fleet's server):
    // a random UUID, given when the record is first written.
    std::string uuid;
    std::string station;  // the station's name (default: the machine's name)
    // Grows with every write to the record (its start, each file, its end), so that a copy
    // of it elsewhere can tell whether it is behind. Given by the store.
    int64_t revision = 0;
    // The local history's shipping mark: the revision the fleet's server has taken (0 none)
    // and when it took it (UTC milliseconds, -1 never). A record whose revision the server
    // does not have yet is pending. On the server: when the record arrived there.
    int64_t shippedRevision = 0;
    int64_t shippedMs = -1;

    bool finished() const { return endedMs >= 0; }
    bool pending() const { return shippedRevision < revision; }
    // The modem's firmware as it answered AT+GMR in modem mode before the update ("" if not).
    std::string firmwareBefore() const;
};

// Which updates a query returns, newest first.
struct HistoryFilter {
    int64_t id = 0;            // only this update (0: any)
    std::string serial;        // "" any
    std::string location;      // "" any
    int64_t sinceMs = -1;      // started at or after (-1: any)
    bool failedOnly = false;   // unfinished, or finished with another result than 1
    bool withFiles = false;    // fill HistoryUpdate::files
    int limit = 0;             // at most this many (0: all)
    std::string station;       // "" any
    bool pendingOnly = false;  // only records the server does not have in their latest revision
};

class IHistoryStore {
  public:
    virtual ~IHistoryStore() = default;
    // Writes the record of an update that starts (start.id, ended, result are ignored).
    // The new record's id, or 0 when it could not be written (*error says why).
    virtual int64_t BeginUpdate(const HistoryUpdate& start, std::string* error) = 0;
    // Records one file of the update; a file recorded again (same seq) replaces the old one.
    virtual bool AddFile(int64_t id, const HistoryFile& file, std::string* error) = 0;
    // Finishes the record: end time, result, answers; log path, port names, location and
    // serial when they are not empty (else those written at the start stay).
    virtual bool FinishUpdate(int64_t id, const HistoryUpdate& end, std::string* error) = 0;
    // The updates the filter selects, newest first.
    virtual bool Query(const HistoryFilter& filter, std::vector<HistoryUpdate>* out,
                       std::string* error) = 0;
    // How many updates the filter selects (its limit aside).
    virtual bool Count(const HistoryFilter& filter, int64_t* count, std::string* error) = 0;

    // Shipping the history to the fleet's server (history_server.h, history_shipper.h). A
    // store that does not take part says so in *error.
    //
    // Writes whole records, each named by its uuid, all or none: one the store does not have
    // is added; one it has is replaced only by a copy that is further along (finished over
    // unfinished, else a higher revision), never the other way round, so a record put twice
    // is kept once and a late, older copy changes nothing. A record the store cannot take
    // (its data refused) does not stop the others: its UUID goes to *refused (may be null),
    // with why after ": ".
    virtual bool PutUpdates(const std::vector<HistoryUpdate>& records,
                            std::vector<std::string>* refused, std::string* error);
    // Marks the local record id as taken by the server in the given revision at shippedMs (a
    // mark never goes back: an older revision's mark leaves a newer one standing).
    virtual bool MarkShipped(int64_t id, int64_t revision, int64_t shippedMs, std::string* error);
};

// A new random UUID (version 4), as 36 lowercase characters.
std::string history_NewUuid();

// Whether this build has a store (the SQLite one) at all.
bool history_StoreAvailable();

// Opens the history file at path, creating it and its folder when missing and bringing an
// older file's layout up to date. A file that is not a database, or a damaged one, is moved
// aside as <path>.corrupt-<time> and a new one started; *notice then says so. Null with
// *error when the history cannot be used (folder or file not writable, a newer modemflash's
// layout, another program's database, no store in this build).
std::unique_ptr<IHistoryStore> history_OpenStore(const std::string& path, std::string* notice,
                                                 std::string* error);

#endif
