// The fleet's history on a PostgreSQL server, through libpq.
//
// Every conversation is bounded: the connection is made with libpq's non-blocking calls and
// each statement is sent and awaited the same way, in short slices, so that neither a server
// that does not answer nor one that goes away mid-statement holds the caller longer than the
// limits (history_ServerLimits), and a caller that gives up (a stopping shipper) is free at
// once. A connection that failed once is not used again.
//
// One store is used by one thread at a time (the shipper's, or a command's).
#include <libpq-fe.h>
#include <stdio.h>
#include <string.h>

#include <map>
#include <vector>

#include "history/history_server.h"
#include "history/history_time.h"
#include "platform/clock.h"
#include "platform/socket_wait.h"

extern const char kFleetSchema[];  // server/fleet_schema.sql, compiled in

namespace {

const int kSliceMs = 50;     // how often a wait asks whether to give up
const int kListChunk = 500;  // records whose files and answers are asked for at once

struct ResultFree {
    void operator()(PGresult* r) const { PQclear(r); }
};
using Result = std::unique_ptr<PGresult, ResultFree>;

// The first line of a message of libpq or the server, without the password.
std::string oneLine(const char* text, const std::string& server) {
    std::string s = text ? text : "";
    size_t cut = s.find('\n');
    if (cut != std::string::npos) s.erase(cut);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\r')) s.pop_back();
    if (s.empty()) s = "no reason given";
    return history_HideSecrets(s, server);
}

// A text as the server takes it: UTF-8, every byte that is not part of a valid sequence (and
// NUL, which a parameter cannot carry) written as U+FFFD.
std::string utf8Text(const std::string& s) {
    std::string out;
    out.reserve(s.size());
    const unsigned char* p = reinterpret_cast<const unsigned char*>(s.data());
    size_t n = s.size();
    for (size_t i = 0; i < n;) {
        unsigned char c = p[i];
        size_t len = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
        bool ok = c != 0 && len > 0 && i + len <= n;
        for (size_t k = 1; ok && k < len; ++k) ok = (p[i + k] & 0xc0) == 0x80;
        if (ok && len > 1) {
            uint32_t cp = c & (0x7f >> len);
            for (size_t k = 1; k < len; ++k) cp = (cp << 6) | (p[i + k] & 0x3f);
            static const uint32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};
            ok = cp >= kMin[len] && cp <= 0x10ffff && !(cp >= 0xd800 && cp <= 0xdfff);
        }
        if (ok) {
            out.append(s, i, len);
            i += len;
        } else {
            out += "\xef\xbf\xbd";
            ++i;
        }
    }
    return out;
}

std::string hexOf(const std::string& bytes) {
    static const char kDigits[] = "0123456789abcdef";
    std::string out;
    out.reserve(bytes.size() * 2);
    for (unsigned char c : bytes) {
        out += kDigits[c >> 4];
        out += kDigits[c & 15];
    }
    return out;
}

std::string bytesOfHex(const char* hex) {
    std::string out;
    auto value = [](char c) { return c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10; };
    for (size_t i = 0; hex[i] && hex[i + 1]; i += 2)
        out += static_cast<char>(value(hex[i]) * 16 + value(hex[i + 1]));
    return out;
}

// The parameters of one statement, as text ($1, $2, ... in the order they are added).
class Params {
  public:
    int text(const std::string& s) { return add(utf8Text(s), false); }
    int number(int64_t v) { return add(std::to_string(v), false); }
    int numberOrNull(int64_t v) { return v < 0 ? add("", true) : number(v); }
    int raw(const std::string& s) { return add(s, false); }
    std::vector<const char*> pointers() const {
        std::vector<const char*> p;
        for (size_t i = 0; i < values_.size(); ++i)
            p.push_back(nulls_[i] ? nullptr : values_[i].c_str());
        return p;
    }

  private:
    int add(std::string v, bool null) {
        values_.push_back(std::move(v));
        nulls_.push_back(null);
        return static_cast<int>(values_.size());
    }
    std::vector<std::string> values_;
    std::vector<bool> nulls_;
};

std::string placeholder(int n) {
    return "$" + std::to_string(n);
}

