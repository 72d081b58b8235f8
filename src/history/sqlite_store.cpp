// The update history in one SQLite file.
//
// Several jobs (threads of one station, or several processes) write to the same file while
// `modemflash history` reads it: the file is in WAL mode, so readers never wait for writers,
// and every connection waits up to kBusyTimeoutMs for another writer instead of failing with
// "database is locked". Every write is one short transaction begun IMMEDIATE, so that no
// transaction has to upgrade a read lock (which SQLite answers with an immediate "busy").
//
// The layout carries its version in PRAGMA user_version; kMigrations brings a file of any
// older version up to date, step by step, in one transaction.
#include <sqlite3.h>

#include <filesystem>
#include <system_error>

#include "history/history_store.h"
#include "history/history_time.h"
#include "platform/lock.h"

namespace {

const int kBusyTimeoutMs = 15000;

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
    // 3: each record's UUID and station, and its shipping to the fleet's server: the record's
    // revision grows with every write (triggers, so that no write can forget it), and the
    // revision the server has taken is kept beside it; a record whose revision the server
    // does not have is pending. Records of older files get a UUID and their machine as
    // station, and are pending.
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
};
const int kSchemaVersion = static_cast<int>(sizeof kMigrations / sizeof kMigrations[0]);

bool isDamage(int code) {
    code &= 0xff;
    return code == SQLITE_NOTADB || code == SQLITE_CORRUPT;
}

// A number that the store keeps as NULL when it is -1 (not known).
struct OrNull {
    int64_t value;
};

// A prepared statement, finalized on every path.
class Statement {
  public:
    Statement(sqlite3* db, const char* sql) { rc_ = sqlite3_prepare_v2(db, sql, -1, &s_, nullptr); }
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
    int step() { return sqlite3_step(s_); }
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

// The WHERE clause of a filter; bindWhere gives its values to the statement that uses it.
std::string whereOf(const HistoryFilter& f) {
    std::string sql = " WHERE 1";
    if (f.id > 0) sql += " AND id = ?1";
    if (!f.serial.empty()) sql += " AND serial = ?2";
    if (!f.location.empty()) sql += " AND location = ?3";
    if (f.sinceMs >= 0) sql += " AND started_ms >= ?4";
    if (f.failedOnly) sql += " AND (ended_ms IS NULL OR result_code IS NOT 1)";
    if (!f.station.empty()) sql += " AND station = ?6";
    if (f.pendingOnly) sql += " AND shipped_revision < revision";
    return sql;
}

void bindWhere(Statement& s, const HistoryFilter& f) {
    if (f.id > 0) s.integer(1, f.id);
    if (!f.serial.empty()) s.text(2, f.serial);
    if (!f.location.empty()) s.text(3, f.location);
    if (f.sinceMs >= 0) s.integer(4, f.sinceMs);
    if (!f.station.empty()) s.text(6, f.station);
}

class SqliteStore : public IHistoryStore {
  public:
    SqliteStore(sqlite3* db, std::string path)
        : db_(db), path_(std::move(path)), lock_(lock_Create()) {}
    ~SqliteStore() override {
        sqlite3_close_v2(db_);
        lock_Destroy(lock_);
    }

    int64_t BeginUpdate(const HistoryUpdate& u, std::string* error) override {
        Guard g(lock_);
        Statement s(db_,
                    "INSERT INTO updates (started_ms, machine, version, location, serial, "
                    "port_names, folder, log_path, uuid, station) "
                    "VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10)");
        if (!s.run(u.startedMs, u.machine, u.version, u.location, u.serial, u.portNames, u.folder,
                   u.logPath, u.uuid.empty() ? history_NewUuid() : u.uuid,
                   u.station.empty() ? u.machine : u.station))
            return fail(error, "record the update's start"), 0;
        return sqlite3_last_insert_rowid(db_);
    }

    bool AddFile(int64_t id, const HistoryFile& f, std::string* error) override {
        Guard g(lock_);
        Statement s(db_,
                    "INSERT OR REPLACE INTO files (update_id, seq, name, size, archive_id, "
                    "archive_name, sha256, transfer_ms, programmed) "
                    "VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9)");
        if (!s.run(id, f.seq, f.name, f.size, OrNull{f.archiveId}, f.archiveName, f.sha256,
                   OrNull{f.transferMs}, f.programmed ? 1 : 0))
            return fail(error, "record a file of the update");
        return true;
    }

