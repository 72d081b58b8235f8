#include "recorder/session_recorder.h"

#include <string.h>

#include "history/history_time.h"
#include "platform/clock.h"
#include "platform/common/clock_backend.h"

using session::Json;

namespace {

const int OP_NOTE = 100;  // an event of the host's own: data is its JSON
const size_t ALIGN = 8;
const int64_t WRITER_PAUSE_US = 3000;  // between the writer's rounds (real time)

thread_local SessionRecorder* t_recorder = nullptr;

size_t aligned(size_t n) {
    return (n + ALIGN - 1) & ~(ALIGN - 1);
}

std::string hex16(uint16_t v) {
    char b[8];
    snprintf(b, sizeof b, "0x%04X", v);
    return b;
}

const char* frameKindName(session::FrameKind k) {
    return k == session::FRAME_HEADER ? "header" : k == session::FRAME_DATA ? "data" : "other";
}

}  // namespace

struct SessionRecorder::Record {
    uint32_t size;  // the whole record with its name and data, aligned
    int32_t op;     // SerialTapOp, or OP_NOTE
    int64_t t;      // microseconds of the scaled clock since the session began
    uint64_t port;
    int32_t flags, result, error, absent;
    uint64_t count;
    uint32_t value, value2;
    SerialLine line;
    SerialTimeouts timeouts;
    uint32_t nameLength, dataLength;
};

SessionRecorder::SessionRecorder()
    : ringLock_(lock_Create()), fileLock_(lock_Create()), decoder_(this, false) {}

SessionRecorder::~SessionRecorder() {
    close(true);
    lock_Destroy(ringLock_);
    lock_Destroy(fileLock_);
}

bool SessionRecorder::open(const RecorderOptions& options, std::string* error) {
    close(true);
    options_ = options;
    if (options_.ringBytes < (size_t(1) << 18)) options_.ringBytes = size_t(1) << 18;
    decoder_ = session::WireDecoder(this, options_.wholePayload);
    session::SessionHeader h;
    h.program = options.program;
    h.command = options.command;
    h.started = history_IsoTime(history_NowMs());
    h.scale = clk_Scale();
    h.wholePayload = options.wholePayload;
    if (!file_.open(options.path, h, error)) return false;
    file_.flush();
    ring_.assign(options_.ringBytes, 0);
    scratch_.reserve(options_.ringBytes / 2);
    head_ = tail_ = used_ = 0;
    ports_.clear();
    goneTold_.clear();
    vanishedSeen_ = false;
    startUs_ = clk_NowUs();
    stop_ = false;
    open_ = true;
    writer_ = thread_Start(&SessionRecorder::writerMain, this);
    if (writer_ == nullptr) {
        open_ = false;
        file_.close(0, true);
        *error = "no thread could be started for the session's writer";
        return false;
    }
    return true;
}

// ---- the serial calls' side (any thread; allocates nothing) --------------------------------

void SessionRecorder::put(const Record& head, const void* name, const void* data) {
    Record r = head;
    const size_t cap = ring_.size();
    // A record never takes more than half the ring (no write is that large).
    size_t limit = cap / 2 - sizeof r - r.nameLength;
    if (r.dataLength > limit) r.dataLength = static_cast<uint32_t>(limit);
    r.size = static_cast<uint32_t>(aligned(sizeof r + r.nameLength + r.dataLength));
    const uint8_t* parts[3] = {reinterpret_cast<const uint8_t*>(&r),
                               static_cast<const uint8_t*>(name),
                               static_cast<const uint8_t*>(data)};
    const size_t lengths[3] = {sizeof r, r.nameLength, r.dataLength};
    for (;;) {
        lock_Acquire(ringLock_);
        if (!open_.load() || stop_.load()) {
            lock_Release(ringLock_);
            return;
        }
        if (cap - used_ >= r.size) break;
        lock_Release(ringLock_);
        clk_RealSleepUs(200);  // the writer is behind: wait for room, never drop
    }
    size_t at = tail_;
    for (int p = 0; p < 3; ++p) {
        size_t n = lengths[p];
        if (n == 0) continue;
        size_t first = cap - at < n ? cap - at : n;
        memcpy(&ring_[at], parts[p], first);
        if (n > first) memcpy(&ring_[0], parts[p] + first, n - first);
        at = (at + n) % cap;
    }
    tail_ = (tail_ + r.size) % cap;
    used_ += r.size;
    lock_Release(ringLock_);
}