// Array literals, as PostgreSQL reads them: {1,NULL,3}, {"a","b\"c"}, {t,f}.
class ArrayText {
  public:
    void number(int64_t v) { item(std::to_string(v)); }
    void numberOrNull(int64_t v) { item(v < 0 ? "NULL" : std::to_string(v)); }
    void flag(bool v) { item(v ? "t" : "f"); }
    void text(const std::string& s) {
        std::string q = "\"";
        for (char c : utf8Text(s)) {
            if (c == '"' || c == '\\') q += '\\';
            q += c;
        }
        item(q + "\"");
    }
    std::string done() const { return "{" + items_ + "}"; }

  private:
    void item(const std::string& s) {
        if (!items_.empty()) items_ += ',';
        items_ += s;
    }
    std::string items_;
};

// The schema file cut at its "-- version N" lines: what comes before the first is run by
// every version; step n brings the tables to version n.
struct Schema {
    std::string start;
    std::vector<std::string> steps;
};

Schema schemaOf(const char* text) {
    Schema s;
    std::string all = text;
    std::string* part = &s.start;
    for (size_t b = 0, e; b < all.size(); b = e + 1) {
        e = all.find('\n', b);
        if (e == std::string::npos) e = all.size();
        std::string line = all.substr(b, e - b);
        if (line.rfind("-- version ", 0) == 0) {
            s.steps.emplace_back();
            part = &s.steps.back();
            continue;
        }
        *part += line + "\n";
    }
    return s;
}

// The version that brought the note on the modem's identity, where the modem was left and
// how far each file's transfer got; a reader of an older server reads them as unknown.
const int64_t kNotesVersion = 2;

const Schema& schema() {
    static const Schema s = schemaOf(kFleetSchema);
    return s;
}

// One connection to the server.
class Connection {
  public:
    Connection(PGconn* conn, std::string server, HistoryServerLimits limits, HistoryGiveUp giveUp)
        : conn_(conn), server_(std::move(server)), limits_(limits), giveUp_(std::move(giveUp)) {}
    ~Connection() { PQfinish(conn_); }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // Connects within the limits; null with *error.
    static std::unique_ptr<Connection> open(const std::string& server, const HistoryGiveUp& giveUp,
                                            std::string* error) {
        HistoryServerLimits limits = history_ServerLimits(server);
        // The string's own settings win over the name this program gives itself; the texts
        // are UTF-8 whatever the string says.
        const char* keys[] = {"application_name", "dbname", "client_encoding", nullptr};
        const char* values[] = {"modemflash", server.c_str(), "UTF8", nullptr};
        PGconn* conn = PQconnectStartParams(keys, values, 1);
        if (conn == nullptr) {
            *error = "out of memory";
            return nullptr;
        }
        // The server's notices (a table that already exists, ...) are nobody's business.
        PQsetNoticeProcessor(
            conn, [](void*, const char*) {}, nullptr);
        std::unique_ptr<Connection> c(new Connection(conn, server, limits, giveUp));
        if (PQstatus(conn) == CONNECTION_BAD) {
            *error = oneLine(PQerrorMessage(conn), server);
            return nullptr;
        }
        int64_t deadline = clk_RealNowUs() + int64_t(limits.connectMs) * 1000;
        PostgresPollingStatusType st = PGRES_POLLING_WRITING;
        while (st != PGRES_POLLING_OK) {
            if (st == PGRES_POLLING_FAILED) {
                *error = oneLine(PQerrorMessage(conn), server);
                return nullptr;
            }
            if (!c->waitSocket(st == PGRES_POLLING_READING, st == PGRES_POLLING_WRITING, deadline,
                               "to connect", limits.connectMs, error))
                return nullptr;
            st = PQconnectPoll(conn);
        }
        if (PQsetnonblocking(conn, 1) != 0) {
            *error = oneLine(PQerrorMessage(conn), server);
            return nullptr;
        }
        // The server stops a statement of ours that runs too long, as this side stops waiting.
        // A commit is acknowledged only once the server has written it: on a server set to
        // answer sooner (synchronous_commit off), a crash would lose records that the station
        // has marked shipped.
        Params p;
        p.raw(std::to_string(limits.statementMs));
        if (!c->run("SELECT set_config('statement_timeout', $1, false), CASE WHEN "
                    "current_setting('synchronous_commit') = 'off' THEN "
                    "set_config('synchronous_commit', 'local', false) END",
                    p, PGRES_TUPLES_OK, error))
            return nullptr;
        return c;
    }

