// The update history: one record per modem update, kept by the hosts that run updates (the
// command-line host, the station), never by the library itself.
//
// Jobs write through IHistoryStore only (begin, add file, finish), and listings read through
// IHistoryReader, so that another store can stand beside the SQLite one without touching them. A
// record is begun when the update starts and finished when it ends: a record that was never
// finished is an update that did not finish (the process died, the machine stopped).
#ifndef MODEMFLASH_HISTORY_HISTORY_STORE_H
#define MODEMFLASH_HISTORY_HISTORY_STORE_H

#include <stdint.h>

#include <functional>
#include <memory>
#include <optional>
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
    // Data blocks of the file that went out to the modem (the last one perhaps unanswered):
    // how far a transfer got; -1 when not known.
    int64_t blocksSent = -1;
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
    // Why location and serial do not name the modem for certain ("" when they do, or when
    // they are simply unknown to a host that never looks).
    std::string identityNote;
    // Where an update that did not complete left the modem (its mode, the last file written,
    // what to do next), in words; "" when it completed or nobody could tell.
    std::string modemLeft;
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

// A record and the revision of it that the fleet's server has taken.
struct HistoryShipMark {
    int64_t id;
    int64_t revision;
};

// Which updates a query returns, newest first.
struct HistoryFilter {
    int64_t id = 0;  // only this update (0: any)
    // Unset: any; "": only records without one (a `flash` that could not tell).
    std::optional<std::string> serial;
    std::optional<std::string> location;
    int64_t sinceMs = -1;      // started at or after (-1: any)
    bool failedOnly = false;   // unfinished, or finished with another result than 1
    bool withFiles = false;    // fill HistoryUpdate::files
    int64_t limit = 0;         // at most this many (0: all)
    int64_t offset = 0;        // after skipping this many of the newest
    std::string station;       // "" any
    bool pendingOnly = false;  // only records the server does not have in their latest revision
};

// Reading the history. A reader hands the updates over one at a time, so that listing a
// history of any size takes the same memory.
class IHistoryReader {
  public:
    using Each = std::function<bool(const HistoryUpdate& update)>;

    virtual ~IHistoryReader() = default;
    // Calls each for every update the filter selects, newest first, all of one moment (a
    // record written meanwhile is either wholly in or out); stops early when each returns
    // false. each must not call the store. False with *error when the history could not be
    // read (the updates handed over until then stand).
    virtual bool ForEach(const HistoryFilter& filter, const Each& each, std::string* error) = 0;
    // How many updates the filter selects, limit and offset aside (an empty filter: all).
    virtual bool Count(const HistoryFilter& filter, int64_t* count, std::string* error) = 0;

    // The selected updates, collected: for selections known to be small.
    bool Query(const HistoryFilter& filter, std::vector<HistoryUpdate>* out, std::string* error);
};

class IHistoryStore : public IHistoryReader {
  public:
    // Writes the record of an update that starts (start.id, ended, result are ignored).
    // The new record's id, or 0 when it could not be written (*error says why).
    virtual int64_t BeginUpdate(const HistoryUpdate& start, std::string* error) = 0;
    // Records one file of the update; a file recorded again (same seq) replaces the old one
    // (so a file in progress can be recorded as far as it got, then again at its end).
    virtual bool AddFile(int64_t id, const HistoryFile& file, std::string* error) = 0;
    // Records the modem's identification answers as soon as it gave them, so that an update
    // that never finishes keeps them; an answer given again (same mode and command) replaces
    // the old one.
    virtual bool AddAnswers(int64_t id, const std::vector<HistoryAnswer>& answers,
                            std::string* error) = 0;
    // Finishes the record: end time, result, answers; log path, port names, location, serial
    // and identity note when they are not empty (else those written at the start stay).
    virtual bool FinishUpdate(int64_t id, const HistoryUpdate& end, std::string* error) = 0;
    // Marks records as taken by the fleet's server, each in the given revision, at shippedMs
    // (see history_shipper.h), in one write. A mark never goes back: an older revision's
    // mark, late, leaves a newer one standing. A store that keeps no marks says so in *error.
    virtual bool MarkShipped(const std::vector<HistoryShipMark>& marks, int64_t shippedMs,
                             std::string* error);
};

// A new random UUID (version 4), as 36 lowercase characters.
std::string history_NewUuid();

// Whether this build has a store (the SQLite one) at all.
bool history_StoreAvailable();

// Opens the history file at path for recording updates, creating it (and its folder) when
// missing and bringing an older file's layout up to date. Refused before anything is touched,
// with *error: a path that names something other than a regular file (a directory, /dev/null),
// a new file whose folder cannot be written, a file that is not an SQLite database at all (a
// mistyped path), another program's database, a newer modemflash's layout. A history that is
// damaged is moved aside as <path>.corrupt-<time> and a new one started; *notice then says
// where the old one is.
std::unique_ptr<IHistoryStore> history_OpenStore(const std::string& path, std::string* notice,
                                                 std::string* error);

// How opening the history for reading went.
enum HistoryReadStatus {
    HISTORY_READ_OK,           // a history (perhaps of an older layout, read as it stands)
    HISTORY_READ_MISSING,      // nothing at the path: "no history at PATH"
    HISTORY_READ_NOT_HISTORY,  // something else is there: "PATH is not a history file ..."
    HISTORY_READ_FAILED        // it could not be read (damaged, no permission, a newer layout)
};

// Called once when another program holds the history locked, before the read waits for it.
using HistoryBusyNotice = std::function<void()>;

// Opens the history file at path for reading only: nothing is created, moved or brought up to
// date. A read that finds the file locked by another program calls busy (may be empty) and
// waits as long as the lock is held, up to a few minutes. Null with *status and *error (a
// sentence naming the path) when it cannot be read.
std::unique_ptr<IHistoryReader> history_OpenReader(const std::string& path,
                                                   const HistoryBusyNotice& busy,
                                                   HistoryReadStatus* status, std::string* error);

#endif
