#include "transfer_fixture.h"

#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include "engine/port_context.h"
#include "engine/transfer.h"
#include "platform/clock.h"
#include "platform/messages.h"
#include "platform/serial.h"
#include "report/log.h"
#include "report/notify.h"

namespace transfertest {

const char kAccepted[] = "\xAA\x01";

std::string status(uint8_t a, uint8_t b) {
    std::string s;
    s.push_back(static_cast<char>(a));
    s.push_back(static_cast<char>(b));
    return s;
}

ScriptedLoader::Step okStep(size_t length) {
    return ScriptedLoader::Step{length, kAccepted};
}
ScriptedLoader::Step replyStep(size_t length, const std::string& bytes) {
    return ScriptedLoader::Step{length, bytes};
}

Bytes countingPayload(size_t n) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(i);
    return b;
}

Bytes randomPayload(size_t n, uint64_t seed) {
    Bytes b(n);
    CPseudoRandomPayload source(seed, n);
    size_t got = 0;
    while (got < n) got += static_cast<size_t>(source.read(b.data() + got, n - got));
    return b;
}

uint16_t xor16(const Bytes& b, size_t from, size_t count) {
    uint16_t x = 0;
    for (size_t i = from; i + 1 < from + count; i += 2)
        x ^= static_cast<uint16_t>(b[i] | (b[i + 1] << 8));
    return x;
}

void TransferTest::SetUp() {
    devRoot = dir.file("dev");
    sysRoot = dir.file("sys");
    workDir = dir.file("work");
    mkdir(devRoot.c_str(), 0755);
    mkdir(sysRoot.c_str(), 0755);
    mkdir(workDir.c_str(), 0755);
    devEnv_ = std::make_unique<testsupport::ScopedEnv>("MODEMFLASH_DEV_ROOT", devRoot);
    sysEnv_ = std::make_unique<testsupport::ScopedEnv>("MODEMFLASH_SYSFS_ROOT", sysRoot);
    char cwd[4096];
    previousCwd_ = getcwd(cwd, sizeof cwd) ? cwd : "/";
    ASSERT_EQ(chdir(workDir.c_str()), 0);
    clk_SetScale(kScale);
    PortContext* c = ctx_Get(kPort);
    c->progressBase = 15;
    c->progressShare = 40;
    uint32_t id;
    intptr_t w, l;
    while (msg_Peek(&id, &w, &l, 1)) {
    }
    log_SetHook(&TransferTest::hook, this);
    sink_Set(this);
}

void TransferTest::TearDown() {
    com_Close(kPort);
    sink_Set(nullptr);
    log_SetHook(nullptr, nullptr);
    clk_SetScale(1);
    if (chdir(previousCwd_.c_str()) != 0) ADD_FAILURE() << "cannot return to " << previousCwd_;
}

void TransferTest::OnEvent(DownloadEvent* event) {
    std::lock_guard<std::mutex> guard(mu_);
    events_.push_back(*event);
}

void TransferTest::hook(void* self, int port, int isError, const char* text) {
    if (port != kPort) return;
    TransferTest* t = static_cast<TransferTest*>(self);
    std::lock_guard<std::mutex> guard(t->mu_);
    t->log_.push_back(LogEntry{isError ? 'E' : 'I', text});
}

std::string TransferTest::writeArchive(const Bytes& payload, uint32_t idWord, uint32_t headerLength,
                                       bool extended, const std::string& name) {
    ArchiveLayout layout;
    layout.archiveIdWord = idWord;
    layout.headerLength = headerLength;
    layout.extended = extended;
    std::string error;
    Bytes a = archive_Build(layout, payload, &error);
    EXPECT_FALSE(a.empty()) << error;
    std::string path = dir.file(name);
    FILE* f = fopen(path.c_str(), "wb");
    if (!a.empty()) fwrite(a.data(), 1, a.size(), f);
    fclose(f);
    return path;
}