    // One statement with its parameters; its result when it ended as expected, else null with
    // *error.
    Result run(const char* sql, const Params& params, ExecStatusType expected, std::string* error) {
        if (broken_) return failed("the connection failed before", error);
        std::vector<const char*> values = params.pointers();
        if (!PQsendQueryParams(conn_, sql, static_cast<int>(values.size()), nullptr, values.data(),
                               nullptr, nullptr, 0))
            return failed(oneLine(PQerrorMessage(conn_), server_), error);
        return await(expected, error);
    }
    Result run(const char* sql, ExecStatusType expected, std::string* error) {
        return run(sql, Params(), expected, error);
    }

    // Several statements without parameters (a schema step).
    bool script(const std::string& sql, std::string* error) {
        if (broken_) return failed("the connection failed before", error), false;
        if (!PQsendQuery(conn_, sql.c_str()))
            return failed(oneLine(PQerrorMessage(conn_), server_), error), false;
        return await(PGRES_COMMAND_OK, error) != nullptr;
    }

    bool broken() const { return broken_; }
    // Whether the last statement failed for what it carried (SQLSTATE classes 22, data
    // exception, and 23, integrity constraint), which sending it again does not mend; any
    // other failure (a time-out, a cancel, a server shutting down, no space) is of the moment.
    bool refusedItsData() const {
        return state_.size() == 5 &&
               (state_.compare(0, 2, "22") == 0 || state_.compare(0, 2, "23") == 0);
    }

  private:
    Result failed(const std::string& why, std::string* error) {
        broken_ = broken_ || PQstatus(conn_) != CONNECTION_OK;
        *error = why;
        return nullptr;
    }

    // Waits for the socket, in slices, until the deadline; false with *error (the time ran
    // out, the caller gave up, the socket failed), and the connection is not used again.
    bool waitSocket(bool forRead, bool forWrite, int64_t deadlineUs, const char* what, int limitMs,
                    std::string* error) {
        for (;;) {
            if (giveUp_ && giveUp_()) {
                broken_ = true;
                *error = "stopped while waiting for the server";
                return false;
            }
            int64_t left = (deadlineUs - clk_RealNowUs()) / 1000;
            if (left <= 0) {
                broken_ = true;
                char text[96];
                snprintf(text, sizeof text, "the server did not answer within %d s %s",
                         (limitMs + 999) / 1000, what);
                *error = text;
                return false;
            }
            int rc = sock_Wait(PQsocket(conn_), forRead, forWrite,
                               static_cast<int>(left < kSliceMs ? left : kSliceMs));
            if (rc > 0) return true;
            if (rc < 0) {
                broken_ = true;
                *error = "the connection to the server failed";
                return false;
            }
        }
    }

    // Sends what libpq still holds, then reads every result of the statement; the last one
    // is the statement's.
    Result await(ExecStatusType expected, std::string* error) {
        // The server's own statement_timeout ends a slow statement first, with its own words.
        int64_t deadline = clk_RealNowUs() + int64_t(limits_.statementMs) * 1000 + 500000;
        int f;
        while ((f = PQflush(conn_)) == 1) {
            if (!waitSocket(true, true, deadline, "to a statement", limits_.statementMs, error))
                return nullptr;
            if (!PQconsumeInput(conn_))
                return failed(oneLine(PQerrorMessage(conn_), server_), error);
        }
        if (f < 0) return failed(oneLine(PQerrorMessage(conn_), server_), error);
        Result last;
        std::string firstError;
        state_.clear();
        for (;;) {
            while (PQisBusy(conn_)) {
                if (!waitSocket(true, false, deadline, "to a statement", limits_.statementMs,
                                error))
                    return nullptr;
                if (!PQconsumeInput(conn_))
                    return failed(oneLine(PQerrorMessage(conn_), server_), error);
            }
            PGresult* r = PQgetResult(conn_);
            if (r == nullptr) break;
            ExecStatusType st = PQresultStatus(r);
            if (st != PGRES_COMMAND_OK && st != PGRES_TUPLES_OK && firstError.empty()) {
                firstError = oneLine(PQresultErrorMessage(r), server_);
                const char* code = PQresultErrorField(r, PG_DIAG_SQLSTATE);
                state_ = code ? code : "";
            }
            last.reset(r);
        }
        if (!firstError.empty()) return failed(firstError, error);
        if (!last) return failed(oneLine(PQerrorMessage(conn_), server_), error);
        ExecStatusType st = PQresultStatus(last.get());
        if (st != expected && !(expected == PGRES_COMMAND_OK && st == PGRES_TUPLES_OK))
            return failed("the server answered a statement unexpectedly", error);
        return last;
    }