void SessionRecorder::onSerial(const SerialTapEvent& e) {
    if (!open_.load(std::memory_order_relaxed)) return;
    Record r;
    memset(&r, 0, sizeof r);
    r.op = e.op;
    r.t = clk_NowUs() - startUs_;
    r.port = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(e.port));
    r.flags = e.flags;
    r.result = e.result;
    r.error = e.error;
    r.absent = e.absent;
    r.count = e.count;
    r.value = e.value;
    r.value2 = e.value2;
    if (e.line) r.line = *e.line;
    if (e.timeouts) r.timeouts = *e.timeouts;
    const char* name = e.name;
    r.nameLength = name ? static_cast<uint32_t>(strnlen(name, 256)) : 0;
    std::string located;  // an open's port, location and serial: opens are few
    if (e.op == SERIAL_TAP_OPEN && e.result == 1 && name && options_.locate) {
        std::string location, serial;
        if (options_.locate(std::string(name, r.nameLength), &location, &serial)) {
            located = std::string(name, r.nameLength) + '\n' + location + '\n' + serial;
            name = located.c_str();
            r.nameLength = static_cast<uint32_t>(located.size());
        }
    }
    const void* data = nullptr;
    if (e.op == SERIAL_TAP_WRITE && e.result > 0) {
        data = e.data;
        r.dataLength = static_cast<uint32_t>(e.result);  // what went out
    } else if (e.op == SERIAL_TAP_READ && e.result > 0) {
        data = e.data;
        r.dataLength = static_cast<uint32_t>(e.result);
    }
    put(r, name, data);
}

void SessionRecorder::add(const char* ev, const Json& fields) {
    if (!open_.load()) return;
    Json e = fields.is_object() ? fields : Json::object();
    e["ev"] = ev;
    std::string text = e.dump(-1, ' ', false, Json::error_handler_t::replace);
    Record r;
    memset(&r, 0, sizeof r);
    r.op = OP_NOTE;
    r.t = clk_NowUs() - startUs_;
    r.dataLength = static_cast<uint32_t>(text.size());
    put(r, nullptr, text.data());
}

// ---- the writer thread ----------------------------------------------------------------------

void SessionRecorder::writerMain(void* self) {
    SessionRecorder* r = static_cast<SessionRecorder*>(self);
    while (!r->stop_.load()) {
        r->drain();
        clk_RealSleepUs(WRITER_PAUSE_US);
    }
    r->drain();
}

// The records between head_ and the tail seen on entry are read where they lie (the serial
// calls write only after the tail), and their room is given back once they are written.
void SessionRecorder::drain() {
    lock_Acquire(ringLock_);
    const size_t cap = ring_.size();
    const size_t n = used_;
    const size_t start = head_;
    lock_Release(ringLock_);
    if (n == 0) return;
    lock_Acquire(fileLock_);
    for (size_t done = 0; done + sizeof(Record) <= n;) {
        size_t at = (start + done) % cap;
        Record r;
        size_t first = cap - at < sizeof r ? cap - at : sizeof r;
        memcpy(&r, &ring_[at], first);
        if (first < sizeof r)
            memcpy(reinterpret_cast<uint8_t*>(&r) + first, &ring_[0], sizeof r - first);
        if (r.size < sizeof r || done + r.size > n) break;  // cannot happen: records are whole
        const uint8_t* body;
        if (at + r.size <= cap) {
            body = &ring_[at];
        } else {
            // A record across the ring's end is put together once.
            scratch_.resize(r.size);
            size_t head = cap - at;
            memcpy(scratch_.data(), &ring_[at], head);
            memcpy(scratch_.data() + head, &ring_[0], r.size - head);
            body = scratch_.data();
        }
        handle(r, reinterpret_cast<const char*>(body + sizeof r), body + sizeof r + r.nameLength);
        done += r.size;
    }
    file_.flush();
    lock_Release(fileLock_);
    lock_Acquire(ringLock_);
    head_ = (start + n) % cap;
    used_ -= n;
    lock_Release(ringLock_);
}

std::string SessionRecorder::portName(uint64_t port) const {
    auto it = ports_.find(port);
    return it == ports_.end() ? lastPort_ : it->second;
}

