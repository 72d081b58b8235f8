// modemflash serve against simulated modems, through its HTTP API as a client uses it.
#include <gtest/gtest.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "modem_bank.h"
#include "serve_fixture.h"

#ifdef MODEMFLASH_CLI_PATH

using dashtest::SseEvent;
using nlohmann::json;

namespace {

// The order of the phases of one update.
int phaseRank(const std::string& phase) {
    static const char* const order[] = {"probing",   "entering_loader",  "sending", "programming",
                                        "returning", "checking_autorun", "finished"};
    for (int i = 0; i < 7; ++i)
        if (phase == order[i]) return i;
    return -1;
}

size_t finishes(const std::vector<SseEvent>& events) {
    size_t n = 0;
    for (const SseEvent& e : events) n += e.type == "finish" ? 1 : 0;
    return n;
}

// The samples of a Prometheus text exposition, read by the Prometheus client library's own
// parser: "name{label="value"}" -> value.
std::map<std::string, double> parseMetrics(const std::string& text, const std::string& dir) {
    std::string in = dir + "/metrics.txt", outFile = dir + "/metrics.json";
    std::ofstream(in) << text;
    std::string cmd =
        std::string(MODEMFLASH_PYTHON) +
        " -c 'import json, sys\n"
        "from prometheus_client.parser import text_string_to_metric_families\n"
        "out = {}\n"
        "for family in text_string_to_metric_families(open(sys.argv[1]).read()):\n"
        "    for s in family.samples:\n"
        "        labels = \",\".join(k + \"=\" + v for k, v in sorted(s.labels.items()))\n"
        "        out[s.name + \"{\" + labels + \"}\"] = s.value\n"
        "json.dump(out, open(sys.argv[2], \"w\"))' " +
        in + " " + outFile;
    std::map<std::string, double> samples;
    if (system(cmd.c_str()) != 0) return samples;
    std::ifstream f(outFile);
    json j = json::parse(f, nullptr, false);
    if (j.is_object())
        for (auto it = j.begin(); it != j.end(); ++it) samples[it.key()] = it.value();
    return samples;
}

class ServeApi : public dashtest::ServeTest {};

// Four modems whose port names pass between them at every mode switch, watched through the
// API: one client reads the whole stream, another leaves half-way and comes back.
TEST_F(ServeApi, FourModemsUpdatedAndEveryStepReachesEveryClientInOrder) {
    ASSERT_TRUE(
        startServe("--listen 127.0.0.1:0 --history " + history + " --log " + root.path() + "/logs"))
        << serveOutput();
    std::vector<SseEvent> whole;
    std::thread reader([&] {
        whole = dashtest::readEvents(
            port, "", 0, [](const std::vector<SseEvent>& e) { return finishes(e) == 4; }, 120);
    });
    usleep(200000);
    startModems(4);

    // The second client, which comes later, asks for everything kept (Last-Event-ID: 0), reads
    // a dozen events, drops its connection, then resumes.
    std::vector<SseEvent> first = dashtest::readEvents(
        port, "", 0, [](const std::vector<SseEvent>& e) { return e.size() >= 12; }, 60);
    ASSERT_GE(first.size(), 12u);
    usleep(300000);  // events go on meanwhile
    std::vector<SseEvent> rest = dashtest::readEvents(
        port, "", first.back().id,
        [&](const std::vector<SseEvent>& e) { return finishes(first) + finishes(e) == 4; }, 120);
    reader.join();
    ASSERT_EQ(finishes(whole), 4u) << serveOutput();

    // Ids grow by one from 1; the resumed client has exactly what the other one has.
    for (size_t i = 0; i < whole.size(); ++i) EXPECT_EQ(whole[i].id, static_cast<long long>(i + 1));
    std::vector<SseEvent> resumed = first;
    resumed.insert(resumed.end(), rest.begin(), rest.end());
    ASSERT_EQ(resumed.size(), whole.size());
    for (size_t i = 0; i < whole.size(); ++i) {
        EXPECT_EQ(resumed[i].id, whole[i].id);
        EXPECT_EQ(resumed[i].data, whole[i].data);
    }

    // Each modem's steps, in order: start, the phases forward, each file's progress never
    // going back, finish last.
    std::map<std::string, std::vector<json>> byModem;
    for (const SseEvent& e : whole) {
        json j = json::parse(e.data);
        EXPECT_EQ(j["type"], e.type);
        EXPECT_EQ(j["id"], e.id);
        byModem[j["location"]].push_back(j);
    }
    ASSERT_EQ(byModem.size(), 4u);
    for (const auto& m : byModem) {
        const std::vector<json>& steps = m.second;
        EXPECT_EQ(steps.front()["type"], "start") << m.first;
        EXPECT_EQ(steps.back()["type"], "finish") << m.first;
        std::set<std::string> phases;
        int rank = 0, file = 0, percent = 0;
        for (const json& s : steps) {
            const json& t = s["modem"];
            std::string phase = t["phase"];
            phases.insert(phase);
            int r = phaseRank(phase), f = t["file"], p = t["percent"];
            bool fileStep = r == 2 || r == 3;
            EXPECT_TRUE(r >= rank || (fileStep && rank <= 3 && f > file))
                << m.first << ": " << phase << " after rank " << rank;
            EXPECT_GE(f, file) << m.first;
            EXPECT_GE(p, percent) << m.first;
            rank = r, file = f, percent = p;
        }
        for (const char* p :
             {"probing", "entering_loader", "sending", "programming", "returning", "finished"})
            EXPECT_EQ(phases.count(p), 1u) << m.first << " never " << p;
        EXPECT_EQ(file, 7) << m.first;
        EXPECT_EQ(steps.back()["modem"]["state"], "updated") << m.first;
    }

    // A client that comes now, without Last-Event-ID, gets only what happens from now on.
    std::vector<SseEvent> late = dashtest::readEvents(
        port, "", -1, [](const std::vector<SseEvent>& e) { return !e.empty(); }, 1);
    EXPECT_TRUE(late.empty()) << late.size() << " old events, the first " << late[0].data;

    std::string body;
    ASSERT_EQ(get("/api/modems", &body), 200);
    json tiles = json::parse(body);
    ASSERT_EQ(tiles["modems"].size(), 4u);
    for (const json& t : tiles["modems"]) {
        EXPECT_EQ(t["state"], "updated") << t;
        EXPECT_EQ(t["result"]["words"], "update complete") << t;
        EXPECT_EQ(t["percent"], 100) << t;
    }
    EXPECT_EQ(tiles["last_event_id"], whole.back().id);

    ASSERT_EQ(get("/api/station", &body), 200);
    json station = json::parse(body);
    EXPECT_EQ(station["today"]["updated"], 4);
    EXPECT_EQ(station["today"]["failed"], 0);
    EXPECT_EQ(station["update_cat"], "7;8;9");
    ASSERT_EQ(station["files"].size(), 7u);
    EXPECT_EQ(station["files"][0]["name"], "loader.wrapped");
    EXPECT_EQ(station["files"][0]["sha256"].get<std::string>().size(), 64u);
    EXPECT_EQ(station["stopping"], false);

    ASSERT_EQ(get("/metrics", &body), 200);
    std::map<std::string, double> metrics = parseMetrics(body, root.path());
    ASSERT_FALSE(metrics.empty()) << body;
    EXPECT_EQ(metrics["modemflash_updates_total{result=updated}"], 4) << body;
    EXPECT_EQ(metrics["modemflash_updates_total{result=failed}"], 0);
    EXPECT_EQ(metrics["modemflash_update_duration_seconds_count{}"], 4);
    EXPECT_EQ(metrics["modemflash_update_duration_seconds_bucket{le=+Inf}"], 4);
    EXPECT_EQ(metrics["modemflash_modems_active{}"], 0);
    EXPECT_EQ(metrics["modemflash_build_info{version=0.1.0}"], 1);
    double firmwareBytes = 0;
    for (const json& f : station["files"]) firmwareBytes += f["size"].get<double>();
    EXPECT_EQ(metrics["modemflash_bytes_sent_total{}"], 4 * firmwareBytes);

    ASSERT_EQ(get("/api/history", &body), 200);
    json records = json::parse(body);
    ASSERT_EQ(records.size(), 4u);
    std::set<std::string> serials;
    bool renamed = false;
    for (const json& r : records) {
        EXPECT_EQ(r["result"], 1);
        EXPECT_EQ(r["files"].size(), 7u);
        serials.insert(r["serial"].get<std::string>());
        renamed = renamed || r["ports"].get<std::string>().find(',') != std::string::npos;
    }
    EXPECT_EQ(serials.size(), 4u);
    EXPECT_TRUE(renamed) << "no modem's port name changed: " << body;
    int64_t id = records[0]["id"];
    ASSERT_EQ(get("/api/history/" + std::to_string(id), &body), 200);
    EXPECT_EQ(json::parse(body)["id"], id);
    ASSERT_EQ(get("/api/history?serial=SIM0002&limit=1", &body), 200);
    ASSERT_EQ(json::parse(body).size(), 1u);
    EXPECT_EQ(json::parse(body)[0]["serial"], "SIM0002");

    std::map<std::string, std::string> headers;
    ASSERT_EQ(get("/api/modems/1-1.3/log", &body, "", &headers), 200);
    EXPECT_EQ(headers["Content-Type"], "text/plain; charset=utf-8");
    EXPECT_NE(body.find("change to Loader mode success"), std::string::npos) << body.substr(0, 300);

    EXPECT_EQ(stopServe(), 0) << serveOutput();
    EXPECT_NE(serveOutput().find("4 of 4 modem(s) updated; 0 failed"), std::string::npos)
        << serveOutput();
}

// A modem that refuses to program: its tile says so, with what the engine recorded, and its
// log, the metrics and the history agree; the other modem is updated.
TEST_F(ServeApi, AFailedTileSaysWhyAndItsLogShowsIt) {
    ASSERT_TRUE(startServe("--listen 127.0.0.1:0 --history " + history)) << serveOutput();
    startModems(2, {{1, "refuse AT%PROG=2 times=all\nrefuse AT%PROG=1 times=all\n"}});
    ASSERT_TRUE(waitFinished(2, 60)) << serveOutput();
    std::string body;
    ASSERT_EQ(get("/api/modems", &body), 200);
    json tiles = json::parse(body)["modems"];
    ASSERT_EQ(tiles.size(), 2u);
    EXPECT_EQ(tiles[0]["state"], "updated");
    EXPECT_TRUE(tiles[0]["failure"].is_null()) << tiles[0];
    const json& failed = tiles[1];
    EXPECT_EQ(failed["location"], "1-1.2");
    EXPECT_EQ(failed["state"], "failed");
    EXPECT_EQ(failed["result"]["key"], "program_failed");
    EXPECT_EQ(failed["result"]["words"], "the modem refused to program the firmware");
    EXPECT_EQ(failed["failure"]["step"], "programming") << failed;
    EXPECT_EQ(failed["failure"]["file"], 1) << failed;
    EXPECT_EQ(failed["failure"]["file_name"], "loader.wrapped") << failed;
    EXPECT_EQ(failed["failure"]["command"], "AT%PROG=1") << failed;
    std::string reason = failed["result"]["reason"];
    EXPECT_NE(reason.find("AT%PROG=1"), std::string::npos) << reason;
    ASSERT_EQ(get(failed["log"], &body), 200);
    EXPECT_NE(body.find("download fail to updated flash"), std::string::npos) << body;
    ASSERT_EQ(get("/metrics", &body), 200);
    std::map<std::string, double> metrics = parseMetrics(body, root.path());
    EXPECT_EQ(metrics["modemflash_updates_total{result=program_failed}"], 1) << body;
    EXPECT_EQ(metrics["modemflash_updates_total{result=updated}"], 1) << body;
    ASSERT_EQ(get("/api/history?failed=1", &body), 200);
    json records = json::parse(body);
    ASSERT_EQ(records.size(), 1u) << body;
    EXPECT_EQ(records[0]["location"], "1-1.2");
    EXPECT_EQ(stopServe(), 5) << serveOutput();  // as watch: the first failure's status
}

TEST_F(ServeApi, WithATokenEveryRequestButThePageNeedsIt) {
    std::string token = "dG9rZW4gZm9yIHRoZSBzZXJ2ZSB0ZXN0IG9ubHkhIQ";
    root.write("token", token + "\n");
    chmod(root.file("token").c_str(), 0600);
    ASSERT_TRUE(startServe("--listen 127.0.0.1:0 --token-file " + root.file("token") +
                           " --history " + history))
        << serveOutput();
    std::string body;
    std::map<std::string, std::string> headers;
    for (const char* path : {"/api/station", "/api/modems", "/api/events", "/api/history",
                             "/api/history/1", "/api/modems/1-1.1/log", "/metrics"}) {
        EXPECT_EQ(get(path, &body, "", &headers), 401) << path;
        EXPECT_EQ(headers["WWW-Authenticate"], "Bearer realm=\"modemflash\"") << path;
        EXPECT_EQ(json::parse(body).size(), 1u) << path << ": " << body;  // the error, no data
        EXPECT_EQ(get(path, &body, token.substr(1) + "x"), 401) << path;
    }
    EXPECT_EQ(get("/api/station", &body, token), 200);
    EXPECT_EQ(json::parse(body)["version"], "0.1.0");
    EXPECT_EQ(get("/metrics", &body, token), 200);
    // The page holds no data: it is served without the token, and asks for it.
    ASSERT_EQ(get("/", &body, "", &headers), 200);
    EXPECT_NE(body.find("#token="), std::string::npos);
    EXPECT_NE(headers["Content-Security-Policy"].find("script-src 'sha256-"), std::string::npos);
    EXPECT_EQ(stopServe(), 0) << serveOutput();
}

TEST_F(ServeApi, AnAddressBeyondLoopbackNeedsAPrivateStrongTokenFile) {
    testsupport::CommandRun r = run("serve " + firmware + " --listen 0.0.0.0:0", env);
    EXPECT_EQ(r.status, 2) << r.out;
    EXPECT_NE(r.out.find("can be reached from other machines: give --token-file"),
              std::string::npos)
        << r.out;
    root.write("open", "dG9rZW4gZm9yIHRoZSBzZXJ2ZSB0ZXN0IG9ubHkhIQ\n");
    chmod(root.file("open").c_str(), 0644);
    r = run("serve " + firmware + " --listen 0.0.0.0:0 --token-file " + root.file("open"), env);
    EXPECT_EQ(r.status, 2) << r.out;
    EXPECT_NE(r.out.find("may be read or written by other users"), std::string::npos) << r.out;
    root.write("short", "tooshort\n");
    chmod(root.file("short").c_str(), 0600);
    r = run("serve " + firmware + " --listen 0.0.0.0:0 --token-file " + root.file("short"), env);
    EXPECT_EQ(r.status, 2) << r.out;
    EXPECT_NE(r.out.find("too weak"), std::string::npos) << r.out;
    r = run("serve " + firmware + " --listen 127.0.0.1", env);
    EXPECT_EQ(r.status, 2) << r.out;
    // Nothing started: no station line, no dashboard line.
    EXPECT_EQ(r.out.find("dashboard:"), std::string::npos) << r.out;
}

// Requests no client should send, each answered with a 4xx status and a one-line JSON error,
// while a modem is updated: the station goes on.
TEST_F(ServeApi, MalformedRequestsGetA4xxWithAOneLineJsonError) {
    ASSERT_TRUE(startServe("--listen 127.0.0.1:0 --history " + history)) << serveOutput();
    startModems(1);
    const std::string h = " HTTP/1.1\r\nHost: 127.0.0.1\r\n";
    struct Case {
        std::string request;
        int status;
    } cases[] = {
        {"GET /nope" + h + "\r\n", 404},
        {"GET /api/nope" + h + "\r\n", 404},
        {"GET /api/history?limit=abc" + h + "\r\n", 400},
        {"GET /api/history?limit=0" + h + "\r\n", 400},
        {"GET /api/history?limit=-5" + h + "\r\n", 400},
        {"GET /api/history?limit=99999999999999999999" + h + "\r\n", 400},
        {"GET /api/history?since=last%20tuesday" + h + "\r\n", 400},
        {"GET /api/history?failed=maybe" + h + "\r\n", 400},
        {"GET /api/history?colour=red" + h + "\r\n", 400},
        {"GET /api/history?limit=5&limit=6" + h + "\r\n", 400},
        {"GET /api/station?%zz=1" + h + "\r\n", 400},
        {"GET /api/history/abc" + h + "\r\n", 400},
        {"GET /api/history/0" + h + "\r\n", 400},
        {"GET /api/history/99999999999999999999999" + h + "\r\n", 400},
        {"GET /api/history/424242" + h + "\r\n", 404},
        {"GET /api/modems/9-9.9/log" + h + "\r\n", 404},
        {"GET /api/modems/..%2F..%2Fetc%2Fpasswd/log" + h + "\r\n", 404},
        {"GET /api/modems/1-1.1/../../../etc/passwd" + h + "\r\n", 404},
        {"POST /api/station" + h + "Content-Length: 0\r\n\r\n", 405},
        {"DELETE /api/modems" + h + "\r\n", 405},
        {"PUT /" + h + "Content-Length: 2\r\n\r\n{}", 405},
        {"GET /api/events" + h + "Last-Event-ID: abc\r\n\r\n", 400},
        {"GET /api/station" + h + "X-Big: " + std::string(20000, 'x') + "\r\n\r\n", 400},
        {"GET /" + std::string(10000, 'a') + h + "\r\n", 414},
        {"GET /api/station HTTP/1.1\r\nHost: station.evil.example\r\n\r\n", 403},
        {"GET /api/station" + h + "Content-Length: 100000\r\n\r\n", 413},
        {"HELLO\r\n\r\n", 400},
    };
    for (const Case& c : cases) {
        std::string shown = c.request.substr(0, std::min<size_t>(60, c.request.find('\r')));
        dashtest::RawAnswer a = dashtest::rawRequest(port, c.request);
        EXPECT_EQ(a.status, c.status) << shown;
        EXPECT_EQ(a.headers["content-type"], "application/json") << shown;
        ASSERT_FALSE(a.body.empty()) << shown;
        EXPECT_EQ(a.body.find('\n'), a.body.size() - 1) << shown << ": " << a.body;
        json j = json::parse(a.body, nullptr, false);
        ASSERT_TRUE(j.is_object()) << shown << ": " << a.body;
        EXPECT_EQ(j.size(), 1u) << a.body;
        EXPECT_TRUE(j["error"].is_string()) << shown << ": " << a.body;
    }
    ASSERT_TRUE(waitFinished(1, 60)) << serveOutput();
    std::string body;
    ASSERT_EQ(get("/api/modems", &body), 200);
    EXPECT_EQ(json::parse(body)["modems"][0]["state"], "updated") << body;
    EXPECT_EQ(stopServe(), 0) << serveOutput();
}

// 64 event clients at once, all of them stuck (they never read): the 65th is turned away,
// and a modem's update goes on as if none were there.
TEST_F(ServeApi, AtMost64EventClientsAndStuckOnesHoldNothingUp) {
    ASSERT_TRUE(startServe("--listen 127.0.0.1:0 --history " + history)) << serveOutput();
    std::vector<int> streams;
    for (int i = 0; i < 64; ++i) {
        int status = 0;
        int fd = dashtest::openStuckStream(port, &status);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(status, 200) << "client " << i + 1;
        streams.push_back(fd);
    }
    dashtest::RawAnswer refused =
        dashtest::rawRequest(port, "GET /api/events HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    EXPECT_EQ(refused.status, 503);
    EXPECT_NE(refused.body.find("at most 64"), std::string::npos) << refused.body;
    std::string body;
    EXPECT_EQ(get("/api/station", &body), 200);  // the other requests are still served
    EXPECT_EQ(json::parse(body)["event_clients"], 64);

    startModems(1);
    ASSERT_TRUE(waitFinished(1, 60)) << serveOutput();
    ASSERT_EQ(get("/api/modems", &body), 200);
    EXPECT_EQ(json::parse(body)["modems"][0]["state"], "updated") << body;

    close(streams.back());
    streams.pop_back();
    int status = 0;
    int again = -1;
    for (int i = 0; i < 50 && status != 200; ++i) {  // the server notices the close
        if (again >= 0) close(again);
        usleep(100000);
        again = dashtest::openStuckStream(port, &status);
    }
    EXPECT_EQ(status, 200);
    if (again >= 0) close(again);
    for (int fd : streams) close(fd);
    EXPECT_EQ(stopServe(), 0) << serveOutput();
}

}  // namespace

#endif