    PGconn* conn_;
    std::string server_;
    HistoryServerLimits limits_;
    HistoryGiveUp giveUp_;
    bool broken_ = false;
    std::string state_;  // the SQLSTATE of the last statement's error; "" none
};

int64_t numberOr(const PGresult* r, int row, int column, int64_t ifNull) {
    if (PQgetisnull(r, row, column)) return ifNull;
    return strtoll(PQgetvalue(r, row, column), nullptr, 10);
}

std::string textAt(const PGresult* r, int row, int column) {
    return std::string(PQgetvalue(r, row, column),
                       static_cast<size_t>(PQgetlength(r, row, column)));
}

// Milliseconds since 1970 of a timestamptz column, exactly (as PostgreSQL keeps microseconds).
std::string msOf(const char* column) {
    return std::string("(extract(epoch FROM ") + column + ") * 1000)::bigint";
}

// A timestamptz of milliseconds since 1970 (a parameter or a column), exactly.
std::string timeOf(const std::string& ms) {
    return "timestamptz 'epoch' + " + ms + "::bigint * interval '1 millisecond'";
}

class ServerStore : public IHistoryServer {
  public:
    ServerStore(std::unique_ptr<Connection> c, std::string server, int64_t version)
        : c_(std::move(c)), server_(std::move(server)), version_(version) {}

    bool ForEach(const HistoryFilter& f, const Each& each, std::string* error) override {
        if (version_ == 0) return true;  // nothing was ever shipped here
        // One snapshot: the rows, their files and their answers of one moment.
        if (!c_->run("BEGIN ISOLATION LEVEL REPEATABLE READ READ ONLY", PGRES_COMMAND_OK, error))
            return false;
        bool ok = forEachIn(f, each, error);
        std::string ignored;
        if (ok) ok = c_->run("COMMIT", PGRES_COMMAND_OK, error) != nullptr;
        if (!ok) c_->run("ROLLBACK", PGRES_COMMAND_OK, &ignored);
        return ok;
    }

    bool Count(const HistoryFilter& f, int64_t* count, std::string* error) override {
        *count = 0;
        if (version_ == 0) return true;
        Params p;
        std::string sql = "SELECT count(*) FROM modemflash_updates" + whereOf(f, &p);
        Result r = c_->run(sql.c_str(), p, PGRES_TUPLES_OK, error);
        if (!r) return false;
        *count = numberOr(r.get(), 0, 0, 0);
        return true;
    }

    bool PutUpdates(const std::vector<HistoryUpdate>& records, std::vector<std::string>* refused,
                    std::string* error) override {
        // One copy per UUID, the one furthest along: a statement may touch a row once.
        std::vector<const HistoryUpdate*> batch;
        std::map<std::string, size_t> at;
        for (const HistoryUpdate& u : records) {
            auto found = at.find(u.uuid);
            if (found == at.end()) {
                at[u.uuid] = batch.size();
                batch.push_back(&u);
            } else if (furtherAlong(u, *batch[found->second])) {
                batch[found->second] = &u;
            }
        }
        if (batch.empty()) return true;
        if (putBatch(batch, error)) return true;
        if (c_->broken() || !c_->refusedItsData()) return false;  // tried again after a pause
        // The server refused something of the records: once more, one at a time, so that
        // the others go in (a failed statement took none of them).
        for (const HistoryUpdate* u : batch) {
            std::string why;
            if (putBatch({u}, &why)) continue;
            if (c_->broken() || !c_->refusedItsData()) {
                *error = why;
                return false;
            }
            if (refused) refused->push_back(u->uuid + ": " + why);
        }
        return true;
    }

