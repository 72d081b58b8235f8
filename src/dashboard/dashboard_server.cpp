#include "dashboard/dashboard_server.h"

#include <httplib.h>
#include <stdint.h>
#include <string.h>

#include <vector>

#include "dashboard/dashboard_text.h"
#include "history/history_output.h"
#include "history/history_store.h"
#include "history/history_time.h"
#include "platform/thread.h"
#include "util/json_line.h"
#include "util/sha256.h"

extern const char kDashboardPage[];
extern const unsigned long kDashboardPageSize;

namespace {

const int kKeepAliveSeconds = 15;    // an idle event stream gets a comment this often
const int kWaitStepMs = 1000;        // an event stream looks at its connection this often
const size_t kEventsPerWrite = 200;  // events sent in one go
const int kHistoryDefaultLimit = 50;
const int kHistoryMaxLimit = 10000;

std::string errorBody(const std::string& text) {
    return json_Line(JsonObject{{"error", dashboard_Utf8(text)}}) + "\n";
}

void fail(httplib::Response& res, int status, const std::string& text) {
    res.status = status;
    res.set_content(errorBody(text), "application/json");
}

const char* statusWords(int status) {
    switch (status) {
        case 400:
            return "bad request";
        case 401:
            return "this station needs its token: Authorization: Bearer TOKEN";
        case 403:
            return "forbidden";
        case 404:
            return "no such page";
        case 405:
            return "this station is read-only: only GET";
        case 408:
            return "the request took too long";
        case 413:
            return "the request is too large";
        case 414:
            return "the address is too long";
        case 416:
            return "range not satisfiable";
        case 431:
            return "the request's headers are too large";
        default:
            return status >= 500 ? "the server failed" : "the request was refused";
    }
}

bool parsePositive(const std::string& text, int64_t max, int64_t* out) {
    if (text.empty() || text.size() > 19) return false;
    int64_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + (c - '0');
        if (v > max) return false;
    }
    if (v < 1) return false;
    *out = v;
    return true;
}

bool parseNonNegative(const std::string& text, int64_t* out) {
    if (text == "0") {
        *out = 0;
        return true;
    }
    return parsePositive(text, INT64_MAX, out);
}

// The base64 of bytes (for the script's hash in the page's content policy).
std::string base64(const uint8_t* p, size_t n) {
    static const char k[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (size_t i = 0; i < n; i += 3) {
        uint32_t v = static_cast<uint32_t>(p[i]) << 16;
        if (i + 1 < n) v |= static_cast<uint32_t>(p[i + 1]) << 8;
        if (i + 2 < n) v |= p[i + 2];
        out += k[(v >> 18) & 63];
        out += k[(v >> 12) & 63];
        out += i + 1 < n ? k[(v >> 6) & 63] : '=';
        out += i + 2 < n ? k[v & 63] : '=';
    }
    return out;
}

// The content policy of the page: nothing from elsewhere, only its own script (by hash),
// requests only to this server.
std::string pagePolicy(const std::string& page) {
    std::string policy =
        "default-src 'none'; style-src 'unsafe-inline'; connect-src 'self'; "
        "img-src 'self' data:; base-uri 'none'; form-action 'none'; "
        "frame-ancestors 'none'";
    size_t open = page.find("<script>");
    size_t close = page.find("</script>");
    if (open != std::string::npos && close != std::string::npos && close > open) {
        open += strlen("<script>");
        mfutil::Sha256 sha;
        sha.update(page.data() + open, close - open);
        uint8_t digest[32];
        sha.digest(digest);
        policy += "; script-src 'sha256-" + base64(digest, sizeof digest) + "'";
    }
    return policy;
}

// What an event stream has sent so far.
struct Stream {
    int64_t last = 0;
    bool started = false;
    int idleMs = 0;
};

}  // namespace

struct CDashboardServer::Impl {
    CDashboard* board;
    IHistoryStore* history;
    DashboardServerOptions options;
    httplib::Server server;
    std::string page;
    std::string policy;
    std::atomic<int> eventClients{0};
    std::atomic<bool> stopping{false};

