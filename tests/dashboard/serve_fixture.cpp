#include "serve_fixture.h"

#include <arpa/inet.h>
#include <ctype.h>
#include <httplib.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

extern char** environ;

namespace dashtest {

namespace {

std::string readAll(const std::string& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// Parses the complete events at the front of buf (each ends with a blank line) into events.
void takeEvents(std::string* buf, std::vector<SseEvent>* events) {
    size_t end;
    while ((end = buf->find("\n\n")) != std::string::npos) {
        std::string block = buf->substr(0, end);
        buf->erase(0, end + 2);
        SseEvent e;
        bool any = false;
        std::istringstream lines(block);
        std::string line;
        while (std::getline(lines, line)) {
            if (line.empty() || line[0] == ':') continue;
            size_t colon = line.find(':');
            std::string field = line.substr(0, colon);
            std::string value = colon == std::string::npos ? "" : line.substr(colon + 1);
            if (!value.empty() && value[0] == ' ') value.erase(0, 1);
            if (field == "id") e.id = std::stoll(value);
            if (field == "event") e.type = value;
            if (field == "data") {
                e.data += (e.data.empty() ? "" : "\n") + value;
                any = true;
            }
        }
        if (any) events->push_back(e);
    }
}

int connectTo(int port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return -1;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// Reads from fd until the headers are complete and the body is whole (Content-Length, or
// the connection's end), or 20 seconds pass.
std::string readAnswer(int fd, bool headersOnly) {
    std::string got;
    char buf[8192];
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < until) {
        size_t head = got.find("\r\n\r\n");
        if (head != std::string::npos) {
            if (headersOnly) break;
            std::string lower = got.substr(0, head);
            for (char& c : lower) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
            size_t cl = lower.find("content-length:");
            if (cl != std::string::npos &&
                got.size() >= head + 4 + std::stoul(lower.substr(cl + 15)))
                break;
        }
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 200) <= 0) continue;
        ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0) break;
        got.append(buf, static_cast<size_t>(n));
    }
    return got;
}

RawAnswer parseAnswer(const std::string& got) {
    RawAnswer a;
    size_t head = got.find("\r\n\r\n");
    std::istringstream lines(got.substr(0, head));
    std::string line;
    if (std::getline(lines, line) && line.compare(0, 5, "HTTP/") == 0 && line.size() >= 12)
        a.status = std::stoi(line.substr(9, 3));
    while (std::getline(lines, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        size_t colon = line.find(':');
        if (colon == std::string::npos) continue;
        std::string name = line.substr(0, colon);
        for (char& c : name) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
        std::string value = line.substr(colon + 1);
        value.erase(0, value.find_first_not_of(' '));
        a.headers[name] = value;
    }
    if (head != std::string::npos) a.body = got.substr(head + 4);
    return a;
}

}  // namespace

std::vector<SseEvent> readEvents(int port, const std::string& token, long long lastId,
                                 const std::function<bool(const std::vector<SseEvent>&)>& enough,
                                 int timeoutSec, int* status) {
    std::vector<SseEvent> events;
    std::string buf;
    httplib::Client client("127.0.0.1", port);
    client.set_read_timeout(timeoutSec, 0);
    httplib::Headers headers = {{"Accept", "text/event-stream"}};
    if (!token.empty()) headers.emplace("Authorization", "Bearer " + token);
    if (lastId >= 0) headers.emplace("Last-Event-ID", std::to_string(lastId));
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSec);
    auto res = client.Get("/api/events", headers, [&](const char* data, size_t length) {
        buf.append(data, length);
        takeEvents(&buf, &events);
        return !enough(events) && std::chrono::steady_clock::now() < until;
    });
    if (status) *status = res ? res->status : 0;
    return events;
}

RawAnswer rawRequest(int port, const std::string& bytes) {
    int fd = connectTo(port);
    if (fd < 0) return RawAnswer();
    size_t sent = 0;
    while (sent < bytes.size()) {
        ssize_t n = send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) break;  // the server may answer and close before it has read it all
        sent += static_cast<size_t>(n);
    }
    RawAnswer a = parseAnswer(readAnswer(fd, false));
    close(fd);
    return a;
}