    bool FinishUpdate(int64_t id, const HistoryUpdate& u, std::string* error) override {
        Guard g(lock_);
        if (!exec("BEGIN IMMEDIATE")) return fail(error, "record the update's end");
        bool ok =
            Statement(db_,
                      "UPDATE updates SET ended_ms = ?2, result_code = ?3, result_words = ?4, "
                      "log_path = CASE WHEN ?5 = '' THEN log_path ELSE ?5 END, "
                      "port_names = CASE WHEN ?6 = '' THEN port_names ELSE ?6 END, "
                      "location = CASE WHEN ?7 = '' THEN location ELSE ?7 END, "
                      "serial = CASE WHEN ?8 = '' THEN serial ELSE ?8 END WHERE id = ?1")
                .run(id, u.endedMs, u.resultCode, u.resultWords, u.logPath, u.portNames, u.location,
                     u.serial);
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

    bool Query(const HistoryFilter& f, std::vector<HistoryUpdate>* out,
               std::string* error) override {
        Guard g(lock_);
        out->clear();
        // One read transaction, so that the rows, files and answers are of one moment.
        if (!exec("BEGIN")) return fail(error, "read the history");
        bool ok = queryLocked(f, out);
        if (!ok) fail(error, "read the history");
        exec(ok ? "COMMIT" : "ROLLBACK");
        return ok;
    }

    bool Count(const HistoryFilter& f, int64_t* count, std::string* error) override {
        Guard g(lock_);
        std::string sql = "SELECT count(*) FROM updates" + whereOf(f);
        Statement s(db_, sql.c_str());
        if (!s.ok()) return fail(error, "read the history");
        bindWhere(s, f);
        if (s.step() != SQLITE_ROW) return fail(error, "read the history");
        *count = s.columnInt(0, 0);
        return true;
    }

    bool MarkShipped(int64_t id, int64_t revision, int64_t shippedMs, std::string* error) override {
        Guard g(lock_);
        if (!Statement(db_,
                       "UPDATE updates SET shipped_revision = ?2, shipped_ms = ?3 "
                       "WHERE id = ?1 AND shipped_revision < ?2")
                 .run(id, revision, shippedMs))
            return fail(error, "mark a record as shipped");
        return true;
    }

  private:
    // Holds the store's lock for one operation: the connection and its last error text are
    // shared by the threads that record through this store.
    class Guard {
      public:
        explicit Guard(PlatformLock* l) : l_(l) { lock_Acquire(l_); }
        ~Guard() { lock_Release(l_); }

      private:
        PlatformLock* l_;
    };

    bool exec(const char* sql) {
        return sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
    }

    bool fail(std::string* error, const char* what) {
        if (error)
            *error = std::string("cannot ") + what + " in " + path_ + ": " + sqlite3_errmsg(db_);
        return false;
    }

    bool queryLocked(const HistoryFilter& f, std::vector<HistoryUpdate>* out) {
        std::string sql =
            "SELECT id, started_ms, ended_ms, machine, version, location, serial, port_names, "
            "folder, result_code, result_words, log_path, uuid, station, revision, "
            "shipped_revision, shipped_ms FROM updates" +
            whereOf(f) + " ORDER BY started_ms DESC, id DESC";
        if (f.limit > 0) sql += " LIMIT ?5";
        Statement s(db_, sql.c_str());
        if (!s.ok()) return false;
        bindWhere(s, f);
        if (f.limit > 0) s.integer(5, f.limit);
        int rc;
        while ((rc = s.step()) == SQLITE_ROW) {
            HistoryUpdate u;
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
            u.uuid = s.columnText(12);
            u.station = s.columnText(13);
            u.revision = s.columnInt(14, 0);
            u.shippedRevision = s.columnInt(15, 0);
            u.shippedMs = s.columnInt(16);
            out->push_back(std::move(u));
        }
        if (rc != SQLITE_DONE) return false;
        Statement answers(db_,
                          "SELECT mode, command, answer FROM answers WHERE update_id = ?1 "
                          "ORDER BY mode, rowid");
        Statement files(db_,
                        "SELECT seq, name, size, archive_id, archive_name, sha256, transfer_ms, "
                        "programmed FROM files WHERE update_id = ?1 ORDER BY seq");
        if (!answers.ok() || !files.ok()) return false;
        for (HistoryUpdate& u : *out) {
            answers.bind(u.id);
            while ((rc = answers.step()) == SQLITE_ROW)
                u.answers.push_back({static_cast<int>(answers.columnInt(0)), answers.columnText(1),
                                     answers.columnText(2)});
            if (rc != SQLITE_DONE) return false;
            if (!f.withFiles) continue;
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
                u.files.push_back(std::move(file));
            }
            if (rc != SQLITE_DONE) return false;
        }
        return true;
    }

    sqlite3* db_;
    std::string path_;
    PlatformLock* lock_;
};

// The outcome of preparing a connection.
enum Setup { SETUP_OK, SETUP_DAMAGED, SETUP_REFUSED };

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
    *error = errorText(db, path, what);
    return isDamage(rc) ? SETUP_DAMAGED : SETUP_REFUSED;
}