  private:
    static bool furtherAlong(const HistoryUpdate& a, const HistoryUpdate& b) {
        if (a.finished() != b.finished()) return a.finished();
        return a.revision > b.revision;
    }

    std::string whereOf(const HistoryFilter& f, Params* p) const {
        std::string sql = " WHERE true";
        if (f.id > 0) sql += " AND id = " + placeholder(p->number(f.id));
        if (f.serial) sql += " AND serial = " + placeholder(p->text(*f.serial));
        if (f.location) sql += " AND location = " + placeholder(p->text(*f.location));
        if (!f.station.empty()) sql += " AND station = " + placeholder(p->text(f.station));
        if (f.sinceMs >= 0) sql += " AND started >= " + timeOf(placeholder(p->number(f.sinceMs)));
        if (f.failedOnly) sql += " AND (ended IS NULL OR result_code IS DISTINCT FROM 1)";
        // Every record on the server is there in the revision it holds: none is pending.
        if (f.pendingOnly) sql += " AND false";
        return sql;
    }

    // The selected rows through a cursor, a chunk at a time with the chunk's answers and
    // files, so that a fleet's history of any size is listed in the same memory.
    bool forEachIn(const HistoryFilter& f, const Each& each, std::string* error) {
        Params p;
        std::string sql = "DECLARE listing NO SCROLL CURSOR FOR SELECT id, " + msOf("started") +
                          ", " + msOf("ended") +
                          ", machine, version, location, serial, port_names, folder, "
                          "result_code, result_words, log_path, uuid, station, revision, " +
                          msOf("shipped") +
                          (version_ >= kNotesVersion ? ", identity_note, modem_left" : ", '', ''") +
                          " FROM modemflash_updates" + whereOf(f, &p) +
                          " ORDER BY started DESC, id DESC";
        if (f.limit > 0) sql += " LIMIT " + placeholder(p.number(f.limit));
        if (f.offset > 0) sql += " OFFSET " + placeholder(p.number(f.offset));
        if (!c_->run(sql.c_str(), p, PGRES_COMMAND_OK, error)) return false;
        const std::string fetch = "FETCH " + std::to_string(kListChunk) + " FROM listing";
        for (;;) {
            Result r = c_->run(fetch.c_str(), PGRES_TUPLES_OK, error);
            if (!r) return false;
            int rows = PQntuples(r.get());
            if (rows == 0) return true;
            std::vector<HistoryUpdate> chunk;
            std::map<std::string, size_t> byUuid;
            ArrayText uuids;
            for (int i = 0; i < rows; ++i) {
                const PGresult* g = r.get();
                HistoryUpdate u;
                u.id = numberOr(g, i, 0, 0);
                u.startedMs = numberOr(g, i, 1, 0);
                u.endedMs = numberOr(g, i, 2, -1);
                u.machine = textAt(g, i, 3);
                u.version = textAt(g, i, 4);
                u.location = textAt(g, i, 5);
                u.serial = textAt(g, i, 6);
                u.portNames = textAt(g, i, 7);
                u.folder = textAt(g, i, 8);
                u.resultCode = static_cast<int>(numberOr(g, i, 9, -1));
                u.resultWords = textAt(g, i, 10);
                u.logPath = textAt(g, i, 11);
                u.uuid = textAt(g, i, 12);
                u.station = textAt(g, i, 13);
                u.revision = numberOr(g, i, 14, 0);
                u.shippedRevision = u.revision;  // what the server holds is shipped
                u.shippedMs = numberOr(g, i, 15, -1);
                u.identityNote = textAt(g, i, 16);
                u.modemLeft = textAt(g, i, 17);
                byUuid[u.uuid] = chunk.size();
                uuids.text(u.uuid);
                chunk.push_back(std::move(u));
            }
            if (!details(uuids.done(), byUuid, f.withFiles, &chunk, error)) return false;
            for (const HistoryUpdate& u : chunk)
                if (!each(u)) return true;
            if (rows < kListChunk) return true;
        }
    }

