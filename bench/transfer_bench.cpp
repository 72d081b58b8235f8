// Block-transfer benchmark against the simulated modem over a pty.
//
//   bench_transfer [--mib N] [--rounds R]      (defaults 64 and 3)
//
// 1. Throughput: an N MiB archive sent with load_SendArchive, and the same bytes sent by a
//    bare stop-and-wait loop over the same channel with the same frame size (frames built in
//    memory beforehand: no file reads, checksums or progress). Best of R rounds each, MiB/s of
//    payload and their ratio (target >= 0.85). The modem's flash is compared with the payload.
// 2. Heap allocations made on the transferring thread during load_SendArchive (target 0),
//    counted by interposing the C allocator.
// 3. The cost of recording the session (flash --record): the same load_SendArchive with the
//    serial tap set and a session recorder writing to a file, payloads as SHA-256 and (with
//    --record-payload) whole; best of R rounds, its ratio to the unrecorded run (target:
//    at least 0.98, i.e. less than 2 %), and its heap allocations on the transferring thread.
// 4. Peak resident memory of a process that sends a 1 MiB and a 256 MiB archive (the modem
//    runs in the parent process, so its copy of the payload does not count). Target: the
//    same within 1 MiB, since the payload is streamed.
#include <execinfo.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <vector>

#include "engine/archive_writer.h"
#include "engine/at.h"
#include "engine/port_context.h"
#include "engine/transfer.h"
#include "modem_sim.h"
#include "platform/clock.h"
#include "platform/messages.h"
#include "recorder/session_recorder.h"

// ---- allocation counting -----------------------------------------------------------------

namespace {
thread_local bool t_counting = false;
std::atomic<long> g_allocations{0};
std::atomic<long> g_allocatedBytes{0};
const int kSizeSlots = 8;
std::atomic<size_t> g_sizes[kSizeSlots];  // sizes of the first allocations counted
// Where the first counted allocation came from (backtrace is warmed up before counting, so
// taking it allocates nothing).
void* g_firstSite[16];
int g_firstSiteDepth = 0;
void noteAllocation(size_t n) {
    long i = g_allocations.fetch_add(1);
    g_allocatedBytes.fetch_add(static_cast<long>(n));
    if (i < kSizeSlots) g_sizes[i] = n;
    if (i == 0) {
        t_counting = false;
        g_firstSiteDepth = backtrace(g_firstSite, 16);
        t_counting = true;
    }
}
}  // namespace

#if defined(__SANITIZE_ADDRESS__)
#define MF_COUNT_ALLOCATIONS 0
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define MF_COUNT_ALLOCATIONS 0
#endif
#endif
#ifndef MF_COUNT_ALLOCATIONS
#define MF_COUNT_ALLOCATIONS 1
#endif

#if MF_COUNT_ALLOCATIONS
// glibc's allocator under its internal names; operator new ends up in malloc too.
extern "C" void* __libc_malloc(size_t);
extern "C" void* __libc_calloc(size_t, size_t);
extern "C" void* __libc_realloc(void*, size_t);
extern "C" void* malloc(size_t n) {
    if (t_counting) noteAllocation(n);
    return __libc_malloc(n);
}
extern "C" void* calloc(size_t n, size_t size) {
    if (t_counting) noteAllocation(n * size);
    return __libc_calloc(n, size);
}
extern "C" void* realloc(void* p, size_t n) {
    if (t_counting) noteAllocation(n);
    return __libc_realloc(p, n);
}
#endif