void SessionRecorder::vanished(uint64_t port, const char* how) {
    if (goneTold_[port]) return;
    goneTold_[port] = true;
    vanishedSeen_ = true;
    Json f;
    f["port"] = portName(port);
    f["how"] = how;
    file_.add(lastT_, "vanished", f);
}

void SessionRecorder::onLine(const std::string&) {}

void SessionRecorder::onFrame(const session::FrameInfo& fr, const std::string& bytes) {
    Json f;
    f["frame"] = frameKindName(fr.kind);
    f["len"] = fr.length;
    if (fr.kind == session::FRAME_DATA) {
        f["block"] = fr.block;
        f["payload"] = fr.payload;
    }
    if (fr.kind == session::FRAME_HEADER && fr.headerLength > 0) {
        f["archive"] = fr.archiveId;
        f["payload_size"] = fr.payloadSize;
        f["block_size"] = fr.blockSize;
        f["header_len"] = fr.headerLength;
    }
    if (fr.expected != 0 && fr.expected != fr.length) f["expected"] = fr.expected;
    f["sum"] = hex16(fr.sum);
    if (!fr.sumOk()) f["sum_expected"] = hex16(fr.computed);
    f["sha256"] = fr.sha256;
    // A header frame is small and says which archive follows: always whole.
    frames_.push_back(Frame{f, bytes});
}

