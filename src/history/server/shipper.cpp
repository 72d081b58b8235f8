// The shipper's thread, and `history sync`, over the local history and the server's store.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <set>

#include "history/history_server.h"
#include "history/history_shipper.h"
#include "history/history_time.h"
#include "platform/clock.h"
#include "platform/thread.h"

namespace {

const int kBatch = 64;  // records read, sent and committed together
// The pause after a failure: doubled after each, up to the bound (scaled-clock milliseconds).
const int64_t kFirstPauseMs = 500;
const int64_t kLongestPauseMs = 10000;
// A look at the local history now and then, for what other processes left pending.
const int64_t kIdleLookMs = 30000;
// After the first write that wakes it, the shipper lets the writes of this long come together
// (a station's modems each write their start, every file and their end): fewer rounds, each
// with more records, and fewer meetings with the recording threads at the file's lock.
const int64_t kGatherMs = 200;

// Ships every pending record of local but those in *skip, in batches, until none is left.
// Adds to *shipped; the records the server refused join *skip and *refused; *lastMs is the
// time of the last batch the server took. False with *error when the server (or the local
// history) failed: what was shipped until then stays shipped.
bool shipPending(IHistoryStore& local, IHistoryStore& marks, IHistoryServer& server,
                 std::set<std::string>* skip, int64_t* shipped, std::vector<std::string>* refused,
                 int64_t* lastMs, std::string* error) {
    for (;;) {
        HistoryFilter f;
        f.pendingOnly = true;
        f.withFiles = true;
        f.limit = kBatch + static_cast<int>(skip->size());
        std::vector<HistoryUpdate> read;
        if (!local.Query(f, &read, error)) {
            *error = "the local history cannot be read: " + *error;
            return false;
        }
        std::vector<HistoryUpdate> batch;
        for (HistoryUpdate& u : read)
            if (batch.size() < static_cast<size_t>(kBatch) && !skip->count(u.uuid))
                batch.push_back(std::move(u));
        if (batch.empty()) return true;
        std::vector<std::string> refusedNow;
        if (!server.PutUpdates(batch, &refusedNow, error)) return false;
        int64_t now = history_NowMs();
        for (const std::string& r : refusedNow) {
            skip->insert(r.substr(0, r.find(':')));
            refused->push_back(r);
        }
        std::vector<HistoryShipMark> taken;
        for (const HistoryUpdate& u : batch)
            if (!skip->count(u.uuid)) taken.push_back({u.id, u.revision});
        // A record written again meanwhile keeps its newer revision pending.
        if (!taken.empty() && !marks.MarkShipped(taken, now, error)) {
            *error = "the local history cannot be marked: " + *error;
            return false;
        }
        *shipped += static_cast<int64_t>(taken.size());
        *lastMs = now;
        if (read.size() < static_cast<size_t>(f.limit)) return true;
    }
}

int64_t pendingIn(IHistoryStore& local) {
    HistoryFilter f;
    f.pendingOnly = true;
    int64_t n = 0;
    std::string ignored;
    return local.Count(f, &n, &ignored) ? n : -1;
}

class Shipper : public IHistoryShipper {
  public:
    Shipper(std::unique_ptr<IHistoryStore> local, std::string server, HistoryWarn warn)
        : local_(std::move(local)),
          server_(std::move(server)),
          shown_(history_ShowServer(server_)),
          warn_(std::move(warn)) {}
    ~Shipper() override { Stop(0); }

    bool start() {
        thread_ = thread_Start(threadMain, this);
        return thread_ != nullptr;
    }

    void Poke() override {
        std::lock_guard<std::mutex> g(mutex_);
        poked_ = true;
        changed_.notify_all();
    }

    void Stop(int drainMs) override {
        {
            std::unique_lock<std::mutex> l(mutex_);
            draining_ = true;
            changed_.notify_all();
            auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(drainMs);
            // Only a server that answered in this run is waited for: one that never did, or
            // stopped answering, would only make the program wait for its time-outs.
            while (!stopping_ && (busy_ || poked_) && answered_ && state_ == "connected" &&
                   changed_.wait_until(l, deadline) != std::cv_status::timeout) {
            }
            stopping_ = true;
            giveUp_ = true;
            changed_.notify_all();
        }
        thread_Join(thread_);
        thread_ = nullptr;
    }

    void MarkThrough(IHistoryStore* store) override {
        std::lock_guard<std::mutex> g(mutex_);
        marks_ = store;
    }

    HistoryShippingState ShippingState() const override {
        std::lock_guard<std::mutex> g(mutex_);
        HistoryShippingState s;
        s.pending = pending_;
        s.lastShippedMs = lastShippedMs_;
        s.server = state_;
        s.detail = detail_;
        s.where = shown_;
        return s;
    }

  private:
    static void threadMain(void* self) { static_cast<Shipper*>(self)->run(); }