namespace {

const int kPort = 0;
const double kMiB = 1024.0 * 1024.0;

struct Setup {
    std::string root;
    std::string devRoot;
    std::string sysRoot;
};

Setup makeRoots() {
    char pattern[] = "/tmp/mfbench.XXXXXX";
    Setup s;
    s.root = mkdtemp(pattern);
    s.devRoot = s.root + "/dev";
    s.sysRoot = s.root + "/sys";
    mkdir(s.devRoot.c_str(), 0755);
    mkdir(s.sysRoot.c_str(), 0755);
    setenv("MODEMFLASH_DEV_ROOT", s.devRoot.c_str(), 1);
    setenv("MODEMFLASH_SYSFS_ROOT", s.sysRoot.c_str(), 1);
    return s;
}

bool writeArchive(const std::string& path, uint32_t size, uint64_t seed) {
    FILE* out = fopen(path.c_str(), "wb");
    if (out == nullptr) return false;
    CPseudoRandomPayload payload(seed, size);
    ArchiveLayout layout;  // ID 0: MDM
    std::string error;
    int ok = archive_Write(out, layout, size, payload, &error);
    fclose(out);
    if (!ok) fprintf(stderr, "bench: %s\n", error.c_str());
    return ok == 1;
}

bool startSim(modemsim::ModemSim& sim, const Setup& s) {
    modemsim::SimOptions o;
    o.devRoot = s.devRoot;
    o.sysfsRoot = s.sysRoot;
    o.initialMode = 1;
    std::string error;
    if (!sim.start(o, &error)) {
        fprintf(stderr, "bench: cannot start the simulated modem: %s\n", error.c_str());
        return false;
    }
    return true;
}

bool openPort() {
    if (com_Open(kPort, "COM65") == nullptr) return false;
    ctx_LogLevel(kPort, 0);
    return at_Send(kPort, "ATE0\r\n") == 1;
}

// A static stdio buffer, so that the file's first read allocates nothing.
char g_fileBuffer[1 << 16];

struct LibraryRun {
    double seconds = 0;
    long allocations = 0;
    long allocatedBytes = 0;
    bool ok = false;
};

LibraryRun sendWithLibrary(const std::string& path) {
    LibraryRun r;
    FILE* f = fopen(path.c_str(), "rb");
    if (f == nullptr) return r;
    setvbuf(f, g_fileBuffer, _IOFBF, sizeof g_fileBuffer);
    // A host reads its posted messages; an undrained queue would stop taking them.
    uint32_t id;
    intptr_t w, l;
    while (msg_Peek(&id, &w, &l, 1)) {
    }
    g_allocations = 0;
    g_allocatedBytes = 0;
    int64_t start = clk_RealNowUs();
    t_counting = true;
    int result = load_SendArchive(kPort, f, path.c_str());
    t_counting = false;
    r.seconds = static_cast<double>(clk_RealNowUs() - start) / 1e6;
    r.allocations = g_allocations;
    r.allocatedBytes = g_allocatedBytes;
    fclose(f);
    r.ok = result == 1;
    return r;
}

// The same with the session recorded into dir (payloads whole or as SHA-256).
LibraryRun sendRecorded(const std::string& path, const std::string& dir, bool whole) {
    SessionRecorder recorder;
    RecorderOptions o;
    o.path = dir + (whole ? "/bench.session.jsonl.zst" : "/bench.session.jsonl");
    o.wholePayload = whole;
    o.program = "bench_transfer";
    o.command = "bench";
    std::string error;
    if (!recorder.open(o, &error)) {
        fprintf(stderr, "bench: %s\n", error.c_str());
        return LibraryRun();
    }
    recorder_Install(nullptr);
    recorder_Bind(&recorder);
    LibraryRun r = sendWithLibrary(path);
    recorder_Bind(nullptr);
    serial_SetTap(nullptr, nullptr);
    if (!recorder.close(false)) r.ok = false;
    remove(o.path.c_str());
    return r;
}

// Writes and awaits one frame; false on any failure or rejection.
bool bareFrame(const uint8_t* frame, int length) {
    int done = 0;
    while (done < length) {
        int n = com_Write(kPort, frame + done, length - done);
        if (n < 0) return false;
        done += n;
    }
    uint8_t status[2];
    int got = 0;
    int64_t deadline = clk_RealNowUs() + 5 * 1000 * 1000;
    while (got < 2) {
        int n = com_Read(kPort, status + got, 2 - got);
        if (n < 0 || clk_RealNowUs() > deadline) return false;
        got += n;
    }
    return status[0] == 0xAA && status[1] == 0x01;
}

// The same archive by a bare stop-and-wait loop: AT%LOAD, the header frame, then every data
// frame prepared in memory beforehand.
double sendBare(const std::vector<uint8_t>& archive) {
    const uint32_t headerLength = 24;
    const uint32_t block = 16384;
    std::vector<uint8_t> frames;
    std::vector<int> lengths;
    frames.reserve(archive.size() + archive.size() / block * 5 + 64);
    auto add16 = [&](uint16_t v) {
        frames.push_back(static_cast<uint8_t>(v));
        frames.push_back(static_cast<uint8_t>(v >> 8));
    };
    size_t startOfFrame = frames.size();
    frames.insert(frames.end(), {0xAA, 0x73, static_cast<uint8_t>(block), block >> 8});
    frames.insert(frames.end(), archive.begin(), archive.begin() + headerLength);
    add16(frame_XorSum16(frames.data() + startOfFrame, 28));
    lengths.push_back(30);
    for (size_t at = headerLength; at < archive.size(); at += block) {
        size_t n = archive.size() - at < block ? archive.size() - at : block;
        startOfFrame = frames.size();
        frames.push_back(0xAA);
        frames.push_back(0x00);
        frames.insert(frames.end(), archive.begin() + at, archive.begin() + at + n);
        if (n & 1) frames.push_back(0);
        add16(frame_XorSum16(frames.data() + startOfFrame, frames.size() - startOfFrame));
        lengths.push_back(static_cast<int>(frames.size() - startOfFrame));
    }

    int64_t start = clk_RealNowUs();
    if (at_Send(kPort, "AT%%LOAD\r\n") != 1) return -1;
    const uint8_t* p = frames.data();
    for (int length : lengths) {
        if (!bareFrame(p, length)) return -1;
        p += length;
    }
    return static_cast<double>(clk_RealNowUs() - start) / 1e6;
}

std::vector<uint8_t> readAll(const std::string& path) {
    std::vector<uint8_t> bytes;
    FILE* f = fopen(path.c_str(), "rb");
    if (f == nullptr) return bytes;
    fseek(f, 0, SEEK_END);
    bytes.resize(static_cast<size_t>(ftell(f)));
    rewind(f);
    if (fread(bytes.data(), 1, bytes.size(), f) != bytes.size()) bytes.clear();
    fclose(f);
    return bytes;
}

// Sends the archive from a child process while the modem runs here; the child's peak RSS in
// KiB before and after the transfer, or -1.
bool peakRss(const Setup& s, const std::string& path, long* before, long* after) {
    int go[2], result[2];
    if (pipe(go) != 0 || pipe(result) != 0) return false;
    pid_t child = fork();
    if (child == 0) {
        char c;
        if (read(go[0], &c, 1) != 1) _exit(2);
        long r[3] = {0, 0, 0};
        if (openPort()) {
            rusage u;
            getrusage(RUSAGE_SELF, &u);
            r[0] = u.ru_maxrss;
            LibraryRun run = sendWithLibrary(path);
            getrusage(RUSAGE_SELF, &u);
            r[1] = u.ru_maxrss;
            r[2] = run.ok ? 1 : 0;
            com_Close(kPort);
        }
        if (write(result[1], r, sizeof r) != static_cast<ssize_t>(sizeof r)) _exit(3);
        _exit(0);
    }
    modemsim::ModemSim sim;
    bool ok = startSim(sim, s);
    if (write(go[1], "g", 1) != 1) ok = false;
    long r[3] = {0, 0, 0};
    if (read(result[0], r, sizeof r) != static_cast<ssize_t>(sizeof r)) ok = false;
    int status = 0;
    waitpid(child, &status, 0);
    sim.stop();
    close(go[0]);
    close(go[1]);
    close(result[0]);
    close(result[1]);
    *before = r[0];
    *after = r[1];
    return ok && r[2] == 1;
}

}  // namespace