int openStuckStream(int port, int* status) {
    int fd = connectTo(port);
    *status = 0;
    if (fd < 0) return -1;
    std::string request = "GET /api/events HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    if (send(fd, request.data(), request.size(), MSG_NOSIGNAL) !=
        static_cast<ssize_t>(request.size())) {
        close(fd);
        return -1;
    }
    *status = parseAnswer(readAnswer(fd, true)).status;
    return fd;
}

void ServeTest::TearDown() {
    if (serve > 0) {
        kill(serve, SIGKILL);
        waitpid(serve, nullptr, 0);
        serve = -1;
    }
    bank.stop();
}

void ServeTest::startModems(int count, const std::map<int, std::string>& faults) {
    modemsim::BankOptions o;
    o.scenarios = faults;
    o.devRoot = root.path() + "/dev";
    o.sysfsRoot = root.path() + "/sys";
    o.count = count;
    o.republishDelayMs = 100;
    std::string why;
    ASSERT_TRUE(bank.start(o, &why)) << why;
}

bool ServeTest::startServe(const std::string& args) {
    // The modems in this process run 50 times faster: the station's clock must too.
    std::string cmd = env + " exec " MODEMFLASH_CLI_PATH " serve " + firmware +
                      " --time-scale 50 " + args + " > " + out + " 2>&1";
    const char* argv[] = {"/bin/sh", "-c", cmd.c_str(), nullptr};
    if (posix_spawn(&serve, "/bin/sh", nullptr, nullptr, const_cast<char**>(argv), environ) != 0)
        return false;
    const std::string marker = "dashboard: http://";
    for (int i = 0; i < 600; ++i) {  // 30 s: the sanitizers' start is slow
        std::string text = readAll(out);
        size_t at = text.find(marker);
        if (at != std::string::npos) {
            size_t colon = text.find(':', at + marker.size());
            size_t slash = text.find('/', colon);
            if (colon != std::string::npos && slash != std::string::npos) {
                port = std::stoi(text.substr(colon + 1, slash - colon - 1));
                return true;
            }
        }
        int status;
        if (waitpid(serve, &status, WNOHANG) == serve) {
            serve = -1;
            return false;
        }
        usleep(50000);
    }
    return false;
}

int ServeTest::stopServe() {
    if (serve <= 0) return -1;
    kill(serve, SIGTERM);
    int status = 0;
    for (int i = 0; i < 1200; ++i) {
        if (waitpid(serve, &status, WNOHANG) == serve) {
            serve = -1;
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        }
        usleep(50000);
    }
    return -1;  // TearDown kills it
}

std::string ServeTest::serveOutput() const {
    return readAll(out);
}

int ServeTest::get(const std::string& path, std::string* body, const std::string& token,
                   std::map<std::string, std::string>* headers) {
    httplib::Client client("127.0.0.1", port);
    client.set_read_timeout(20, 0);
    httplib::Headers h;
    if (!token.empty()) h.emplace("Authorization", "Bearer " + token);
    // A stream (a token check that let /api/events through) must not hold the test: the
    // answer is taken as it is after 20 seconds.
    std::string got;
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    auto res = client.Get(path.c_str(), h, [&](const char* data, size_t length) {
        got.append(data, length);
        return std::chrono::steady_clock::now() < until;
    });
    if (!res) return 0;
    if (body) *body = got;
    if (headers)
        for (const auto& kv : res->headers) (*headers)[kv.first] = kv.second;
    return res->status;
}

bool ServeTest::waitFinished(size_t count, int timeoutSec) {
    for (int i = 0; i < timeoutSec * 10; ++i) {
        std::string body;
        if (get("/api/modems", &body) == 200) {
            nlohmann::json j = nlohmann::json::parse(body, nullptr, false);
            size_t done = 0;
            if (j.is_object())
                for (const auto& t : j["modems"]) done += t["running"] == false ? 1 : 0;
            if (done >= count) return true;
        }
        usleep(100000);
    }
    return false;
}

}  // namespace dashtest
