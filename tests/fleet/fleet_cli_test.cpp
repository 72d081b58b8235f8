// One record for many stations, as users run it: `modemflash flash --all` and `watch` on
// stations of simulated modems (modemsim processes) shipping to a private PostgreSQL server,
// `history --server` and `history sync`, with the server away, killed, or refusing the
// password.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "fleet_fixture.h"
#include "history/history_server.h"
#include "history/history_store.h"
#include "history/history_time.h"
#include "support/command_test.h"

#if defined(MODEMFLASH_CLI_PATH) && defined(MODEMSIM_PATH)

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
using testsupport::CommandRun;

const char kScale[] = "100";

std::string readAll(const std::string& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

size_t count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t p = 0; (p = text.find(what, p)) != std::string::npos; p += what.size()) ++n;
    return n;
}

// The lines of text that hold what.
size_t linesWith(const std::string& text, const std::string& what) {
    size_t n = 0;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) n += line.find(what) != std::string::npos;
    return n;
}

// Runs `vars program args` through the shell as a child whose pid is the program's own.
pid_t spawnShell(const std::string& vars, const std::string& command) {
    pid_t pid = -1;
    std::string exec = vars + " exec " + command;
    const char* argv[] = {"/bin/sh", "-c", exec.c_str(), nullptr};
    if (posix_spawn(&pid, "/bin/sh", nullptr, nullptr, const_cast<char**>(argv), environ) != 0)
        return -1;
    return pid;
}

int waitExit(pid_t pid) {
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// GET path from 127.0.0.1:port: the whole answer, headers and body ("" when none came).
std::string httpGet(int port, const std::string& path) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string answer;
    if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
        std::string request = "GET " + path + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
        if (send(fd, request.data(), request.size(), MSG_NOSIGNAL) ==
            static_cast<ssize_t>(request.size())) {
            char buf[4096];
            ssize_t n;
            while ((n = recv(fd, buf, sizeof buf, 0)) > 0)
                answer.append(buf, static_cast<size_t>(n));
        }
    }
    if (fd >= 0) close(fd);
    return answer;
}

double secondsSince(Clock::time_point t) {
    return std::chrono::duration<double>(Clock::now() - t).count();
}

// One station: its own device tree with a modemsim process of `modems` simulated modems, its
// own state folder and history file.
class SimStation {
  public:
    SimStation(const std::string& dir, int modems, const std::string& fault = "")
        : dir_(dir), modems_(modems), fault_(fault) {
        mkdir(dir_.c_str(), 0755);
        mkdir((dir_ + "/dev").c_str(), 0755);
        mkdir((dir_ + "/sys").c_str(), 0755);
        env = "MODEMFLASH_DEV_ROOT=" + dir_ + "/dev MODEMFLASH_SYSFS_ROOT=" + dir_ +
              "/sys XDG_STATE_HOME=" + dir_ + "/state";
        history = dir_ + "/history.sqlite3";
    }
    ~SimStation() { stop(); }

    bool start() {
        std::string ready = dir_ + "/ready";
        unlink(ready.c_str());
        sim_ = spawnShell(env, MODEMSIM_PATH " --modems " + std::to_string(modems_) +
                                   " --time-scale " + kScale +
                                   " --republish-delay-ms 0 --ready-file " + ready +
                                   (fault_.empty() ? "" : " --fault '" + fault_ + "'") + " 2>> " +
                                   dir_ + "/sim.err");
        struct stat st;
        for (int i = 0; i < 1000 && stat(ready.c_str(), &st) != 0; ++i) usleep(10000);
        return stat(ready.c_str(), &st) == 0;
    }
    void stop() {
        if (sim_ <= 0) return;
        kill(sim_, SIGTERM);
        waitExit(sim_);
        sim_ = -1;
    }
    void clearFault() { fault_.clear(); }

    std::string env;
    std::string history;

  private:
    std::string dir_;
    int modems_;
    std::string fault_;
    pid_t sim_ = -1;
};