int main(int argc, char** argv) {
    uint32_t mib = 64;
    int rounds = 3;
    for (int i = 1; i + 1 < argc; ++i) {
        if (strcmp(argv[i], "--mib") == 0) mib = static_cast<uint32_t>(atoi(argv[i + 1]));
        if (strcmp(argv[i], "--rounds") == 0) rounds = atoi(argv[i + 1]);
    }
    if (mib < 1 || mib > 2048 || rounds < 1) {
        fprintf(stderr, "usage: bench_transfer [--mib 1..2048] [--rounds N]\n");
        return 2;
    }
    printf(
        "block transfer benchmark: %u MiB archive, 16384-byte blocks, simulated modem on a pty\n",
        mib);
    fflush(stdout);

    void* warm[4];
    backtrace(warm, 4);  // loads the unwinder now rather than inside the counted transfer
    Setup s = makeRoots();
    // Memory first, while this process is still small: the children start from its size.
    long rss[2][2] = {{0, 0}, {0, 0}};
    const uint32_t sizes[2] = {1, 256};
    for (int i = 0; i < 2; ++i) {
        std::string path = s.root + "/rss.wrapped";
        if (!writeArchive(path, sizes[i] * 1024u * 1024u, 2 + i) ||
            !peakRss(s, path, &rss[i][0], &rss[i][1])) {
            fprintf(stderr, "bench: the %u MiB memory run failed\n", sizes[i]);
            return 1;
        }
        remove(path.c_str());
        printf("peak RSS sending %3u MiB: %6ld KiB (%ld KiB before the transfer, +%ld KiB)\n",
               sizes[i], rss[i][1], rss[i][0], rss[i][1] - rss[i][0]);
    }
    printf("growth during the transfer, 256 MiB - 1 MiB: %ld KiB (target < 1024)\n",
           (rss[1][1] - rss[1][0]) - (rss[0][1] - rss[0][0]));
    const std::string archivePath = s.root + "/modem.wrapped";
    const uint32_t payloadSize = mib * 1024u * 1024u;
    if (!writeArchive(archivePath, payloadSize, 1)) return 1;
    std::vector<uint8_t> archive = readAll(archivePath);
    std::vector<uint8_t> payload(archive.begin() + 24, archive.end());

    modemsim::ModemSim sim;
    if (!startSim(sim, s) || !openPort()) {
        fprintf(stderr, "bench: cannot open the simulated modem's port\n");
        return 1;
    }
    double bestLibrary = 1e9, bestBare = 1e9, bestRecorded = 1e9, bestWhole = 1e9;
    long recordedAllocations = 0;
    long allocations = 0;  // the most any run made
    long allocatedBytes = 0;
    bool flashOk = true;
    // Rounds alternate which of the two goes first, so that neither gains from the other's
    // warm-up; the best time of each counts (the machine is shared).
    for (int round = 0; round < rounds; ++round) {
        for (int turn = 0; turn < 2; ++turn) {
            if ((round + turn) % 2 == 0) {
                double bare = sendBare(archive);
                if (bare < 0) {
                    fprintf(stderr, "bench: the bare loop failed\n");
                    return 1;
                }
                if (bare < bestBare) bestBare = bare;
            } else {
                LibraryRun run = sendWithLibrary(archivePath);
                if (!run.ok) {
                    fprintf(stderr, "bench: load_SendArchive failed\n");
                    return 1;
                }
                if (run.seconds < bestLibrary) bestLibrary = run.seconds;
                if (run.allocations > allocations) {
                    allocations = run.allocations;
                    allocatedBytes = run.allocatedBytes;
                }
                if (at_Send(kPort, "AT%%PROG=2\r\n") != 1 || sim.flash(0) != payload)
                    flashOk = false;
            }
        }
        // Recorded, right after an unrecorded run of the same round.
        for (bool whole : {false, true}) {
            LibraryRun run = sendRecorded(archivePath, s.root, whole);
            if (!run.ok) {
                fprintf(stderr, "bench: the recorded load_SendArchive failed\n");
                return 1;
            }
            double& best = whole ? bestWhole : bestRecorded;
            if (run.seconds < best) best = run.seconds;
            if (!whole && run.allocations > recordedAllocations)
                recordedAllocations = run.allocations;
            if (at_Send(kPort, "AT%%PROG=2\r\n") != 1 || sim.flash(0) != payload) flashOk = false;
        }
    }
    com_Close(kPort);
    sim.stop();

    const double libraryRate = mib / bestLibrary;
    const double bareRate = mib / bestBare;
    printf("load_SendArchive   %8.1f MiB/s  (%.3f s)\n", libraryRate, bestLibrary);
    printf("bare stop-and-wait %8.1f MiB/s  (%.3f s)\n", bareRate, bestBare);
    printf("ratio              %8.3f        (target >= 0.85)\n", libraryRate / bareRate);
    printf("recorded (SHA-256)  %8.1f MiB/s  (%.3f s), ratio to unrecorded %.3f (target >= 0.98)\n",
           mib / bestRecorded, bestRecorded, bestLibrary / bestRecorded);
    printf("recorded (whole)    %8.1f MiB/s  (%.3f s), ratio to unrecorded %.3f\n", mib / bestWhole,
           bestWhole, bestLibrary / bestWhole);
#if MF_COUNT_ALLOCATIONS
    printf("heap allocations during the recorded load_SendArchive: %ld (target 0)\n",
           recordedAllocations);
#endif
    printf("flash matches payload: %s\n", flashOk ? "yes" : "NO");
#if MF_COUNT_ALLOCATIONS
    printf("heap allocations during load_SendArchive: %ld (%ld bytes; target 0)", allocations,
           allocatedBytes);
    if (allocations > 0) {
        printf(", first sizes:");
        for (int i = 0; i < kSizeSlots && i < allocations; ++i) printf(" %zu", g_sizes[i].load());
        printf("\nfirst allocation made from:\n");
        fflush(stdout);
        backtrace_symbols_fd(g_firstSite, g_firstSiteDepth, 1);
    }
    printf("\n");
#else
    (void)allocations;
    (void)allocatedBytes;
    printf("heap allocations: not counted under a sanitizer\n");
#endif
    fflush(stdout);
    remove(archivePath.c_str());
    rmdir(s.devRoot.c_str());
    std::string cleanup = "rm -rf '" + s.root + "'";
    if (system(cleanup.c_str()) != 0) fprintf(stderr, "bench: cannot remove %s\n", s.root.c_str());
    return flashOk && libraryRate / bareRate >= 0.85 ? 0 : 2;
}
