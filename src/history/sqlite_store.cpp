// The update history in one SQLite file.
//
// Several jobs (threads of one station, or several processes) write to the same file while
// `modemflash history` reads it: the file is in WAL mode, so readers never wait for writers,
// and every connection waits up to kBusyTimeoutMs for another writer instead of failing with
// "database is locked". Every write is one short transaction begun IMMEDIATE, so that no
// transaction has to upgrade a read lock (which SQLite answers with an immediate "busy").
//
// The layout carries its version in PRAGMA user_version; kMigrations brings a file of any
// older version up to date, step by step, in one transaction, when the file is opened for
// recording. A reader opens the file read-only and reads an older layout as it stands.
#include <errno.h>
#include <sqlite3.h>
#include <stdio.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <system_error>

#include "history/history_store.h"
#include "history/history_time.h"
#include "platform/clock.h"
#include "platform/fault.h"
#include "platform/file.h"
#include "platform/lock.h"
#include "platform/text.h"

namespace {

const int kBusyTimeoutMs = 15000;

// A writer's wait for another connection's write (the shipper's marks, another process):
// short sleeps first, as such a write takes a fraction of a millisecond (SQLite's own
// time-out sleeps a whole millisecond at least), growing to 5 ms, up to kBusyTimeoutMs in all.
int writerBusy(void*, int attempt) {
    static const int kStepsUs[] = {50, 100, 200, 400, 800, 1600, 3200};
    const int steps = static_cast<int>(sizeof kStepsUs / sizeof kStepsUs[0]);
    int64_t waitedUs = 0;
    for (int i = 0; i < attempt; ++i) waitedUs += i < steps ? kStepsUs[i] : 5000;
    if (waitedUs >= int64_t(kBusyTimeoutMs) * 1000) return 0;
    clk_RealSleepUs(attempt < steps ? kStepsUs[attempt] : 5000);
    return 1;
}
// How long a reader waits for a lock another program holds, in steps of kReadWaitStepMs.
const int kReadWaitMs = 5 * 60 * 1000;
const int kReadWaitStepMs = 20;

// Step n brings a file of version n - 1 to version n. A new file runs them all.
const char* const kMigrations[] = {
    // 1: updates and their files.
    "CREATE TABLE updates ("
    " id INTEGER PRIMARY KEY,"
    " started_ms INTEGER NOT NULL,"
    " ended_ms INTEGER,"
    " machine TEXT NOT NULL DEFAULT '',"
    " version TEXT NOT NULL DEFAULT '',"
    " location TEXT NOT NULL DEFAULT '',"
    " serial TEXT NOT NULL DEFAULT '',"
    " port_names TEXT NOT NULL DEFAULT '',"
    " folder TEXT NOT NULL DEFAULT '',"
    " result_code INTEGER,"
    " result_words TEXT NOT NULL DEFAULT '',"
    " log_path TEXT NOT NULL DEFAULT '');"
    "CREATE TABLE files ("
    " update_id INTEGER NOT NULL REFERENCES updates(id) ON DELETE CASCADE,"
    " seq INTEGER NOT NULL,"
    " name TEXT NOT NULL,"
    " size INTEGER NOT NULL,"
    " archive_id INTEGER,"
    " archive_name TEXT NOT NULL DEFAULT '',"
    " sha256 TEXT NOT NULL DEFAULT '',"
    " transfer_ms INTEGER,"
    " programmed INTEGER NOT NULL DEFAULT 0,"
    " PRIMARY KEY (update_id, seq));",
    // 2: the modem's identification answers, and the look-ups the history command makes.
    "CREATE TABLE answers ("
    " update_id INTEGER NOT NULL REFERENCES updates(id) ON DELETE CASCADE,"
    " mode INTEGER NOT NULL,"
    " command TEXT NOT NULL,"
    " answer TEXT NOT NULL,"
    " PRIMARY KEY (update_id, mode, command));"
    "CREATE INDEX updates_by_start ON updates(started_ms);"
    "CREATE INDEX updates_by_serial ON updates(serial);"
    "CREATE INDEX updates_by_location ON updates(location);",
    // 3 (kShippingLayout): each record's UUID and station, and its shipping to the fleet's
    // server: the record's revision grows with every write (triggers, so that no write can
    // forget it), and the revision the server has taken is kept beside it; a record whose
    // revision the server does not have is pending. Records of older files get a UUID and
    // their machine as station, and are pending.
    "ALTER TABLE updates ADD COLUMN uuid TEXT;"
    "ALTER TABLE updates ADD COLUMN station TEXT NOT NULL DEFAULT '';"
    "ALTER TABLE updates ADD COLUMN revision INTEGER NOT NULL DEFAULT 1;"
    "ALTER TABLE updates ADD COLUMN shipped_revision INTEGER NOT NULL DEFAULT 0;"
    "ALTER TABLE updates ADD COLUMN shipped_ms INTEGER;"
    "UPDATE updates SET station = machine,"
    " uuid = lower(hex(randomblob(4))) || '-' || lower(hex(randomblob(2))) || '-4' ||"
    " substr(lower(hex(randomblob(2))), 2) || '-' || substr('89ab', 1 + abs(random() % 4), 1) ||"
    " substr(lower(hex(randomblob(2))), 2) || '-' || lower(hex(randomblob(6))),"
    " revision = 1 + (ended_ms IS NOT NULL) +"
    " (SELECT count(*) FROM files WHERE files.update_id = updates.id);"
    "CREATE UNIQUE INDEX updates_by_uuid ON updates(uuid);"
    "CREATE INDEX updates_pending ON updates(id) WHERE shipped_revision < revision;"
    "CREATE TRIGGER files_revise AFTER INSERT ON files BEGIN"
    " UPDATE updates SET revision = revision + 1 WHERE id = NEW.update_id; END;"
    "CREATE TRIGGER updates_revise AFTER UPDATE OF started_ms, ended_ms, machine, version,"
    " location, serial, port_names, folder, result_code, result_words, log_path, station"
    " ON updates BEGIN UPDATE updates SET revision = revision + 1 WHERE id = NEW.id; END;",
    // 4: how far a file's transfer got, and why an update's modem is not known for certain.
    "ALTER TABLE files ADD COLUMN blocks_sent INTEGER;"
    "ALTER TABLE updates ADD COLUMN identity_note TEXT NOT NULL DEFAULT '';",
    // 5: where an update that did not complete left the modem; the modem's answers raise the
    // record's revision too (an update killed during its mode switch ships them).
    "ALTER TABLE updates ADD COLUMN modem_left TEXT NOT NULL DEFAULT '';"
    "CREATE TRIGGER answers_revise AFTER INSERT ON answers BEGIN"
    " UPDATE updates SET revision = revision + 1 WHERE id = NEW.update_id; END;",
};
const int kSchemaVersion = static_cast<int>(sizeof kMigrations / sizeof kMigrations[0]);
// The layout that brought the UUID, the station and the shipping marks.
const int kShippingLayout = 3;
// The layout that brought how far a file got and the note on the modem's identity.
const int kIdentityLayout = 4;
// The layout that brought where the modem was left.
const int kLeftLayout = 5;

bool isDamage(int code) {
    code &= 0xff;
    return code == SQLITE_NOTADB || code == SQLITE_CORRUPT;
}

// A number that the store keeps as NULL when it is -1 (not known).
struct OrNull {
    int64_t value;
};

// The store's SQLite calls pass the SQLite fault seam (platform/fault.h): a call that a test
// makes fail returns an I/O error, as a failing disk would.
bool sqliteFaulted() {
    return fault_Hit(FAULT_SEAM_SQLITE) != 0;
}

int execSql(sqlite3* db, const char* sql) {
    return sqliteFaulted() ? SQLITE_IOERR : sqlite3_exec(db, sql, nullptr, nullptr, nullptr);
}

// A prepared statement, finalized on every path.
class Statement {
  public:
    Statement(sqlite3* db, const char* sql) {
        rc_ = sqliteFaulted() ? SQLITE_IOERR : sqlite3_prepare_v2(db, sql, -1, &s_, nullptr);
    }
    ~Statement() { sqlite3_finalize(s_); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;
    bool ok() const { return rc_ == SQLITE_OK; }
    int prepareCode() const { return rc_; }
    void text(int i, const std::string& v) {
        sqlite3_bind_text(s_, i, v.c_str(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
    }
    void integer(int i, int64_t v) { sqlite3_bind_int64(s_, i, v); }
    // Resets the statement and binds the values to ?1, ?2, ... in order: text, a number, or
    // OrNull (-1 bound as NULL).
    template <typename... Values>
    void bind(const Values&... values) {
        sqlite3_reset(s_);
        int i = 0;
        (bindOne(++i, values), ...);
    }
    // A statement that returns no rows, run once with the values bound: whether it ran.
    template <typename... Values>
    bool run(const Values&... values) {
        if (!ok()) return false;
        bind(values...);
        return step() == SQLITE_DONE;
    }
    int step() { return sqliteFaulted() ? SQLITE_IOERR : sqlite3_step(s_); }
    std::string columnText(int i) const {
        const unsigned char* t = sqlite3_column_text(s_, i);
        return t ? std::string(reinterpret_cast<const char*>(t),
                               static_cast<size_t>(sqlite3_column_bytes(s_, i)))
                 : std::string();
    }
    int64_t columnInt(int i, int64_t ifNull = -1) const {
        return sqlite3_column_type(s_, i) == SQLITE_NULL ? ifNull : sqlite3_column_int64(s_, i);
    }

  private:
    void bindOne(int i, const std::string& v) { text(i, v); }
    void bindOne(int i, int64_t v) { integer(i, v); }
    void bindOne(int i, OrNull v) {
        if (v.value < 0)
            sqlite3_bind_null(s_, i);
        else
            integer(i, v.value);
    }

    sqlite3_stmt* s_ = nullptr;
    int rc_;
};

// The WHERE clause of a filter on a file of the given layout, and its values bound to the
// statement that uses it.
std::string whereOf(const HistoryFilter& f, int64_t version) {
    std::string sql = " WHERE 1";
    if (f.id > 0) sql += " AND id = ?1";
    if (f.serial) sql += " AND serial = ?2";
    if (f.location) sql += " AND location = ?3";
    if (f.sinceMs >= 0) sql += " AND started_ms >= ?4";
    if (f.failedOnly) sql += " AND (ended_ms IS NULL OR result_code IS NOT 1)";
    // A file of an older layout keeps no station but the machine, and all of it is pending.
    if (!f.station.empty())
        sql += version >= kShippingLayout ? " AND station = ?7" : " AND machine = ?7";
    if (f.pendingOnly && version >= kShippingLayout) sql += " AND shipped_revision < revision";
    return sql;
}

void bindWhere(Statement& s, const HistoryFilter& f) {
    if (f.id > 0) s.integer(1, f.id);
    if (f.serial) s.text(2, *f.serial);
    if (f.location) s.text(3, *f.location);
    if (f.sinceMs >= 0) s.integer(4, f.sinceMs);
    if (!f.station.empty()) s.text(7, f.station);
}

// The reading side of one connection: the filter's updates with their answers and files, in
// whatever layout the file has (version: its user_version; 0 a new, empty file).
class Rows {
  public:
    Rows(sqlite3* db, int64_t version) : db_(db), version_(version) {}

    // SQLITE_DONE when every selected row went to each (or each stopped), else the failing
    // code.
    int forEach(const HistoryFilter& f, const IHistoryReader::Each& each) {
        if (version_ == 0) return SQLITE_DONE;  // nothing was ever recorded here
        const bool shipping = version_ >= kShippingLayout;
        // Columns an older layout lacks are read as their defaults.
        std::string sql =
            "SELECT id, started_ms, ended_ms, machine, version, location, serial, port_names, "
            "folder, result_code, result_words, log_path, " +
            std::string(version_ >= kIdentityLayout ? "identity_note" : "''") + ", " +
            std::string(version_ >= kLeftLayout ? "modem_left" : "''") +
            std::string(shipping ? ", uuid, station, revision, shipped_revision, shipped_ms" : "") +
            " FROM updates" + whereOf(f, version_) + " ORDER BY started_ms DESC, id DESC";
        if (f.limit > 0 || f.offset > 0) sql += " LIMIT ?5 OFFSET ?6";
        Statement s(db_, sql.c_str());
        if (!s.ok()) return s.prepareCode();
        bindWhere(s, f);
        if (f.limit > 0 || f.offset > 0) {
            s.integer(5, f.limit > 0 ? f.limit : -1);
            s.integer(6, f.offset);
        }
        // The answers came with the layout's second version.
        std::unique_ptr<Statement> answers;
        if (version_ >= 2) {
            answers.reset(new Statement(db_,
                                        "SELECT mode, command, answer FROM answers WHERE "
                                        "update_id = ?1 ORDER BY mode, rowid"));
            if (!answers->ok()) return answers->prepareCode();
        }
        Statement files(db_, (std::string("SELECT seq, name, size, archive_id, archive_name, "
                                          "sha256, transfer_ms, programmed, ") +
                              (version_ >= kIdentityLayout ? "blocks_sent" : "NULL") +
                              " FROM files WHERE update_id = ?1 ORDER BY seq")
                                 .c_str());
        if (!files.ok()) return files.prepareCode();
        int rc;
        HistoryUpdate u;
        while ((rc = s.step()) == SQLITE_ROW) {
            u = HistoryUpdate();
            u.id = s.columnInt(0);
            u.startedMs = s.columnInt(1, 0);
            u.endedMs = s.columnInt(2);
            u.machine = s.columnText(3);
            u.version = s.columnText(4);
            u.location = s.columnText(5);
            u.serial = s.columnText(6);
            u.portNames = s.columnText(7);
            u.folder = s.columnText(8);
            u.resultCode = static_cast<int>(s.columnInt(9));
            u.resultWords = s.columnText(10);
            u.logPath = s.columnText(11);
            u.identityNote = s.columnText(12);
            u.modemLeft = s.columnText(13);
            if (shipping) {
                u.uuid = s.columnText(14);
                u.station = s.columnText(15);
                u.revision = s.columnInt(16, 0);
                u.shippedRevision = s.columnInt(17, 0);
                u.shippedMs = s.columnInt(18);
            } else {
                // As the layout that brings them will make it: named after its machine, and
                // not on any server yet.
                u.station = u.machine;
                u.revision = 1;
            }
            if (answers) {
                answers->bind(u.id);
                while ((rc = answers->step()) == SQLITE_ROW)
                    u.answers.push_back({static_cast<int>(answers->columnInt(0)),
                                         answers->columnText(1), answers->columnText(2)});
                if (rc != SQLITE_DONE) return rc;
            }
            if (f.withFiles) {
                files.bind(u.id);
                while ((rc = files.step()) == SQLITE_ROW) {
                    HistoryFile file;
                    file.seq = static_cast<int>(files.columnInt(0));
                    file.name = files.columnText(1);
                    file.size = files.columnInt(2);
                    file.archiveId = files.columnInt(3);
                    file.archiveName = files.columnText(4);
                    file.sha256 = files.columnText(5);
                    file.transferMs = files.columnInt(6);
                    file.programmed = files.columnInt(7, 0) != 0;
                    file.blocksSent = files.columnInt(8);
                    u.files.push_back(std::move(file));
                }
                if (rc != SQLITE_DONE) return rc;
            }
            if (!each(u)) return SQLITE_DONE;
        }
        return rc;
    }

    int count(const HistoryFilter& f, int64_t* n) {
        *n = 0;
        if (version_ == 0) return SQLITE_DONE;
        Statement s(db_, ("SELECT count(*) FROM updates" + whereOf(f, version_)).c_str());
        if (!s.ok()) return s.prepareCode();
        bindWhere(s, f);
        int rc = s.step();
        if (rc != SQLITE_ROW) return rc;
        *n = s.columnInt(0, 0);
        return SQLITE_DONE;
    }

  private:
    sqlite3* db_;
    int64_t version_;
};

// A reader's wait for another program's lock: the notice once, then short sleeps for as long
// as SQLite keeps finding the file locked, up to kReadWaitMs at a stretch.
struct BusyWait {
    HistoryBusyNotice notice;
    bool told = false;
    int waitedMs = 0;

    static int handler(void* self, int attempt) {
        BusyWait* w = static_cast<BusyWait*>(self);
        if (attempt == 0) w->waitedMs = 0;
        if (!w->told) {
            w->told = true;
            if (w->notice) w->notice();
        }
        if (w->waitedMs >= kReadWaitMs) return 0;
        sqlite3_sleep(kReadWaitStepMs);
        w->waitedMs += kReadWaitStepMs;
        return 1;
    }
};

// One connection to a history file. A store opened for reading only is handed out as its
// IHistoryReader, so nobody can call its writes.
class SqliteStore : public IHistoryStore {
  public:
    // wait: the reader's wait for locks, which the connection's busy handler points at (null
    // for a store that records).
    SqliteStore(sqlite3* db, std::string path, int64_t version,
                std::unique_ptr<BusyWait> wait = nullptr)
        : db_(db),
          path_(std::move(path)),
          version_(version),
          wait_(std::move(wait)),
          lock_(lock_Create()) {}
    ~SqliteStore() override {
        sqlite3_close_v2(db_);
        lock_Destroy(lock_);
    }

    int64_t BeginUpdate(const HistoryUpdate& u, std::string* error) override {
        LockGuard g(lock_);
        Statement s(db_,
                    "INSERT INTO updates (started_ms, machine, version, location, serial, "
                    "port_names, folder, log_path, uuid, station, identity_note) "
                    "VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11)");
        if (!s.run(u.startedMs, u.machine, u.version, u.location, u.serial, u.portNames, u.folder,
                   u.logPath, u.uuid.empty() ? history_NewUuid() : u.uuid,
                   u.station.empty() ? u.machine : u.station, u.identityNote))
            return fail(error, "record the update's start"), 0;
        return sqlite3_last_insert_rowid(db_);
    }

    bool AddFile(int64_t id, const HistoryFile& f, std::string* error) override {
        LockGuard g(lock_);
        Statement s(db_,
                    "INSERT OR REPLACE INTO files (update_id, seq, name, size, archive_id, "
                    "archive_name, sha256, transfer_ms, programmed, blocks_sent) "
                    "VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10)");
        if (!s.run(id, f.seq, f.name, f.size, OrNull{f.archiveId}, f.archiveName, f.sha256,
                   OrNull{f.transferMs}, f.programmed ? 1 : 0, OrNull{f.blocksSent}))
            return fail(error, "record a file of the update");
        return true;
    }

    bool AddAnswers(int64_t id, const std::vector<HistoryAnswer>& answers,
                    std::string* error) override {
        LockGuard g(lock_);
        if (!exec("BEGIN IMMEDIATE")) return fail(error, "record the modem's answers");
        bool ok = true;
        for (const HistoryAnswer& a : answers) {
            if (!ok) break;
            ok = Statement(db_,
                           "INSERT OR REPLACE INTO answers (update_id, mode, command, answer) "
                           "VALUES (?1, ?2, ?3, ?4)")
                     .run(id, a.mode, a.command, a.answer);
        }
        if (ok && exec("COMMIT")) return true;
        fail(error, "record the modem's answers");
        exec("ROLLBACK");
        return false;
    }

    bool FinishUpdate(int64_t id, const HistoryUpdate& u, std::string* error) override {
        LockGuard g(lock_);
        if (!exec("BEGIN IMMEDIATE")) return fail(error, "record the update's end");
        bool ok =
            Statement(db_,
                      "UPDATE updates SET ended_ms = ?2, result_code = ?3, result_words = ?4, "
                      "log_path = CASE WHEN ?5 = '' THEN log_path ELSE ?5 END, "
                      "port_names = CASE WHEN ?6 = '' THEN port_names ELSE ?6 END, "
                      "location = CASE WHEN ?7 = '' THEN location ELSE ?7 END, "
                      "serial = CASE WHEN ?8 = '' THEN serial ELSE ?8 END, "
                      "identity_note = CASE WHEN ?9 = '' THEN identity_note ELSE ?9 END, "
                      "modem_left = ?10 "
                      "WHERE id = ?1")
                .run(id, u.endedMs, u.resultCode, u.resultWords, u.logPath, u.portNames, u.location,
                     u.serial, u.identityNote, u.modemLeft);
        for (const HistoryAnswer& a : u.answers) {
            if (!ok) break;
            ok = Statement(db_,
                           "INSERT OR REPLACE INTO answers (update_id, mode, command, answer) "
                           "VALUES (?1, ?2, ?3, ?4)")
                     .run(id, a.mode, a.command, a.answer);
        }
        if (ok && exec("COMMIT")) return true;
        fail(error, "record the update's end");
        exec("ROLLBACK");
        return false;
    }

    bool ForEach(const HistoryFilter& f, const Each& each, std::string* error) override {
        LockGuard g(lock_);
        // One read transaction, so that the rows, files and answers are of one moment.
        if (!exec("BEGIN")) return fail(error, "read");
        int rc = Rows(db_, version_).forEach(f, each);
        exec(rc == SQLITE_DONE ? "COMMIT" : "ROLLBACK");
        return rc == SQLITE_DONE || fail(error, "read", rc);
    }

    bool Count(const HistoryFilter& f, int64_t* n, std::string* error) override {
        LockGuard g(lock_);
        int rc = Rows(db_, version_).count(f, n);
        return rc == SQLITE_DONE || fail(error, "read", rc);
    }

    bool MarkShipped(const std::vector<HistoryShipMark>& marks, int64_t shippedMs,
                     std::string* error) override {
        LockGuard g(lock_);
        // One write for all of them: the recording threads meet the file's lock once.
        if (!exec("BEGIN IMMEDIATE")) return fail(error, "mark records as shipped");
        Statement s(db_,
                    "UPDATE updates SET shipped_revision = ?2, shipped_ms = ?3 "
                    "WHERE id = ?1 AND shipped_revision < ?2");
        bool ok = true;
        for (const HistoryShipMark& m : marks)
            if (ok) ok = s.run(m.id, m.revision, shippedMs);
        if (ok && exec("COMMIT")) return true;
        fail(error, "mark records as shipped");
        exec("ROLLBACK");
        return false;
    }

  private:
    bool exec(const char* sql) { return execSql(db_, sql) == SQLITE_OK; }

    bool fail(std::string* error, const char* what, int rc = SQLITE_OK) {
        if (!error) return false;
        if (isDamage(rc) || isDamage(sqlite3_errcode(db_)))
            *error = path_ + " is damaged (" + sqlite3_errmsg(db_) +
                     "); the next update recorded in it moves it aside and starts a new one";
        else
            *error = std::string("cannot ") + what + " in " + path_ + ": " + sqlite3_errmsg(db_);
        return false;
    }

    sqlite3* db_;
    std::string path_;
    int64_t version_;
    std::unique_ptr<BusyWait> wait_;  // freed after the connection is closed
    // Guards the connection and its last error text, shared by the threads that record
    // through this store.
    PlatformLock* lock_;
};

// The outcome of preparing a connection.
enum Setup {
    SETUP_OK,
    SETUP_DAMAGED,  // set aside and started anew by a store that records
    SETUP_FOREIGN,  // another program's database: left alone
    SETUP_REFUSED   // cannot be used for another reason (*error says why)
};

int64_t scalar(sqlite3* db, const char* sql, int* rc) {
    Statement s(db, sql);
    if (!s.ok()) {
        *rc = s.prepareCode();
        return -1;
    }
    *rc = s.step();
    if (*rc != SQLITE_ROW) return -1;
    *rc = SQLITE_OK;
    return s.columnInt(0);
}

std::string errorText(sqlite3* db, const std::string& path, const char* what) {
    return "cannot " + std::string(what) + " " + path + ": " + sqlite3_errmsg(db);
}

// Says what could not be done with the file; SQLite's code tells a damaged file from one
// refused for another reason.
Setup failed(sqlite3* db, const std::string& path, const char* what, int rc, std::string* error) {
    *error = isDamage(rc) ? path + " is damaged (" + sqlite3_errmsg(db) + ")"
                          : errorText(db, path, what);
    return isDamage(rc) ? SETUP_DAMAGED : SETUP_REFUSED;
}

// The file's layout version and whether it is one this code may read and write: a new or
// empty file, or a history of this or an older layout. Nothing is written before this is
// known.
Setup checkOwnership(sqlite3* db, const std::string& path, int64_t* version, std::string* error) {
    int rc;
    *version = scalar(db, "PRAGMA user_version", &rc);
    int64_t tables = rc == SQLITE_OK ? scalar(db, "SELECT count(*) FROM sqlite_master", &rc) : -1;
    if (rc != SQLITE_OK) return failed(db, path, "read", rc, error);
    if (*version > kSchemaVersion) {
        *error = path + " was written by a newer modemflash (layout " + std::to_string(*version) +
                 ", this one knows up to " + std::to_string(kSchemaVersion) + ")";
        return SETUP_REFUSED;
    }
    if (*version == 0 && tables > 0) {
        *error = path + " is not a history file (another program's database)";
        return SETUP_FOREIGN;
    }
    return SETUP_OK;
}

// Every page read once: a file whose header and layout are sound may still hold pages that
// are not (and every write that reaches them would fail).
Setup checkPages(sqlite3* db, const std::string& path, std::string* error) {
    Statement s(db, "PRAGMA quick_check(1)");
    int rc = s.ok() ? s.step() : s.prepareCode();
    if (rc == SQLITE_ROW && s.columnText(0) == "ok") return SETUP_OK;
    if (rc != SQLITE_ROW) return failed(db, path, "read", rc, error);
    *error = path + " is damaged (" + s.columnText(0) + ")";
    return SETUP_DAMAGED;
}

// The checks above, WAL mode, then the layout brought to kSchemaVersion under one write
// transaction (two processes opening a new file at once do not both create it: the second
// finds the version the first set).
Setup setUp(sqlite3* db, const std::string& path, std::string* error) {
    sqlite3_busy_handler(db, writerBusy, nullptr);
    int64_t version = 0;
    Setup result = checkOwnership(db, path, &version, error);
    if (result == SETUP_OK) result = checkPages(db, path, error);
    if (result != SETUP_OK) return result;
    int rc;
    {
        Statement wal(db, "PRAGMA journal_mode=WAL");
        rc = wal.ok() ? wal.step() : wal.prepareCode();
        if (rc != SQLITE_ROW) return failed(db, path, "use", rc, error);
    }
    execSql(db, "PRAGMA synchronous=NORMAL; PRAGMA foreign_keys=ON");
    rc = execSql(db, "BEGIN IMMEDIATE");
    if (rc != SQLITE_OK) return failed(db, path, "write to", rc, error);
    result = checkOwnership(db, path, &version, error);
    for (int64_t v = version; v < kSchemaVersion && result == SETUP_OK; ++v) {
        rc = execSql(db, kMigrations[v]);
        if (rc != SQLITE_OK) result = failed(db, path, "update the layout of", rc, error);
    }
    std::string set = "PRAGMA user_version=" + std::to_string(kSchemaVersion);
    if (result == SETUP_OK && version != kSchemaVersion && execSql(db, set.c_str()) != SQLITE_OK) {
        *error = errorText(db, path, "update the layout of");
        result = SETUP_REFUSED;
    }
    if (result == SETUP_OK && execSql(db, "COMMIT") != SQLITE_OK) {
        *error = errorText(db, path, "write to");
        result = SETUP_REFUSED;
    }
    if (result != SETUP_OK) execSql(db, "ROLLBACK");
    return result;
}

// Whether anything stands at path (through the file seam, which reads a narrow path as the
// system does: the ANSI code page on Windows, where std::filesystem would take it for UTF-8).
bool pathTaken(const std::string& path) {
    return file_Type(path.c_str(), nullptr) != FILE_TYPE_MISSING;
}

// Moves a damaged file, and the journal files that belong to it, out of the way.
bool moveAside(const std::string& path, std::string* movedTo, std::string* error) {
    std::string stamp = history_FileStamp(history_NowMs());
    std::string target = path + ".corrupt-" + stamp;
    for (int n = 2; pathTaken(target) && n < 100; ++n)
        target = path + ".corrupt-" + stamp + "-" + std::to_string(n);
    if (std::rename(path.c_str(), target.c_str()) != 0) {
        *error = "cannot move the damaged history " + path + " aside: " + std::strerror(errno);
        return false;
    }
    for (const char* suffix : {"-wal", "-shm"}) {
        if (pathTaken(path + suffix))
            std::rename((path + suffix).c_str(), (target + suffix).c_str());
    }
    *movedTo = target;
    return true;
}

// SQLite takes UTF-8 file names; the path is in the system's own encoding (Windows: the ANSI
// code page, as %LOCALAPPDATA% of a user named with an accent gives it).
std::string sqliteName(const std::string& path) {
    std::string utf8(path.size() * 3 + 1, '\0');
    long n = text_FileNameToUtf8(path.c_str(), &utf8[0], utf8.size());
    if (n < 0) return path;
    utf8.resize(static_cast<size_t>(n));
    return utf8;
}

sqlite3* openConnection(const std::string& path, int flags, std::string* error) {
    sqlite3* db = nullptr;
    int rc = sqliteFaulted() ? SQLITE_CANTOPEN
                             : sqlite3_open_v2(sqliteName(path).c_str(), &db, flags, nullptr);
    if (rc != SQLITE_OK) {
        *error = db ? errorText(db, path, "open") : "cannot open " + path;
        sqlite3_close_v2(db);
        return nullptr;
    }
    return db;
}

// What stands at path, as the file seam tells it; FILE_TYPE_MISSING with *why set when it
// cannot be looked at, and *why empty when nothing is there.
int typeOf(const std::string& path, std::string* why) {
    errno = 0;
    int type = file_Type(path.c_str(), nullptr);
    why->clear();
    if (type == FILE_TYPE_MISSING && errno != 0 && errno != ENOENT && errno != ENOTDIR)
        *why = std::strerror(errno);
    return type;
}

// What the first bytes of a regular file say: SQLite's own files begin with its magic text.
enum Content { CONTENT_EMPTY, CONTENT_SQLITE, CONTENT_OTHER, CONTENT_UNREADABLE };

Content contentOf(const std::string& path, std::string* why) {
    static const char kMagic[] = "SQLite format 3";  // 16 bytes with its NUL
    FILE* f = fopen(path.c_str(), "rb");
    if (f == nullptr) {
        std::error_code ec(errno, std::generic_category());
        *why = ec.message();
        return CONTENT_UNREADABLE;
    }
    char head[sizeof kMagic] = {};
    size_t n = fread(head, 1, sizeof head, f);
    fclose(f);
    if (n == 0) return CONTENT_EMPTY;
    return n == sizeof head && std::equal(head, head + sizeof head, kMagic) ? CONTENT_SQLITE
                                                                            : CONTENT_OTHER;
}

// A file: URI that opens path as a file nobody changes.
std::string immutableUri(const std::string& path) {
    std::string uri = "file:";
    for (unsigned char c : path) {
        if (c == '%' || c == '?' || c == '#' || c < 0x20) {
            char hex[4];
            snprintf(hex, sizeof hex, "%%%02X", c);
            uri += hex;
        } else {
            uri += static_cast<char>(c);
        }
    }
    return uri + "?immutable=1";
}

}  // namespace

bool history_StoreAvailable() {
    return true;
}

std::unique_ptr<IHistoryStore> history_OpenStore(const std::string& path, std::string* notice,
                                                 std::string* error) {
    std::string ignoredError;
    if (error == nullptr) error = &ignoredError;
    if (notice) notice->clear();
    if (path.empty()) {
        *error = "no history file named";
        return nullptr;
    }
    // Nothing is touched until the path is known to be a history, or a new file in a folder
    // this user may write. Paths go through the file seam, which reads a narrow path as the
    // system does (the ANSI code page on Windows).
    std::string why;
    int type = typeOf(path, &why);
    if (type == FILE_TYPE_MISSING && !why.empty()) {
        *error = "cannot use " + path + ": " + why;
        return nullptr;
    }
    if (type == FILE_TYPE_MISSING) {
        std::string parent = path.substr(0, file_FolderLength(path.c_str()));
        char failed[1024];
        if (!parent.empty() && !pathTaken(parent) &&
            !file_MakeDirs(parent.c_str(), failed, sizeof failed)) {
            *error =
                "cannot create the folder " + std::string(failed) + ": " + std::strerror(errno);
            return nullptr;
        }
        std::string folder = parent.empty() ? "." : parent;
        if (!file_CanCreateIn(folder.c_str())) {
            int cause = errno;
            *error =
                "cannot create " + path + ": " + folder +
                (cause == ENOTDIR ? " is not a folder" : ": " + std::string(std::strerror(cause)));
            return nullptr;
        }
    } else if (type != FILE_TYPE_REGULAR) {
        *error = path + " is " + file_TypeName(type) + ", not a history file";
        return nullptr;
    } else {
        Content c = contentOf(path, &why);
        if (c == CONTENT_UNREADABLE) {
            *error = "cannot read " + path + ": " + why;
            return nullptr;
        }
        if (c == CONTENT_OTHER) {
            *error = path + " is not a history file (not an SQLite database); it is left as it is";
            return nullptr;
        }
    }
    for (int round = 0; round < 2; ++round) {
        sqlite3* db = openConnection(path, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, error);
        if (db == nullptr) return nullptr;
        Setup s = setUp(db, path, error);
        if (s == SETUP_OK)
            return std::unique_ptr<IHistoryStore>(new SqliteStore(db, path, kSchemaVersion));
        sqlite3_close_v2(db);
        if (s != SETUP_DAMAGED || round > 0) return nullptr;
        std::string movedTo;
        std::string reason = *error;
        if (!moveAside(path, &movedTo, error)) return nullptr;
        if (notice)
            *notice = reason + "; it was moved aside as " + movedTo + " and a new history started";
    }
    return nullptr;
}

std::unique_ptr<IHistoryReader> history_OpenReader(const std::string& path,
                                                   const HistoryBusyNotice& busy,
                                                   HistoryReadStatus* status, std::string* error) {
    HistoryReadStatus ignoredStatus;
    std::string ignoredError;
    if (status == nullptr) status = &ignoredStatus;
    if (error == nullptr) error = &ignoredError;
    *status = HISTORY_READ_FAILED;
    std::string why;
    int type = typeOf(path, &why);
    if (type == FILE_TYPE_MISSING && why.empty()) {
        *status = HISTORY_READ_MISSING;
        *error = "no history at " + path;
        return nullptr;
    }
    if (type == FILE_TYPE_MISSING) {
        *error = "cannot read " + path + ": " + why;
        return nullptr;
    }
    if (type != FILE_TYPE_REGULAR) {
        *status = HISTORY_READ_NOT_HISTORY;
        *error = path + " is not a history file (it is " + file_TypeName(type) + ")";
        return nullptr;
    }
    Content c = contentOf(path, &why);
    if (c == CONTENT_UNREADABLE) {
        *error = "cannot read " + path + ": " + why;
        return nullptr;
    }
    if (c == CONTENT_OTHER) {
        *status = HISTORY_READ_NOT_HISTORY;
        *error = path + " is not a history file (not an SQLite database)";
        return nullptr;
    }
    std::unique_ptr<BusyWait> wait(new BusyWait);
    wait->notice = busy;
    int64_t version = 0;
    if (c == CONTENT_EMPTY) {
        // SQLite's empty database, with no update in it.
        sqlite3* db = openConnection(path, SQLITE_OPEN_READONLY, error);
        if (db == nullptr) return nullptr;
        *status = HISTORY_READ_OK;
        return std::unique_ptr<IHistoryReader>(new SqliteStore(db, path, 0, std::move(wait)));
    }
    Setup s = SETUP_REFUSED;
    for (int attempt = 0; attempt < 2; ++attempt) {
        sqlite3* db =
            openConnection(attempt == 0 ? path : immutableUri(path),
                           SQLITE_OPEN_READONLY | (attempt == 0 ? 0 : SQLITE_OPEN_URI), error);
        if (db == nullptr) return nullptr;
        sqlite3_busy_handler(db, &BusyWait::handler, wait.get());
        int rc;
        scalar(db, "PRAGMA user_version", &rc);
        // A reader in a folder it may not write cannot make the shared-memory file that WAL
        // reads use. When no writer has the file open either (no -wal file), nothing changes
        // it during the read, and it is read as it stands.
        if (attempt == 0 && ((rc & 0xff) == SQLITE_CANTOPEN || (rc & 0xff) == SQLITE_READONLY) &&
            !pathTaken(path + "-wal")) {
            sqlite3_close_v2(db);
            continue;
        }
        s = checkOwnership(db, path, &version, error);
        if (s == SETUP_OK) {
            *status = HISTORY_READ_OK;
            return std::unique_ptr<IHistoryReader>(
                new SqliteStore(db, path, version, std::move(wait)));
        }
        sqlite3_close_v2(db);
        break;
    }
    if (s == SETUP_FOREIGN) *status = HISTORY_READ_NOT_HISTORY;
    if (s == SETUP_DAMAGED)
        *error += "; the next update recorded in it moves it aside and starts a new one";
    return nullptr;
}