class FleetCommand : public testsupport::CliTest {
  protected:
    void SetUp() override {
        CliTest::SetUp();
        uri = fleet::freshDatabase();
        pg = fleet::server();
        ASSERT_TRUE(pg);
        db = uri.substr(uri.find("@/") + 2, uri.find('?') - uri.find("@/") - 2);
    }
    void TearDown() override {
        if (pg && !pg->running()) pg->start(nullptr);
    }

    std::string flashAll(const SimStation& s, const std::string& more) const {
        return "flash " + firmware + " --all --time-scale " + kScale + " --history " + s.history +
               " " + more;
    }

    // The records of a history file (every field and file).
    std::vector<HistoryUpdate> local(const std::string& path) const {
        HistoryReadStatus status;
        std::string error;
        std::unique_ptr<IHistoryReader> r = history_OpenReader(path, nullptr, &status, &error);
        if (!r) return {};
        return fleet::everything(*r);
    }
    std::vector<HistoryUpdate> onServer(const std::string& to = "") const {
        std::string error;
        std::unique_ptr<IHistoryServer> s =
            history_OpenServer(to.empty() ? uri : to, false, nullptr, &error);
        EXPECT_TRUE(s) << error;
        return s ? fleet::everything(*s) : std::vector<HistoryUpdate>();
    }
    // Waits until the server holds n records, all finished or not as asked.
    bool serverHolds(size_t n, int timeoutMs = 15000) const {
        for (int waited = 0; waited < timeoutMs; waited += 50) {
            if (onServer().size() == n) return true;
            usleep(50000);
        }
        return false;
    }
    bool localHolds(const std::string& path, size_t finished, int timeoutMs = 30000) const {
        for (int waited = 0; waited < timeoutMs; waited += 50) {
            size_t n = 0;
            for (const HistoryUpdate& u : local(path)) n += u.finished() ? 1 : 0;
            if (n >= finished) return true;
            usleep(50000);
        }
        return false;
    }

    std::string uri;
    std::string db;
    testsupport::PrivatePostgres* pg = nullptr;
};

// Three stations, each with its own history file, update four modems each at the same time:
// the server has the twelve records, each with its station, serial number and files.
TEST_F(FleetCommand, ThreeStationsOfFourModemsShipTwelveRecordsEachOnce) {
    // The password comes from a password file, as libpq reads it; the URI has none.
    std::string passFile = root.file("pgpass");
    root.write("pgpass", "*:*:*:" + pg->user() + ":" + pg->password() + "\n");
    chmod(passFile.c_str(), 0600);
    std::string server = pg->uri(db, false);
    std::vector<std::unique_ptr<SimStation>> stations;
    for (int i = 1; i <= 3; ++i) {
        stations.emplace_back(new SimStation(root.file("st" + std::to_string(i)), 4));
        ASSERT_TRUE(stations.back()->start());
    }
    std::vector<CommandRun> runs(3);
    std::vector<std::thread> threads;
    for (size_t i = 0; i < 3; ++i)
        threads.emplace_back([&, i] {
            runs[i] =
                run(flashAll(*stations[i], "--history-server '" + server +
                                               "' --station-name line1-st" + std::to_string(i + 1)),
                    stations[i]->env + " PGPASSFILE=" + passFile);
        });
    for (std::thread& t : threads) t.join();
    for (const CommandRun& r : runs) {
        ASSERT_EQ(r.status, 0) << r.out;
        EXPECT_NE(r.out.find("4 of 4 modem(s) updated"), std::string::npos) << r.out;
        EXPECT_EQ(r.out.find("warning"), std::string::npos) << r.out;
    }
    // Each station gave its shipper the time to send its records before it ended.
    std::vector<HistoryUpdate> all = onServer();
    ASSERT_EQ(all.size(), 12u);
    std::set<std::string> uuids, stationSerials;
    for (const HistoryUpdate& u : all) {
        uuids.insert(u.uuid);
        stationSerials.insert(u.station + " " + u.serial);
        EXPECT_EQ(u.resultCode, 1) << u.serial;
        ASSERT_EQ(u.files.size(), 7u) << u.serial;
        EXPECT_EQ(u.files[0].name, "loader.wrapped");
        for (const HistoryFile& f : u.files) EXPECT_TRUE(f.programmed) << f.name;
    }
    EXPECT_EQ(uuids.size(), 12u);
    for (int st = 1; st <= 3; ++st)
        for (int m = 1; m <= 4; ++m)
            EXPECT_EQ(stationSerials.count("line1-st" + std::to_string(st) + " SIM000" +
                                           std::to_string(m)),
                      1u);
    // Each station's own records are marked shipped, and match the server's field by field.
    for (const auto& s : stations) {
        std::vector<HistoryUpdate> mine = local(s->history);
        ASSERT_EQ(mine.size(), 4u);
        for (const HistoryUpdate& u : mine) {
            EXPECT_FALSE(u.pending()) << u.serial;
            for (const HistoryUpdate& there : all)
                if (there.uuid == u.uuid) fleet::expectSameRecord(there, u);
        }
    }
    // The fleet's listing: a STATION column, one row per record.
    CommandRun table = run("history --server '" + server + "'", "PGPASSFILE=" + passFile);
    EXPECT_EQ(table.status, 0) << table.out;
    EXPECT_NE(table.out.find("STATION"), std::string::npos) << table.out;
    EXPECT_EQ(count(table.out, "line1-st"), 12u) << table.out;
    CommandRun one = run("history --server '" + server + "' --station line1-st2 --json",
                         "PGPASSFILE=" + passFile);
    EXPECT_EQ(count(one.out, "\"station\":\"line1-st2\""), 4u) << one.out;
    EXPECT_EQ(count(one.out, "\"name\":\"loader.wrapped\""), 4u) << one.out;
}

