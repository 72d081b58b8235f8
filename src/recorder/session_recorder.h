// Recording a modem's session: what the serial service tells its tap, written to a session
// file (src/session) as it happens, with what the host adds (where the modem is, the firmware,
// the identification answers, the result).
//
//   SessionRecorder rec;
//   rec.open(options, &error);            // writes line 1, starts the writer thread
//   recorder_Install(nullptr);            // the tap of this process's serial service (or the
//                                         // loaded library's setter)
//   recorder_Bind(&rec);                  // this thread's serial calls go to rec
//   ... the update ...
//   rec.add("result", fields);
//   rec.close(false);                     // the end line; the file is whole
//
// The serial calls are the transfer's hot path: each is copied, with its time on the scaled
// clock, into a ring of fixed size (no allocation) and left to the writer thread, which sums
// up the frames (a payload's SHA-256), writes the lines and flushes them every few
// milliseconds, so that a host killed mid-update leaves a file whole up to its last line. When
// the ring is full the serial call waits for the writer (nothing is ever dropped).
#ifndef MODEMFLASH_RECORDER_SESSION_RECORDER_H
#define MODEMFLASH_RECORDER_SESSION_RECORDER_H

#include <stddef.h>
#include <stdint.h>

#include <atomic>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "platform/lock.h"
#include "platform/serial_tap.h"
#include "platform/thread.h"
#include "session/session_writer.h"
#include "session/wire_decoder.h"

struct RecorderOptions {
    std::string path;
    bool wholePayload = false;  // data-frame payloads whole instead of length and SHA-256
    std::string program;        // "modemflash 0.1.0"
    std::string command;        // "flash", "watch", "serve"
    // Where a port is plugged in and its USB serial number, asked once for every port that
    // opens (null: not asked), on the opening thread while the port is there.
    std::function<bool(const std::string& port, std::string* location, std::string* serial)> locate;
    size_t ringBytes = size_t(4) << 20;
};

class SessionRecorder : private session::WireDecoder::Listener {
  public:
    SessionRecorder();
    ~SessionRecorder() override;  // closes (as interrupted when close was never called)
    SessionRecorder(const SessionRecorder&) = delete;
    SessionRecorder& operator=(const SessionRecorder&) = delete;

    // Creates the file and starts the writer. False with a reason.
    bool open(const RecorderOptions& options, std::string* error);
    // One serial call, from the port's thread.
    void onSerial(const SerialTapEvent& e);
    // An event of the host's own (ev: "modem", "firmware", "ident", "result", "note"), in
    // order with the serial calls of the thread that adds it.
    void add(const char* ev, const session::Json& fields);
    // Writes what is left and the end line, and closes. Safe from any thread, once or more;
    // serial calls told afterwards are not recorded. False when the file could not be written.
    bool close(bool interrupted);
    bool isOpen() const { return open_.load(); }
    const std::string& path() const { return options_.path; }

  private:
    struct Record;
    void put(const Record& head, const void* name, const void* data);
    static void writerMain(void* self);
    void drain();
    void handle(const Record& r, const char* name, const uint8_t* data);
    void onLine(const std::string& text) override;
    void onFrame(const session::FrameInfo& frame, const std::string& bytes) override;
    std::string portName(uint64_t port) const;
    void vanished(uint64_t port, const char* how);

    RecorderOptions options_;
    std::atomic<bool> open_{false};
    std::atomic<bool> stop_{false};
    int64_t startUs_ = 0;
    PlatformThread* writer_ = nullptr;

    // The ring: records written by the serial calls, read by the writer. ringLock_ guards
    // head_, tail_ and the bytes between them being handed over; the writer copies a
    // record's bytes out before it moves head_ on.
    PlatformLock* ringLock_;
    std::vector<uint8_t> ring_;
    size_t head_ = 0;  // next byte the writer reads
    size_t tail_ = 0;  // next byte a serial call writes
    size_t used_ = 0;  // bytes between them (a wrap marker included)
    // fileLock_ guards the session writer: the writer thread's lines and close().
    PlatformLock* fileLock_;
    session::SessionWriter file_;

    // The writer thread's own state.
    session::WireDecoder decoder_;
    struct Frame {
        session::Json fields;
        std::string bytes;  // the frame itself, when it is kept whole
    };
    std::vector<Frame> frames_;              // frames decoded from the write being written
    std::map<uint64_t, std::string> ports_;  // open handle -> port name
    std::map<uint64_t, bool> goneTold_;
    bool vanishedSeen_ = false;  // the port went away and has not come back yet
    std::string lastPort_;
    int64_t lastT_ = 0;  // the time of the record being written
    std::vector<uint8_t> scratch_;
};

// The tap function that hands each serial call to the calling thread's recorder.
void recorder_Tap(void* context, const SerialTapEvent* event);
// Sets recorder_Tap as the tap: in this process's serial service (setter null) or through a
// loaded library's setter. False when the library refused it (another version).
bool recorder_Install(SerialTapSetter setter);
// The recorder the calling thread's serial calls go to (null: none).
void recorder_Bind(SessionRecorder* recorder);

#endif