void TransferTest::openPort() {
    ASSERT_NE(com_Open(kPort, "COM65"), nullptr);
    ctx_LogLevel(kPort, 2);
}

int TransferTest::send(const std::string& path) {
    FILE* f = fopen(path.c_str(), "rb");
    if (f == nullptr) {
        ADD_FAILURE() << "cannot open " << path;
        return -100;
    }
    int result = load_SendArchive(kPort, f, path.c_str());
    fclose(f);
    return result;
}

std::vector<LogEntry> TransferTest::log() {
    std::lock_guard<std::mutex> guard(mu_);
    return log_;
}

std::vector<std::string> TransferTest::errors() {
    std::vector<std::string> out;
    for (const LogEntry& e : log())
        if (e.kind == 'E') out.push_back(e.text);
    return out;
}

std::string TransferTest::logText() {
    std::string all;
    for (const LogEntry& e : log()) all += e.text;
    return all;
}

std::vector<int> TransferTest::progress() {
    uint32_t id;
    intptr_t w, l;
    while (msg_Peek(&id, &w, &l, 1)) {
        if (id == MSG_DL_PROGRESS && w == kPort) progress_.push_back(static_cast<int>(l));
    }
    return progress_;
}

std::vector<DownloadEvent> TransferTest::events() {
    std::lock_guard<std::mutex> guard(mu_);
    return events_;
}

ScriptedLoader::ScriptedLoader(const std::string& devRoot, int refusals, std::vector<Step> steps)
    : peer_(devRoot, "ttyACM0"), refusals_(refusals), steps_(std::move(steps)) {
    thread_ = std::thread([this] { run(); });
}

ScriptedLoader::~ScriptedLoader() {
    stop_ = true;
    thread_.join();
}

void ScriptedLoader::run() {
    for (;;) {
        if (stop_) return;
        std::string line = peer_.receiveUntil("AT%LOAD\r\n", 200);
        if (line.find("AT%LOAD\r\n") == std::string::npos) continue;
        {
            std::lock_guard<std::mutex> guard(mu_);
            loadTimes_.push_back(clk_RealNowUs());
        }
        ++loadCommands_;
        if (loadCommands_ <= refusals_) {
            peer_.send("\r\nERROR\r\n");
            continue;
        }
        peer_.send("\r\nOK\r\n");
        break;
    }
    for (const Step& step : steps_) {
        if (step.length == 0) {
            done_ = true;
            while (!stop_) usleep(1000);
            return;
        }
        if (step.delayReadMs > 0) usleep(static_cast<useconds_t>(step.delayReadMs) * 1000);
        std::string frame = peer_.receiveExactly(step.length, 5000);
        {
            std::lock_guard<std::mutex> guard(mu_);
            frames_.push_back(frame);
        }
        if (frame.size() != step.length || step.reply.empty()) break;
        if (step.injectFailure >= 0) serial_InjectFailure(step.injectFailure, 1);
        if (step.delayReplyMs > 0) usleep(static_cast<useconds_t>(step.delayReplyMs) * 1000);
        peer_.send(step.reply);
    }
    std::string rest = peer_.receive(50, 20);
    {
        std::lock_guard<std::mutex> guard(mu_);
        trailing_ = rest;
    }
    done_ = true;
    while (!stop_) usleep(1000);
}

std::vector<std::string> ScriptedLoader::frames(int timeoutMs) {
    for (int waited = 0; !done_ && waited < timeoutMs; ++waited) usleep(1000);
    std::lock_guard<std::mutex> guard(mu_);
    return frames_;
}

std::vector<int64_t> ScriptedLoader::loadTimes() {
    std::lock_guard<std::mutex> guard(mu_);
    return loadTimes_;
}

std::string ScriptedLoader::trailing() {
    frames();
    std::lock_guard<std::mutex> guard(mu_);
    return trailing_;
}

}  // namespace transfertest