// The server is stopped before the first update and started after the last: the updates take
// as long as without a server, every record waits pending, one warning says why, and each
// record arrives once: through `history sync`, or by itself from a station that still runs.
TEST_F(FleetCommand, AServerAwayCostsTheUpdatesNothingAndEachRecordArrivesOnce) {
    SimStation station(root.file("st1"), 4);
    ASSERT_TRUE(station.start());
    // The same updates without a server first, for the time they take.
    Clock::time_point t = Clock::now();
    CommandRun alone = run("flash " + firmware + " --all --time-scale " + kScale + " --history " +
                               root.file("alone.sqlite3"),
                           station.env);
    double without = secondsSince(t);
    ASSERT_EQ(alone.status, 0) << alone.out;

    ASSERT_TRUE(pg->stop());
    t = Clock::now();
    CommandRun away = run(flashAll(station, "--history-server '" + uri + "'"), station.env);
    double with = secondsSince(t);
    ASSERT_EQ(away.status, 0) << away.out;
    EXPECT_LT(with, 2 * without + 1.0) << "without a server " << without << " s, with " << with;
    EXPECT_EQ(linesWith(away.out, "warning"), 1u) << away.out;
    EXPECT_EQ(linesWith(away.out, "the records wait in the local history, pending"), 1u);
    EXPECT_EQ(away.out.find(pg->password()), std::string::npos) << "the password was shown";
    std::vector<HistoryUpdate> mine = local(station.history);
    ASSERT_EQ(mine.size(), 4u);
    for (const HistoryUpdate& u : mine) EXPECT_TRUE(u.pending());
    // The local listing says which records are pending.
    CommandRun listing =
        run("history --history " + station.history, "MODEMFLASH_HISTORY_SERVER='" + uri + "'");
    EXPECT_EQ(count(listing.out, "pending"), 4u) << listing.out;

    // A station that keeps running (watch) while the server is away.
    SimStation watcher(root.file("st2"), 4);
    ASSERT_TRUE(watcher.start());
    std::string watchOut = root.file("watch.out");
    pid_t watch = spawnShell(watcher.env, MODEMFLASH_CLI_PATH " watch " + firmware +
                                              " --time-scale " + kScale + " --history " +
                                              watcher.history + " --history-server '" + uri +
                                              "' --station-name st2 > " + watchOut + " 2>&1");
    ASSERT_GT(watch, 0);
    ASSERT_TRUE(localHolds(watcher.history, 4)) << readAll(watchOut);

    std::string error;
    ASSERT_TRUE(pg->start(&error)) << error;
    // The running station's records arrive by themselves, within seconds.
    t = Clock::now();
    EXPECT_TRUE(serverHolds(4)) << readAll(watchOut);
    EXPECT_LT(secondsSince(t), 10);
    // The stopped station's, with `history sync`: all of them, then none, as nothing is left.
    CommandRun sync = run("history sync --server '" + uri + "' --history " + station.history);
    EXPECT_EQ(sync.status, 0) << sync.out;
    EXPECT_NE(sync.out.find("4 record(s) shipped to"), std::string::npos) << sync.out;
    EXPECT_NE(sync.out.find("0 left pending"), std::string::npos) << sync.out;
    EXPECT_EQ(sync.out.find(pg->password()), std::string::npos) << sync.out;
    CommandRun again =
        run("history sync --history " + station.history, "MODEMFLASH_HISTORY_SERVER='" + uri + "'");
    EXPECT_EQ(again.status, 0) << again.out;
    EXPECT_NE(again.out.find("0 record(s) shipped"), std::string::npos) << again.out;

    kill(watch, SIGINT);
    EXPECT_EQ(waitExit(watch), 0) << readAll(watchOut);
    std::string watched = readAll(watchOut);
    EXPECT_EQ(linesWith(watched, "the records wait in the local history"), 1u) << watched;
    EXPECT_EQ(linesWith(watched, "answers again"), 1u) << watched;
    std::vector<HistoryUpdate> all = onServer();
    ASSERT_EQ(all.size(), 8u);
    std::set<std::string> uuids;
    for (const HistoryUpdate& u : all) {
        uuids.insert(u.uuid);
        EXPECT_TRUE(u.finished());
        EXPECT_EQ(u.files.size(), 7u);
    }
    EXPECT_EQ(uuids.size(), 8u);
}