    // The answers (and files) of the chunk's records.
    bool details(const std::string& uuids, std::map<std::string, size_t>& byUuid, bool withFiles,
                 std::vector<HistoryUpdate>* chunk, std::string* error) {
        Params q;
        q.raw(uuids);
        Result a = c_->run(
            "SELECT update_uuid, mode, command, encode(answer, 'hex') FROM modemflash_answers "
            "WHERE update_uuid = ANY($1::uuid[]) ORDER BY update_uuid, mode, seq",
            q, PGRES_TUPLES_OK, error);
        if (!a) return false;
        for (int i = 0; i < PQntuples(a.get()); ++i) {
            HistoryUpdate& u = (*chunk)[byUuid[textAt(a.get(), i, 0)]];
            u.answers.push_back({static_cast<int>(numberOr(a.get(), i, 1, 0)),
                                 textAt(a.get(), i, 2), bytesOfHex(PQgetvalue(a.get(), i, 3))});
        }
        if (!withFiles) return true;
        Result fl = c_->run(
            (std::string("SELECT update_uuid, seq, name, size, archive_id, archive_name, sha256, "
                         "transfer_ms, programmed, ") +
             (version_ >= kNotesVersion ? "blocks_sent" : "NULL") +
             " FROM modemflash_files WHERE update_uuid = ANY($1::uuid[]) "
             "ORDER BY update_uuid, seq")
                .c_str(),
            q, PGRES_TUPLES_OK, error);
        if (!fl) return false;
        for (int i = 0; i < PQntuples(fl.get()); ++i) {
            const PGresult* g = fl.get();
            HistoryFile file;
            file.seq = static_cast<int>(numberOr(g, i, 1, 0));
            file.name = textAt(g, i, 2);
            file.size = numberOr(g, i, 3, -1);
            file.archiveId = numberOr(g, i, 4, -1);
            file.archiveName = textAt(g, i, 5);
            file.sha256 = textAt(g, i, 6);
            file.transferMs = numberOr(g, i, 7, -1);
            file.programmed = strcmp(PQgetvalue(g, i, 8), "t") == 0;
            file.blocksSent = numberOr(g, i, 9, -1);
            (*chunk)[byUuid[textAt(g, i, 0)]].files.push_back(std::move(file));
        }
        return true;
    }