    Impl(CDashboard* b, IHistoryStore* h, DashboardServerOptions o)
        : board(b), history(h), options(std::move(o)), page(kDashboardPage, kDashboardPageSize) {
        policy = pagePolicy(page);
    }

    // Parameters a request may carry; any other is refused (a typo is not silently ignored).
    bool onlyParams(const httplib::Request& req, httplib::Response& res,
                    std::initializer_list<const char*> allowed) {
        for (const auto& p : req.params) {
            bool ok = false;
            for (const char* a : allowed) ok = ok || p.first == a;
            if (!ok) {
                fail(res, 400, "unknown parameter '" + p.first + "'");
                return false;
            }
            if (req.params.count(p.first) > 1) {
                fail(res, 400, "parameter '" + p.first + "' given more than once");
                return false;
            }
        }
        return true;
    }

    static void json(httplib::Response& res, const std::string& body) {
        res.set_header("Cache-Control", "no-store");
        res.set_content(body + "\n", "application/json");
    }

    httplib::Server::HandlerResponse gate(const httplib::Request& req, httplib::Response& res) {
        res.set_header("X-Content-Type-Options", "nosniff");
        res.set_header("Referrer-Policy", "no-referrer");
        if (req.method != "GET" && req.method != "HEAD") {
            res.set_header("Allow", "GET, HEAD");
            fail(res, 405, statusWords(405));
            return httplib::Server::HandlerResponse::Handled;
        }
        // Nothing here takes a body; one announced is refused rather than left unread.
        if ((req.has_header("Content-Length") && req.get_header_value("Content-Length") != "0") ||
            req.has_header("Transfer-Encoding")) {
            res.set_header("Connection", "close");
            fail(res, 413, "this station takes no request bodies");
            return httplib::Server::HandlerResponse::Handled;
        }
        if (options.token.empty() && req.has_header("Host") &&
            !dashboard_IsLoopbackHost(req.get_header_value("Host"))) {
            fail(res, 403, "this station answers only requests addressed to localhost");
            return httplib::Server::HandlerResponse::Handled;
        }
        if (!options.token.empty() && req.path != "/" &&
            !dashboard_TokenMatches(req.get_header_value("Authorization"), options.token)) {
            res.set_header("WWW-Authenticate", "Bearer realm=\"modemflash\"");
            fail(res, 401, statusWords(401));
            return httplib::Server::HandlerResponse::Handled;
        }
        return httplib::Server::HandlerResponse::Unhandled;
    }

    void historyList(const httplib::Request& req, httplib::Response& res) {
        if (!onlyParams(req, res, {"serial", "location", "since", "failed", "limit"})) return;
        if (history == nullptr) return fail(res, 404, "this station keeps no update history");
        HistoryFilter f;
        f.withFiles = true;
        f.limit = kHistoryDefaultLimit;
        if (req.has_param("serial")) f.serial = req.get_param_value("serial");
        if (req.has_param("location")) f.location = req.get_param_value("location");
        if (req.has_param("since") &&
            !history_ParseSince(req.get_param_value("since"), history_NowMs(), &f.sinceMs))
            return fail(res, 400,
                        "since takes a UTC date or time (2026-12-08, 2026-12-08T10:05) or an age "
                        "(90m, 36h, 7d)");
        if (req.has_param("failed")) {
            std::string v = req.get_param_value("failed");
            if (v != "1" && v != "0" && v != "true" && v != "false")
                return fail(res, 400, "failed takes 1 or 0");
            f.failedOnly = v == "1" || v == "true";
        }
        if (req.has_param("limit")) {
            int64_t n = 0;
            if (!parsePositive(req.get_param_value("limit"), kHistoryMaxLimit, &n))
                return fail(res, 400,
                            "limit takes a number from 1 to " + std::to_string(kHistoryMaxLimit));
            f.limit = static_cast<int>(n);
        }
        std::vector<HistoryUpdate> updates;
        std::string error;
        if (!history->Query(f, &updates, &error))
            return fail(res, 503, "the history cannot be read: " + error);
        std::string body = "[";
        for (size_t i = 0; i < updates.size(); ++i)
            body += (i ? "," : "") + history_Json(updates[i]);
        json(res, body + "]");
    }