// The server is killed in the middle of shipping (its statement waits on a lock), and a
// station is killed in the middle of an update: once both run again, no record is lost and
// none is there twice, and the killed update is "did not finish" on the server too.
TEST_F(FleetCommand, AServerAndAStationKilledMidWayLoseNoRecordAndDoubleNone) {
    {
        std::string error;
        ASSERT_TRUE(history_OpenServer(uri, true, nullptr, &error)) << error;  // the tables
    }
    testsupport::PsqlSession lock(*pg, db);
    lock.send("BEGIN; LOCK TABLE modemflash_updates IN ACCESS EXCLUSIVE MODE; SELECT 'held';");
    ASSERT_TRUE(lock.waitFor("held")) << lock.output();

    SimStation a(root.file("a"), 4);
    ASSERT_TRUE(a.start());
    std::string aOut = root.file("a.out");
    pid_t watch = spawnShell(a.env, MODEMFLASH_CLI_PATH " watch " + firmware + " --time-scale " +
                                        kScale + " --history " + a.history + " --history-server '" +
                                        uri + "' --station-name a > " + aOut + " 2>&1");
    ASSERT_GT(watch, 0);
    ASSERT_TRUE(localHolds(a.history, 4)) << readAll(aOut);

    // Station b's modem falls silent in its second archive: the update hangs there until the
    // station is killed.
    SimStation b(root.file("b"), 1, "silent archive=2 block=1");
    ASSERT_TRUE(b.start());
    pid_t flash =
        spawnShell(b.env, MODEMFLASH_CLI_PATH " " +
                              flashAll(b, "--history-server '" + uri + "' --station-name b") +
                              " > " + root.file("b.out") + " 2>&1");
    bool reached = false;
    for (int i = 0; i < 600 && !reached; ++i) {
        std::vector<HistoryUpdate> mine = local(b.history);
        reached =
            mine.size() == 1 && mine[0].files.size() == 2;  // the first done, the second under way
        if (!reached) usleep(20000);
    }
    ASSERT_TRUE(reached) << readAll(root.file("b.out"));
    kill(flash, SIGKILL);
    waitExit(flash);
    // The shippers wait on the lock now (station a's, which was in its statement before b
    // started, and the server's side of b's); the server goes down under them.
    std::string waiting;
    for (int i = 0; i < 500 && atoi(waiting.c_str()) < 1; ++i) {
        pg->sql(
            "SELECT count(*) FROM pg_stat_activity WHERE wait_event_type = 'Lock' AND "
            "application_name = 'modemflash'",
            &waiting, db);
        if (atoi(waiting.c_str()) < 1) usleep(20000);
    }
    EXPECT_GE(atoi(waiting.c_str()), 1) << "station a's shipper is not in its statement";
    pg->kill();

    std::string error;
    ASSERT_TRUE(pg->start(&error)) << error;
    // Station a, still running, ships by itself.
    EXPECT_TRUE(serverHolds(4)) << readAll(aOut);
    // Station b runs again, its modem answering this time: its new update and the one that
    // was killed both arrive.
    b.stop();
    b.clearFault();
    ASSERT_TRUE(b.start());
    CommandRun again = run(flashAll(b, "--history-server '" + uri + "' --station-name b"), b.env);
    EXPECT_EQ(again.status, 0) << again.out;
    ASSERT_TRUE(serverHolds(6));

    kill(watch, SIGINT);
    EXPECT_EQ(waitExit(watch), 0);
    std::string watched = readAll(aOut);
    EXPECT_EQ(linesWith(watched, "the records wait in the local history"), 1u) << watched;
    EXPECT_EQ(linesWith(watched, "answers again"), 1u) << watched;

    std::vector<HistoryUpdate> all = onServer();
    std::set<std::string> uuids;
    std::map<std::string, int> byStation;
    int unfinished = 0;
    for (const HistoryUpdate& u : all) {
        uuids.insert(u.uuid);
        ++byStation[u.station];
        if (!u.finished()) {
            ++unfinished;
            EXPECT_EQ(u.station, "b");
            EXPECT_EQ(u.files.size(), 2u) << "the file it had programmed and the one under way";
        }
    }
    EXPECT_EQ(uuids.size(), 6u);
    EXPECT_EQ(byStation["a"], 4);
    EXPECT_EQ(byStation["b"], 2);
    EXPECT_EQ(unfinished, 1);
    for (const SimStation* s : {&a, &b})
        for (const HistoryUpdate& u : local(s->history)) EXPECT_FALSE(u.pending()) << u.uuid;
    CommandRun table = run("history --server '" + uri + "' --station b");
    EXPECT_EQ(count(table.out, "did not finish"), 1u) << table.out;
}