    // The records in one statement, so that a batch costs one round trip: each row is added
    // or replaced when the server has none of that UUID or an older copy (finished over
    // unfinished, then the later revision); the files and answers of the rows it took
    // replace theirs.
    bool putBatch(const std::vector<const HistoryUpdate*>& batch, std::string* error) {
        ArrayText uuid, station, machine, localId, revision, started, ended, version, location,
            serial, ports, folder, result, words, log, note, left;
        ArrayText fUuid, fSeq, fName, fSize, fId, fArchive, fSha, fMs, fProgrammed, fBlocks;
        ArrayText aUuid, aMode, aCommand, aAnswer, aSeq;
        for (const HistoryUpdate* u : batch) {
            uuid.text(u->uuid);
            station.text(u->station);
            machine.text(u->machine);
            localId.number(u->id);
            revision.number(u->revision);
            started.number(u->startedMs);
            ended.numberOrNull(u->endedMs);
            version.text(u->version);
            location.text(u->location);
            serial.text(u->serial);
            ports.text(u->portNames);
            folder.text(u->folder);
            result.numberOrNull(u->finished() ? u->resultCode : -1);
            words.text(u->resultWords);
            log.text(u->logPath);
            note.text(u->identityNote);
            left.text(u->modemLeft);
            for (const HistoryFile& f : u->files) {
                fUuid.text(u->uuid);
                fSeq.number(f.seq);
                fName.text(f.name);
                fSize.numberOrNull(f.size);
                fId.numberOrNull(f.archiveId);
                fArchive.text(f.archiveName);
                fSha.text(f.sha256);
                fMs.numberOrNull(f.transferMs);
                fProgrammed.flag(f.programmed);
                fBlocks.numberOrNull(f.blocksSent);
            }
            int n = 0;
            for (const HistoryAnswer& a : u->answers) {
                aUuid.text(u->uuid);
                aMode.number(a.mode);
                aCommand.text(a.command);
                aAnswer.text(hexOf(a.answer));
                aSeq.number(n++);
            }
        }
        Params p;
        for (const ArrayText* a :
             {&uuid,    &station,  &machine, &localId, &revision,    &started, &ended,
              &version, &location, &serial,  &ports,   &folder,      &result,  &words,
              &log,     &note,     &left,    &fUuid,   &fSeq,        &fName,   &fSize,
              &fId,     &fArchive, &fSha,    &fMs,     &fProgrammed, &fBlocks, &aUuid,
              &aMode,   &aCommand, &aAnswer, &aSeq})
            p.raw(a->done());
        static const std::string kPut =
            "WITH r AS (SELECT * FROM unnest($1::uuid[], $2::text[], $3::text[], $4::bigint[], "
            "$5::bigint[], $6::bigint[], $7::bigint[], $8::text[], $9::text[], $10::text[], "
            "$11::text[], $12::text[], $13::integer[], $14::text[], $15::text[], $16::text[], "
            "$17::text[]) AS r(uuid, station, machine, local_id, revision, started_ms, ended_ms, "
            "version, location, serial, port_names, folder, result_code, result_words, log_path, "
            "identity_note, modem_left)), "
            "up AS (INSERT INTO modemflash_updates AS u (uuid, station, machine, local_id, "
            "revision, started, ended, version, location, serial, port_names, folder, "
            "result_code, result_words, log_path, identity_note, modem_left) SELECT uuid, "
            "station, machine, local_id, revision, " +
            timeOf("started_ms") + ", " + timeOf("ended_ms") +
            ", version, location, serial, port_names, folder, result_code, result_words, "
            "log_path, identity_note, modem_left FROM r "
            "ON CONFLICT (uuid) DO UPDATE SET station = EXCLUDED.station, "
            "machine = EXCLUDED.machine, local_id = EXCLUDED.local_id, "
            "revision = EXCLUDED.revision, started = EXCLUDED.started, ended = EXCLUDED.ended, "
            "version = EXCLUDED.version, location = EXCLUDED.location, "
            "serial = EXCLUDED.serial, port_names = EXCLUDED.port_names, "
            "folder = EXCLUDED.folder, result_code = EXCLUDED.result_code, "
            "result_words = EXCLUDED.result_words, log_path = EXCLUDED.log_path, "
            "identity_note = EXCLUDED.identity_note, modem_left = EXCLUDED.modem_left, "
            "shipped = now() "
            // Finished over unfinished, then the later revision; never the other way round.
            "WHERE (EXCLUDED.ended IS NOT NULL, EXCLUDED.revision) > "
            "(u.ended IS NOT NULL, u.revision) RETURNING u.uuid), "
            "f AS (SELECT * FROM unnest($18::uuid[], $19::integer[], $20::text[], $21::bigint[], "
            "$22::integer[], $23::text[], $24::text[], $25::bigint[], $26::boolean[], "
            "$27::bigint[]) AS f(update_uuid, seq, name, size, archive_id, archive_name, sha256, "
            "transfer_ms, programmed, blocks_sent)), "
            // The rows touched by one part and by another are never the same: files of the
            // new copy are written, those it no longer has removed.
            "fw AS (INSERT INTO modemflash_files AS x (update_uuid, seq, name, size, archive_id, "
            "archive_name, sha256, transfer_ms, programmed, blocks_sent) SELECT f.* FROM f JOIN "
            "up ON up.uuid = f.update_uuid ON CONFLICT (update_uuid, seq) DO UPDATE SET "
            "name = EXCLUDED.name, size = EXCLUDED.size, archive_id = EXCLUDED.archive_id, "
            "archive_name = EXCLUDED.archive_name, sha256 = EXCLUDED.sha256, "
            "transfer_ms = EXCLUDED.transfer_ms, programmed = EXCLUDED.programmed, "
            "blocks_sent = EXCLUDED.blocks_sent), "
            "fd AS (DELETE FROM modemflash_files x USING up WHERE x.update_uuid = up.uuid AND "
            "NOT EXISTS (SELECT 1 FROM f WHERE f.update_uuid = x.update_uuid AND "
            "f.seq = x.seq)), "
            "a AS (SELECT * FROM unnest($28::uuid[], $29::integer[], $30::text[], $31::text[], "
            "$32::integer[]) AS a(update_uuid, mode, command, answer, seq)), "
            "aw AS (INSERT INTO modemflash_answers AS x (update_uuid, mode, command, answer, "
            "seq) SELECT a.update_uuid, a.mode, a.command, decode(a.answer, 'hex'), a.seq FROM "
            "a JOIN up ON up.uuid = a.update_uuid ON CONFLICT (update_uuid, mode, command) DO "
            "UPDATE SET answer = EXCLUDED.answer, seq = EXCLUDED.seq), "
            "ad AS (DELETE FROM modemflash_answers x USING up WHERE x.update_uuid = up.uuid AND "
            "NOT EXISTS (SELECT 1 FROM a WHERE a.update_uuid = x.update_uuid AND "
            "a.mode = x.mode AND a.command = x.command)) "
            "SELECT count(*) FROM up";
        return c_->run(kPut.c_str(), p, PGRES_TUPLES_OK, error) != nullptr;
    }