    void historyOne(const httplib::Request& req, httplib::Response& res) {
        if (!onlyParams(req, res, {})) return;
        int64_t id = 0;
        if (!parsePositive(req.matches[1], INT64_MAX, &id))
            return fail(res, 400, "an update's ID is a whole number from 1");
        if (history == nullptr) return fail(res, 404, "this station keeps no update history");
        HistoryFilter f;
        f.id = id;
        f.withFiles = true;
        std::vector<HistoryUpdate> updates;
        std::string error;
        if (!history->Query(f, &updates, &error))
            return fail(res, 503, "the history cannot be read: " + error);
        if (updates.empty()) return fail(res, 404, "no update " + std::to_string(id));
        json(res, history_Json(updates[0]));
    }

    void log(const httplib::Request& req, httplib::Response& res) {
        if (!onlyParams(req, res, {})) return;
        std::string location = req.matches[1];
        std::string text;
        if (!board->LogText(location, &text))
            return fail(res, 404, "no modem was seen at location " + location);
        res.set_header("Cache-Control", "no-store");
        res.set_content(text, "text/plain; charset=utf-8");
    }

    void events(const httplib::Request& req, httplib::Response& res) {
        if (!onlyParams(req, res, {})) return;
        // A new client starts with what happens from now on; one that resumes names the last
        // event it has (0: everything still kept).
        int64_t last = board->LastEventId();
        if (req.has_header("Last-Event-ID") &&
            !parseNonNegative(req.get_header_value("Last-Event-ID"), &last))
            return fail(res, 400, "Last-Event-ID must be an event's id (a whole number)");
        if (++eventClients > options.maxEventClients) {
            --eventClients;
            res.set_header("Retry-After", "5");
            return fail(res, 503,
                        "too many event clients: at most " +
                            std::to_string(options.maxEventClients) + " at once");
        }
        board->SetEventClients(eventClients);
        // An id from another run of the station (ids start at 1 again) catches up from the
        // oldest event kept, as one that is too old does.
        if (last > board->LastEventId()) last = -1;
        auto stream = std::make_shared<Stream>();
        stream->last = last;
        res.set_header("Cache-Control", "no-store");
        res.set_header("X-Accel-Buffering", "no");
        res.set_chunked_content_provider(
            "text/event-stream",
            [this, stream](size_t, httplib::DataSink& sink) { return pump(stream.get(), sink); },
            [this](bool) {
                --eventClients;
                board->SetEventClients(eventClients);
            });
    }

    // Sends what has happened since the stream's last event, waiting up to a second for it.
    // False drops the client.
    bool pump(Stream* s, httplib::DataSink& sink) {
        std::string out;
        if (!s->started) {
            out = "retry: 2000\n\n";
            s->started = true;
        }
        std::vector<DashboardEvent> events;
        bool missed = false;
        bool open = !stopping && board->WaitEvents(s->last < 0 ? 0 : s->last, kEventsPerWrite,
                                                   kWaitStepMs, &events, &missed);
        if (!open) {
            if (!out.empty()) sink.write(out.data(), out.size());
            sink.done();
            return true;
        }
        if (missed || s->last < 0) {
            // A client that fell behind while it was being served is too slow: it is dropped,
            // and catches up when it reconnects.
            if (missed && s->last > 0 && out.empty()) return false;
            out +=
                "event: resync\ndata: {\"type\":\"resync\",\"reason\":\"events were missed; "
                "read /api/modems again\"}\n\n";
            s->last = 0;
        }
        for (const DashboardEvent& e : events) {
            out +=
                "id: " + std::to_string(e.id) + "\nevent: " + e.type + "\ndata: " + e.data + "\n\n";
            s->last = e.id;
        }
        if (out.empty()) {
            s->idleMs += kWaitStepMs;
            if (s->idleMs < kKeepAliveSeconds * 1000) return sink.is_writable();
            out = ": keep-alive\n\n";
        }
        s->idleMs = 0;
        return sink.write(out.data(), out.size());
    }