// A wrong password: one warning line, the update goes on and succeeds, its record stays
// pending, and the password is in no output (the update's, the listing's, sync's), given
// in a URI or as key=value words.
TEST_F(FleetCommand, AWrongPasswordIsOneWarningTheUpdateSucceedsAndThePasswordIsNeverShown) {
    const std::string wrong = "Wr0ngPassw0rd";
    std::string server = "postgresql://" + pg->user() + ":" + wrong + "@/" + db +
                         "?host=" + pg->socketDir() + "&port=" + std::to_string(pg->port());
    SimStation station(root.file("st"), 2);
    ASSERT_TRUE(station.start());
    CommandRun r = run(flashAll(station, "--history-server '" + server + "'"), station.env);
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("2 of 2 modem(s) updated"), std::string::npos) << r.out;
    EXPECT_EQ(linesWith(r.out, "warning"), 1u) << r.out;
    EXPECT_NE(r.out.find("password authentication failed"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find(wrong), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("postgresql://fleet@/" + db), std::string::npos) << r.out;
    std::vector<HistoryUpdate> mine = local(station.history);
    ASSERT_EQ(mine.size(), 2u);
    for (const HistoryUpdate& u : mine) EXPECT_TRUE(u.pending());

    std::string words = "host=" + pg->socketDir() + " port=" + std::to_string(pg->port()) +
                        " dbname=" + db + " user=" + pg->user() + " password='" + wrong + "'";
    for (const std::string& named : {"MODEMFLASH_HISTORY_SERVER='" + server + "'",
                                     "MODEMFLASH_HISTORY_SERVER=\"" + words + "\""}) {
        CommandRun listing = run("history --json --history " + station.history, named);
        EXPECT_EQ(listing.status, 0) << listing.out;
        EXPECT_EQ(count(listing.out, "\"pending\":true"), 2u) << listing.out;
        EXPECT_EQ(listing.out.find(wrong), std::string::npos) << listing.out;
        CommandRun sync = run("history sync --history " + station.history, named);
        EXPECT_EQ(sync.status, 1) << sync.out;
        EXPECT_NE(sync.out.find("0 record(s) shipped"), std::string::npos) << sync.out;
        EXPECT_NE(sync.out.find("2 left pending"), std::string::npos) << sync.out;
        EXPECT_NE(sync.out.find("password authentication failed"), std::string::npos) << sync.out;
        EXPECT_EQ(sync.out.find(wrong), std::string::npos) << sync.out;
    }
    CommandRun fleetList = run("history --server \"" + words + "\"");
    EXPECT_EQ(fleetList.status, 1) << fleetList.out;
    EXPECT_EQ(fleetList.out.find(wrong), std::string::npos) << fleetList.out;
    EXPECT_NE(fleetList.out.find("password"), std::string::npos)
        << "the key=value string is shown without its password pair: " << fleetList.out;
    EXPECT_TRUE(onServer().empty());
}