    std::unique_ptr<Connection> c_;
    std::string server_;
    int64_t version_;  // the server's tables' version; 0 none yet
};

int64_t versionOf(Connection& c, std::string* error) {
    Result exists =
        c.run("SELECT to_regclass('modemflash_schema') IS NOT NULL", PGRES_TUPLES_OK, error);
    if (!exists) return -1;
    if (strcmp(PQgetvalue(exists.get(), 0, 0), "t") != 0) return 0;
    Result v =
        c.run("SELECT coalesce(max(version), 0) FROM modemflash_schema", PGRES_TUPLES_OK, error);
    return v ? numberOr(v.get(), 0, 0, 0) : -1;
}

// Creates the tables, or brings them up to date, under an advisory lock that every station
// takes (two stations starting at once do not both create them). The server's version, or
// -1 with *error.
int64_t setUp(Connection& c, std::string* error) {
    const Schema& s = schema();
    const int64_t known = static_cast<int64_t>(s.steps.size());
    if (!c.run("BEGIN", PGRES_COMMAND_OK, error)) return -1;
    bool ok = c.run("SELECT pg_advisory_xact_lock(7236837245291521024)", PGRES_TUPLES_OK, error) &&
              c.script(s.start, error);
    int64_t version = ok ? versionOf(c, error) : -1;
    ok = version >= 0;
    for (int64_t v = version; ok && v < known; ++v) {
        Params p;
        p.number(v + 1);
        ok = c.script(s.steps[static_cast<size_t>(v)], error) &&
             c.run("INSERT INTO modemflash_schema (version) VALUES ($1)", p, PGRES_COMMAND_OK,
                   error);
    }
    if (ok && c.run("COMMIT", PGRES_COMMAND_OK, error)) return known > version ? known : version;
    std::string ignored;
    c.run("ROLLBACK", PGRES_COMMAND_OK, &ignored);
    if (error->find("permission denied") != std::string::npos)
        *error = "the server's history tables cannot be created: " + *error;
    return -1;
}

}  // namespace

bool history_ServerAvailable() {
    return true;
}

std::string history_ServerUnavailable() {
    return "";
}

std::string history_ServerSchemaStart() {
    return schema().start;
}

std::vector<std::string> history_ServerSchemaSteps() {
    return schema().steps;
}

std::unique_ptr<IHistoryServer> history_OpenServer(const std::string& server, bool forWriting,
                                                   const HistoryGiveUp& giveUp,
                                                   std::string* error) {
    std::string ignored;
    if (error == nullptr) error = &ignored;
    if (server.empty()) {
        *error = "no history server named";
        return nullptr;
    }
    std::unique_ptr<Connection> c = Connection::open(server, giveUp, error);
    if (!c) return nullptr;
    int64_t version = versionOf(*c, error);
    if (version < 0) return nullptr;
    const int64_t known = static_cast<int64_t>(schema().steps.size());
    if (version > known) {
        *error = "the server's history tables are of a newer modemflash (version " +
                 std::to_string(version) + "; this one knows up to " + std::to_string(known) + ")";
        // A reader lists what it can; a shipper never writes into a layout it does not know.
        if (forWriting) return nullptr;
    }
    if (forWriting && version < known) {
        version = setUp(*c, error);
        if (version < 0) return nullptr;
    }
    return std::unique_ptr<IHistoryServer>(new ServerStore(std::move(c), server, version));
}