    void routes() {
        server.set_pre_routing_handler(
            [this](const httplib::Request& req, httplib::Response& res) { return gate(req, res); });
        server.set_error_handler([](const httplib::Request&, httplib::Response& res) {
            if (res.body.empty())
                res.set_content(errorBody(statusWords(res.status)), "application/json");
        });
        server.set_exception_handler(
            [](const httplib::Request&, httplib::Response& res, std::exception_ptr) {
                fail(res, 500, "the server failed on this request");
            });
        server.Get("/", [this](const httplib::Request& req, httplib::Response& res) {
            if (!onlyParams(req, res, {})) return;
            res.set_header("Content-Security-Policy", policy);
            res.set_header("Cache-Control", "no-cache");
            res.set_content(page, "text/html; charset=utf-8");
        });
        server.Get("/api/station", [this](const httplib::Request& req, httplib::Response& res) {
            if (onlyParams(req, res, {})) json(res, board->StationJson());
        });
        server.Get("/api/modems", [this](const httplib::Request& req, httplib::Response& res) {
            if (onlyParams(req, res, {})) json(res, board->ModemsJson());
        });
        server.Get(R"(/api/modems/([^/]+)/log)",
                   [this](const httplib::Request& req, httplib::Response& res) { log(req, res); });
        server.Get("/api/events", [this](const httplib::Request& req, httplib::Response& res) {
            events(req, res);
        });
        server.Get("/api/history", [this](const httplib::Request& req, httplib::Response& res) {
            historyList(req, res);
        });
        server.Get(
            R"(/api/history/([^/]+))",
            [this](const httplib::Request& req, httplib::Response& res) { historyOne(req, res); });
        server.Get("/metrics", [this](const httplib::Request& req, httplib::Response& res) {
            if (!onlyParams(req, res, {})) return;
            res.set_header("Cache-Control", "no-store");
            res.set_content(board->MetricsText(), "text/plain; version=0.0.4; charset=utf-8");
        });
    }
};

CDashboardServer::CDashboardServer(CDashboard* dashboard, IHistoryStore* history,
                                   DashboardServerOptions options)
    : impl_(new Impl(dashboard, history, std::move(options))) {}

CDashboardServer::~CDashboardServer() {
    Stop();
}

bool CDashboardServer::Start(std::string* why) {
    Impl& s = *impl_;
    s.routes();
    // Every event stream holds one of the server's threads for as long as it is open; the
    // other requests have threads of their own beside them.
    int threads = s.options.maxEventClients + 8;
    s.server.new_task_queue = [threads] {
        return new httplib::ThreadPool(static_cast<size_t>(threads));
    };
    s.server.set_keep_alive_timeout(s.options.keepAliveSeconds);
    s.server.set_keep_alive_max_count(100);
    s.server.set_read_timeout(5, 0);
    s.server.set_write_timeout(s.options.writeTimeoutSeconds, 0);
    s.server.set_payload_max_length(4096);
    const ListenAddress& a = s.options.listen;
    bool bound;
    if (a.port == 0) {
        int port = s.server.bind_to_any_port(a.host.c_str());
        bound = port > 0;
        port_ = port;
    } else {
        bound = s.server.bind_to_port(a.host.c_str(), a.port);
        port_ = a.port;
    }
    if (!bound) {
        *why = "cannot listen on " + a.url() +
               " (another program may be listening there, or it is not an address of this "
               "machine)";
        return false;
    }
    thread_ = thread_Start([](void* self) { static_cast<Impl*>(self)->server.listen_after_bind(); },
                           impl_.get());
    if (thread_ == nullptr) {
        *why = "no thread could be started for the server";
        return false;
    }
    return true;
}

void CDashboardServer::Stop() {
    if (thread_ == nullptr) return;
    impl_->stopping = true;
    impl_->board->Close();
    impl_->server.stop();
    thread_Join(thread_);
    thread_ = nullptr;
}