// serve's dashboard shows how the station's records go to the server: how many are pending,
// when the last one went, the server's state, and the server without its password.
TEST_F(FleetCommand, TheDashboardShowsTheShippingStateAndTheServerWithoutItsPassword) {
    SimStation station(root.file("st"), 2);
    ASSERT_TRUE(station.start());
    ASSERT_TRUE(pg->stop());
    std::string out = root.file("serve.out");
    pid_t serve = spawnShell(station.env, MODEMFLASH_CLI_PATH " serve " + firmware +
                                              " --listen 127.0.0.1:0 --time-scale " + kScale +
                                              " --history " + station.history +
                                              " --history-server '" + uri + "' > " + out + " 2>&1");
    ASSERT_GT(serve, 0);
    int port = 0;
    for (int i = 0; i < 600 && port == 0; ++i) {
        std::string text = readAll(out);
        size_t at = text.find("dashboard: http://127.0.0.1:");
        if (at != std::string::npos) port = atoi(text.c_str() + at + 28);
        if (port == 0) usleep(50000);
    }
    ASSERT_GT(port, 0) << readAll(out);
    ASSERT_TRUE(localHolds(station.history, 2)) << readAll(out);
    std::string state = httpGet(port, "/api/station");
    std::string metrics = httpGet(port, "/metrics");
    EXPECT_NE(state.find("\"pending\":2"), std::string::npos) << state;
    EXPECT_NE(state.find("\"server\":\"unreachable\""), std::string::npos) << state;
    EXPECT_NE(state.find("\"last_shipped\":null"), std::string::npos) << state;
    EXPECT_NE(state.find("\"where\":\"postgresql://fleet@/" + db), std::string::npos) << state;
    EXPECT_NE(metrics.find("modemflash_history_pending 2"), std::string::npos) << metrics;

    std::string error;
    ASSERT_TRUE(pg->start(&error)) << error;
    ASSERT_TRUE(serverHolds(2)) << readAll(out);
    for (int i = 0; i < 200 && state.find("\"pending\":0") == std::string::npos; ++i) {
        usleep(50000);
        state = httpGet(port, "/api/station");
    }
    EXPECT_NE(state.find("\"pending\":0"), std::string::npos) << state;
    EXPECT_NE(state.find("\"server\":\"connected\""), std::string::npos) << state;
    EXPECT_EQ(state.find("\"last_shipped\":null"), std::string::npos) << state;
    EXPECT_NE(httpGet(port, "/metrics").find("modemflash_history_pending 0"), std::string::npos);
    kill(serve, SIGTERM);
    EXPECT_EQ(waitExit(serve), 0) << readAll(out);
    for (const std::string& text : {state, metrics, readAll(out)})
        EXPECT_EQ(text.find(pg->password()), std::string::npos) << text;
}