    void run() {
        int64_t pauseMs = 0;  // after a failure; 0 while the server answers
        for (;;) {
            {
                std::unique_lock<std::mutex> l(mutex_);
                auto now = std::chrono::steady_clock::now();
                auto scaled = [](int64_t ms) {
                    return std::chrono::milliseconds(
                        std::max<int64_t>(1, static_cast<int64_t>(ms / clk_Scale())));
                };
                if (pauseMs > 0) {
                    // A failing server is tried again after the pause, whatever is written
                    // meanwhile.
                    auto until = now + scaled(pauseMs);
                    while (!stopping_ && changed_.wait_until(l, until) != std::cv_status::timeout) {
                    }
                } else {
                    auto until = now + scaled(kIdleLookMs);
                    while (!stopping_ && !poked_ &&
                           changed_.wait_until(l, until) != std::cv_status::timeout) {
                    }
                    until = std::chrono::steady_clock::now() + scaled(kGatherMs);
                    while (poked_ && !stopping_ && !draining_ &&
                           changed_.wait_until(l, until) != std::cv_status::timeout) {
                    }
                }
                if (stopping_) break;
                poked_ = false;
                busy_ = true;
                if (state_ != "unreachable") state_ = store_ ? "connected" : "connecting";
            }
            std::string error;
            int64_t shipped = 0, lastMs = -1;
            std::vector<std::string> refused;
            bool ok = pass(&shipped, &refused, &lastMs, &error);
            int64_t pending = pendingIn(*local_);
            std::vector<std::string> lines;
            {
                std::lock_guard<std::mutex> g(mutex_);
                busy_ = false;
                if (pending >= 0) pending_ = pending;
                if (lastMs >= 0 && shipped > 0) lastShippedMs_ = lastMs;
                for (const std::string& r : refused)
                    lines.push_back("history server " + shown_ + " refused the record " +
                                    r.substr(0, r.find(':')) + " (" + r.substr(r.find(':') + 2) +
                                    "); it stays pending in the local history");
                if (ok) {
                    if (state_ == "unreachable")
                        lines.push_back("history server " + shown_ +
                                        " answers again; the pending records are being shipped");
                    state_ = "connected";
                    answered_ = true;
                    detail_.clear();
                    pauseMs = 0;
                } else if (!giveUp_) {
                    if (state_ != "unreachable")
                        lines.push_back("history server " + shown_ + ": " + error +
                                        "; the records wait in the local history, pending, "
                                        "until it answers");
                    state_ = "unreachable";
                    detail_ = error;
                    pauseMs = pauseMs == 0 ? kFirstPauseMs : std::min(2 * pauseMs, kLongestPauseMs);
                }
                changed_.notify_all();
            }
            if (warn_)
                for (const std::string& line : lines) warn_(line);
        }
        std::lock_guard<std::mutex> g(mutex_);
        state_ = "stopped";
    }

    // One round on the shipper's thread: a connection when there is none, then every pending
    // record. A failed connection is dropped; the next round makes a new one.
    bool pass(int64_t* shipped, std::vector<std::string>* refused, int64_t* lastMs,
              std::string* error) {
        if (!store_) {
            store_ = history_OpenServer(
                server_, true, [this] { return giveUp_.load(); }, error);
            if (!store_) return false;
        }
        IHistoryStore* marks;
        {
            std::lock_guard<std::mutex> g(mutex_);
            marks = marks_ ? marks_ : local_.get();
        }
        if (shipPending(*local_, *marks, *store_, &skip_, shipped, refused, lastMs, error))
            return true;
        store_.reset();
        return false;
    }

    // The shipper's thread alone uses these three.
    std::unique_ptr<IHistoryStore> local_;   // its own connection to the local history
    std::unique_ptr<IHistoryServer> store_;  // the server; null until connected
    std::set<std::string> skip_;             // UUIDs the server refused in this run
    const std::string server_;
    const std::string shown_;  // the server as it may be shown
    const HistoryWarn warn_;
    PlatformThread* thread_ = nullptr;
    std::atomic<bool> giveUp_{false};  // asked by the server's waits on the shipper's thread

    // Guards every member below: the shipper's thread, the threads that record (Poke), the
    // stopping thread and the readers of the state (the dashboard's) share them.
    mutable std::mutex mutex_;
    std::condition_variable changed_;  // a poke, a stop, the end of a round
    bool poked_ = true;                // the first round ships what earlier runs left
    bool busy_ = false;                // a round is under way
    bool stopping_ = false;
    bool draining_ = false;  // Stop waits for the round it was woken for
    bool answered_ = false;  // the server took a round in this run
    std::string state_ = "connecting";
    std::string detail_;
    IHistoryStore* marks_ = nullptr;  // MarkThrough's store; null: local_
    int64_t pending_ = 0;
    int64_t lastShippedMs_ = -1;
};

}  // namespace

std::unique_ptr<IHistoryShipper> history_StartShipper(const std::string& localPath,
                                                      const std::string& server, HistoryWarn warn,
                                                      std::string* error) {
    std::string notice, ignored;
    if (error == nullptr) error = &ignored;
    std::unique_ptr<IHistoryStore> local = history_OpenStore(localPath, &notice, error);
    if (!local) return nullptr;
    std::unique_ptr<Shipper> s(new Shipper(std::move(local), server, std::move(warn)));
    if (!s->start()) {
        *error = "cannot start the history's shipper thread";
        return nullptr;
    }
    return s;
}

bool history_SyncNow(IHistoryStore& local, const std::string& server, HistorySyncCount* count,
                     std::string* error) {
    *count = HistorySyncCount();
    std::unique_ptr<IHistoryServer> store = history_OpenServer(server, true, nullptr, error);
    bool ok = false;
    if (store) {
        std::set<std::string> skip;
        int64_t lastMs = -1;
        ok = shipPending(local, local, *store, &skip, &count->shipped, &count->refused, &lastMs,
                         error);
    }
    count->left = pendingIn(local);
    return ok;
}