void SessionRecorder::handle(const Record& r, const char* name, const uint8_t* data) {
    lastT_ = r.t;
    Json f;
    const std::string port = portName(r.port);
    switch (r.op) {
        case SERIAL_TAP_OPEN: {
            // "port" or, when it was located as it opened, "port\nlocation\nserial".
            std::string n(name, r.nameLength), location, serial;
            bool located = false;
            size_t nl = n.find('\n');
            if (nl != std::string::npos) {
                size_t nl2 = n.find('\n', nl + 1);
                location =
                    n.substr(nl + 1, nl2 == std::string::npos ? std::string::npos : nl2 - nl - 1);
                serial = nl2 == std::string::npos ? "" : n.substr(nl2 + 1);
                n.resize(nl);
                located = true;
            }
            f["port"] = n;
            f["probe"] = (r.flags & SERIAL_OPEN_OVERLAPPED) != 0;
            f["ok"] = r.result == 1;
            if (r.result != 1) {
                f["error"] = r.error;
                f["absent"] = r.absent != 0;
            } else {
                if (located) {
                    f["location"] = location;
                    f["serial"] = serial;
                }
                ports_[r.port] = n;
                goneTold_[r.port] = false;
                lastPort_ = n;
            }
            decoder_.reset();
            file_.add(r.t, "open", f);
            if (r.result == 1 && vanishedSeen_) {
                vanishedSeen_ = false;
                Json b;
                b["port"] = n;
                file_.add(r.t, "back", b);
            } else if (r.result != 1 && r.absent && !vanishedSeen_ && !lastPort_.empty()) {
                // The port the host had is not there any more.
                vanishedSeen_ = true;
                Json v;
                v["port"] = n;
                v["how"] = "open";
                file_.add(r.t, "vanished", v);
            }
            return;
        }
        case SERIAL_TAP_CLOSE:
            f["port"] = port;
            f["ok"] = r.result == 1;
            decoder_.reset();
            file_.add(r.t, "close", f);
            ports_.erase(r.port);
            goneTold_.erase(r.port);
            return;
        case SERIAL_TAP_LINE: {
            const SerialLine& l = r.line;
            f["port"] = port;
            f["baud"] = l.baud;
            f["data"] = l.dataBits;
            f["stop"] = l.stopBits;
            f["parity"] = l.parity == SERIAL_PARITY_ODD    ? "odd"
                          : l.parity == SERIAL_PARITY_EVEN ? "even"
                                                           : "none";
            f["parity_check"] = l.parityCheck;
            f["cts"] = l.ctsFlow;
            f["dsr"] = l.dsrFlow;
            f["dtr"] = l.dtrEnable;
            f["dsr_sensitive"] = l.dsrSensitive;
            f["xon_xoff"] = l.xonXoff;
            f["rts"] = l.rtsHandshake;
            f["ok"] = r.result == 1;
            file_.add(r.t, "line", f);
            return;
        }
        case SERIAL_TAP_TIMEOUTS: {
            const SerialTimeouts& t = r.timeouts;
            f["port"] = port;
            f["read_interval"] = t.readInterval;
            f["read_multiplier"] = t.readMultiplier;
            f["read_constant"] = t.readConstant;
            f["write_multiplier"] = t.writeMultiplier;
            f["write_constant"] = t.writeConstant;
            f["ok"] = r.result == 1;
            file_.add(r.t, "timeouts", f);
            return;
        }
        case SERIAL_TAP_QUEUES:
            f["port"] = port;
            f["in"] = r.value;
            f["out"] = r.value2;
            f["ok"] = r.result == 1;
            file_.add(r.t, "queues", f);
            return;
        case SERIAL_TAP_EVENT_MASK:
            f["port"] = port;
            f["mask"] = r.value;
            f["ok"] = r.result == 1;
            file_.add(r.t, "events", f);
            return;
        case SERIAL_TAP_PURGE:
            f["port"] = port;
            f["rx"] = (r.flags & (SERIAL_PURGE_RX_CLEAR | SERIAL_PURGE_RX_ABORT)) != 0;
            f["tx"] = (r.flags & (SERIAL_PURGE_TX_CLEAR | SERIAL_PURGE_TX_ABORT)) != 0;
            f["flags"] = r.flags;
            f["ok"] = r.result == 1;
            file_.add(r.t, "purge", f);
            return;
        case SERIAL_TAP_WRITE: {
            f["port"] = port;
            f["count"] = r.count;
            f["sent"] = r.result;
            frames_.clear();
            size_t framed = r.dataLength > 0 ? decoder_.host(data, r.dataLength) : 0;
            decoder_.hostPause();  // a frame whose length cannot be known ends with its write
            if (r.result < 0) {
                f["error"] = r.error;
                f["absent"] = r.absent != 0;
                f["text"] = "";
            } else if (framed == 0) {
                session::putBytes(f, data, r.dataLength);
            } else if (framed == r.dataLength) {
                f["frames"] = true;
            } else {
                // Text and frame bytes in one write (this engine writes them apart).
                f["frames"] = true;
                f["hex"] = session::hexOf(data, r.dataLength);
            }
            file_.add(r.t, "write", f);
            for (const Frame& fr : frames_) {
                if (fr.bytes.empty())
                    file_.add(r.t, "frame", fr.fields);
                else
                    file_.addWithHex(r.t, "frame", fr.fields, fr.bytes.data(), fr.bytes.size());
            }
            frames_.clear();
            if (r.result < 0 && r.absent) vanished(r.port, "write");
            return;
        }
        case SERIAL_TAP_READ:
            f["port"] = port;
            f["got"] = r.result;
            if (r.result > 0) {
                session::putBytes(f, data, r.dataLength);
                decoder_.modem(data, r.dataLength);
            } else {
                f["error"] = r.error;
                f["absent"] = r.absent != 0;
            }
            file_.add(r.t, "read", f);
            if (r.result < 0 && r.absent) vanished(r.port, "read");
            return;
        case SERIAL_TAP_GONE:
            vanished(r.port, "gone");
            return;
        case OP_NOTE: {
            Json e =
                Json::parse(reinterpret_cast<const char*>(data),
                            reinterpret_cast<const char*>(data) + r.dataLength, nullptr, false);
            if (!e.is_object() || !e.contains("ev") || !e["ev"].is_string()) return;
            std::string ev = e["ev"].get<std::string>();
            e.erase("ev");
            file_.add(r.t, ev.c_str(), e);
            return;
        }
        default:
            return;
    }
}

bool SessionRecorder::close(bool interrupted) {
    if (!open_.load()) return true;
    stop_ = true;
    if (writer_ != nullptr) {
        thread_Join(writer_);
        writer_ = nullptr;
    }
    lock_Acquire(fileLock_);
    bool ok = true;
    if (open_.exchange(false)) ok = file_.close(clk_NowUs() - startUs_, interrupted);
    lock_Release(fileLock_);
    return ok;
}

// ---- the process's tap ---------------------------------------------------------------------

void recorder_Tap(void*, const SerialTapEvent* event) {
    SessionRecorder* r = t_recorder;
    if (r != nullptr && event != nullptr) r->onSerial(*event);
}

bool recorder_Install(SerialTapSetter setter) {
    if (setter == nullptr) {
        serial_SetTap(&recorder_Tap, nullptr);
        return true;
    }
    return setter(SERIAL_TAP_VERSION, &recorder_Tap, nullptr) == 1;
}

void recorder_Bind(SessionRecorder* recorder) {
    t_recorder = recorder;
}