// A record whose fields are at their limits (the longest paths, the modem's GBK answers as
// long as the engine keeps them, seven files) arrives unchanged, field by field.
TEST_F(FleetCommand, ARecordAtItsLimitsArrivesUnchangedFieldByField) {
    std::string path = root.file("limits.sqlite3");
    {
        std::string notice, error;
        std::unique_ptr<IHistoryStore> store = history_OpenStore(path, &notice, &error);
        ASSERT_TRUE(store) << error;
        // The library's longest firmware path (255 bytes), a log path near PATH_MAX, both with
        // UTF-8 names; the longest location and port list the engine keeps.
        std::string folder = "/srv/\xe5\x9b\xba\xe4\xbb\xb6 firmware/";
        while (folder.size() < 250) folder += "v2.1-long-name/";
        folder.resize(255, 'x');
        std::string log = "/var/log/modemflash/";
        while (log.size() < 4000) log += "\xe6\x97\xa5\xe5\xbf\x97-station 'a' \"b\" \\c/";
        HistoryUpdate start;
        start.startedMs = 1765242675123;
        start.machine = "station-pc-with-a-long-host-name.line-3.factory.example";
        start.station = "line 3 / station \xe4\xb8\x89";
        start.version = "0.1.0";
        start.location = "1-1.2.3.4.5.6.7:1.0-usb-ports-x";
        start.serial = "SN-0000000000000000000000000000000000000000000000000000000000001";
        start.portNames = std::string(127, 'C');
        start.folder = folder;
        start.logPath = log;
        int64_t id = store->BeginUpdate(start, &error);
        ASSERT_GT(id, 0) << error;
        const char* names[] = {"loader.wrapped",        "secondary_boot.wrapped",
                               "factory_tests.wrapped", "modem.wrapped",
                               "mass_storage.wrapped",  "nocd.iso.wrapped",
                               "productConfig.bin"};
        for (int i = 0; i < 7; ++i) {
            HistoryFile f = fleet::file(i);
            f.name = names[i];
            f.size = i == 6 ? -1 : 44040192 + i;
            f.archiveId = i == 6 ? -1 : 0xffffff - i;
            f.transferMs = i == 6 ? -1 : 2147483648LL + i;
            f.programmed = i != 6;
            ASSERT_TRUE(store->AddFile(id, f, &error)) << error;
        }
        HistoryUpdate end;
        end.endedMs = start.startedMs + 3600000;
        end.resultCode = 5;
        end.resultWords = "the modem refused to program";
        // "升级成功" and other GBK texts, each as long as the engine keeps an answer.
        std::string gbk = "\xc9\xfd\xbc\xb6\xb3\xc9\xb9\xa6\n";
        auto answer = [&](char fill) {
            std::string a = gbk;
            while (a.size() < 255) a += fill;
            a.resize(255);
            return a;
        };
        end.answers = {{0, "AT+GMR", answer('\xa1')},     {0, "AT%IFWR", answer('1')},
                       {0, "AT%ICOMPAT", answer('\xfe')}, {1, "AT+GMR", answer('\x7f')},
                       {1, "AT%IFWR", answer('\x80')},    {1, "AT%IFLIST", answer('\xff')},
                       {1, "AT%CHIPID", answer('\\')}};
        ASSERT_TRUE(store->FinishUpdate(id, end, &error)) << error;
    }
    CommandRun sync = run("history sync --server '" + uri + "' --history " + path);
    ASSERT_EQ(sync.status, 0) << sync.out;
    std::vector<HistoryUpdate> here = local(path), there = onServer();
    ASSERT_EQ(here.size(), 1u);
    ASSERT_EQ(there.size(), 1u);
    fleet::expectSameRecord(there[0], here[0]);
    EXPECT_EQ(here[0].answers.size(), 7u);
    EXPECT_EQ(here[0].files.size(), 7u);
    EXPECT_EQ(here[0].logPath.size(), there[0].logPath.size());
}

}  // namespace

#endif