// Whether the file is one this code may write to: a new or empty file, or a history of this
// or an older layout. Nothing is written before this is known.
Setup checkOwnership(sqlite3* db, const std::string& path, std::string* error) {
    int rc;
    int64_t version = scalar(db, "PRAGMA user_version", &rc);
    int64_t tables = rc == SQLITE_OK ? scalar(db, "SELECT count(*) FROM sqlite_master", &rc) : -1;
    if (rc != SQLITE_OK) return failed(db, path, "read", rc, error);
    if (version > kSchemaVersion) {
        *error = path + " was written by a newer modemflash (layout " + std::to_string(version) +
                 ", this one knows up to " + std::to_string(kSchemaVersion) + ")";
        return SETUP_REFUSED;
    }
    if (version == 0 && tables > 0) {
        *error = path + " is another program's database, not an update history";
        return SETUP_REFUSED;
    }
    return SETUP_OK;
}

// The checks above, WAL mode, then the layout brought to kSchemaVersion under one write
// transaction (two processes opening a new file at once do not both create it: the second
// finds the version the first set).
Setup setUp(sqlite3* db, const std::string& path, std::string* error) {
    sqlite3_busy_timeout(db, kBusyTimeoutMs);
    Setup result = checkOwnership(db, path, error);
    if (result != SETUP_OK) return result;
    int rc;
    {
        Statement wal(db, "PRAGMA journal_mode=WAL");
        rc = wal.ok() ? wal.step() : wal.prepareCode();
        if (rc != SQLITE_ROW) return failed(db, path, "use", rc, error);
    }
    sqlite3_exec(db, "PRAGMA synchronous=NORMAL; PRAGMA foreign_keys=ON", nullptr, nullptr,
                 nullptr);
    rc = sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK) return failed(db, path, "write to", rc, error);
    result = checkOwnership(db, path, error);
    int64_t version = result == SETUP_OK ? scalar(db, "PRAGMA user_version", &rc) : 0;
    for (int64_t v = version; v < kSchemaVersion && result == SETUP_OK; ++v) {
        rc = sqlite3_exec(db, kMigrations[v], nullptr, nullptr, nullptr);
        if (rc != SQLITE_OK) result = failed(db, path, "update the layout of", rc, error);
    }
    std::string set = "PRAGMA user_version=" + std::to_string(kSchemaVersion);
    if (result == SETUP_OK && version != kSchemaVersion &&
        sqlite3_exec(db, set.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK) {
        *error = errorText(db, path, "update the layout of");
        result = SETUP_REFUSED;
    }
    if (result == SETUP_OK && sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK) {
        *error = errorText(db, path, "write to");
        result = SETUP_REFUSED;
    }
    if (result != SETUP_OK) sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
    return result;
}

// Moves a damaged file, and the journal files that belong to it, out of the way.
bool moveAside(const std::string& path, std::string* movedTo, std::string* error) {
    std::string stamp = history_FileStamp(history_NowMs());
    std::string target = path + ".corrupt-" + stamp;
    std::error_code ec;
    for (int n = 2; std::filesystem::exists(target, ec) && n < 100; ++n)
        target = path + ".corrupt-" + stamp + "-" + std::to_string(n);
    std::filesystem::rename(path, target, ec);
    if (ec) {
        *error = "cannot move the damaged history " + path + " aside: " + ec.message();
        return false;
    }
    for (const char* suffix : {"-wal", "-shm"}) {
        std::error_code ignored;
        if (std::filesystem::exists(path + suffix, ignored))
            std::filesystem::rename(path + suffix, target + suffix, ignored);
    }
    *movedTo = target;
    return true;
}

sqlite3* openConnection(const std::string& path, std::string* error) {
    sqlite3* db = nullptr;
    int rc =
        sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    if (rc != SQLITE_OK) {
        *error = db ? errorText(db, path, "open") : "cannot open " + path;
        sqlite3_close_v2(db);
        return nullptr;
    }
    return db;
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
    std::filesystem::path parent = std::filesystem::path(path).parent_path();
    std::error_code ec;
    if (!parent.empty() && !std::filesystem::is_directory(parent, ec)) {
        std::filesystem::create_directories(parent, ec);
        if (ec) {
            *error = "cannot create the folder " + parent.string() + ": " + ec.message();
            return nullptr;
        }
    }
    for (int round = 0; round < 2; ++round) {
        sqlite3* db = openConnection(path, error);
        if (db == nullptr) return nullptr;
        Setup s = setUp(db, path, error);
        if (s == SETUP_OK) return std::unique_ptr<IHistoryStore>(new SqliteStore(db, path));
        sqlite3_close_v2(db);
        if (s == SETUP_REFUSED || round > 0) return nullptr;
        std::string movedTo;
        std::string reason = *error;
        if (!moveAside(path, &movedTo, error)) return nullptr;
        if (notice)
            *notice = reason + "; it was moved aside as " + movedTo + " and a new history started";
    }
    return nullptr;
}
