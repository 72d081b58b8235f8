// Several modems updated at once through the station, against simulated modems whose port
// names swap when they come back from a mode switch.
#include "station/station.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "engine/archive_writer.h"
#include "engine/mode.h"
#include "engine/port_context.h"
#include "modem_bank.h"
#include "modemflash/downloader.h"
#include "platform/clock.h"
#include "platform/modem_lock.h"
#include "platform/registry.h"
#include "support/test_support.h"

using testsupport::CapturedStream;

namespace {

struct FirmwareFile {
    const char* name;
    uint32_t id;
};
const FirmwareFile kFiles[] = {{"loader.wrapped", 3},
                               {"secondary_boot.wrapped", 1},
                               {"factory_tests.wrapped", 2},
                               {"modem.wrapped", 0},
                               {"mass_storage.wrapped", 7}};

// Records what the station reports, from every modem's thread.
class Recorder : public IStationListener {
  public:
    void OnModemStart(const StationModem& m) override {
        std::lock_guard<std::mutex> g(mu);
        started.push_back(m.location);
    }
    void OnModemStatus(const StationModem& m, const StationStatus& s) override {
        std::lock_guard<std::mutex> g(mu);
        phases[m.location].insert(s.phase);
        if (s.fileCount > 0) fileCounts[m.location] = s.fileCount;
        ports[m.location].insert(m.portName);
    }
    void OnModemFinish(const StationModem& m, const StationResult& r) override {
        std::lock_guard<std::mutex> g(mu);
        finished[m.location] = r.downloadResult;
    }
    void OnNotice(const char* text) override {
        std::lock_guard<std::mutex> g(mu);
        notices.push_back(text);
    }
    std::mutex mu;
    std::vector<std::string> started, notices;
    std::map<std::string, std::set<int>> phases;
    std::map<std::string, int> fileCounts, finished;
    std::map<std::string, std::set<std::string>> ports;
};

class Station : public ::testing::Test, protected testsupport::PrivateDeviceTree {
  protected:
    const RegistryBackend* previous = nullptr;
    modemsim::ModemBank bank;
    std::map<std::string, std::vector<uint8_t>> payloads;
    Recorder recorder;
    std::unique_ptr<CapturedStream> out, err;
    std::mutex publishMu;
    std::map<std::string, std::set<int>> holders;  // tty name -> modems that held it

    void SetUp() override {
        clk_SetScale(50);
        previous = reg_SetBackend(nullptr);
        ASSERT_EQ(mkdir(dev.c_str(), 0755), 0);
        ASSERT_EQ(mkdir(sys.c_str(), 0755), 0);
        ASSERT_EQ(mkdir(firmware.c_str(), 0755), 0);
        ASSERT_EQ(chdir(root.path().c_str()), 0);
        out = std::make_unique<CapturedStream>(1);
        err = std::make_unique<CapturedStream>(2);
    }
    void TearDown() override {
        if (HasFailure()) {
            std::string o = out->text(), e = err->text();
            out.reset();
            err.reset();
            fprintf(stderr, "--- stdout ---\n%s\n--- stderr ---\n%.20000s\n", o.c_str(), e.c_str());
        }
        out.reset();
        err.reset();
        bank.stop();
        reg_SetBackend(previous);
        clk_SetScale(1);
        if (chdir("/") != 0) {
        }
    }
    void writeFirmware(size_t size) {
        for (const FirmwareFile& f : kFiles) {
            std::vector<uint8_t> payload(size + f.id * 100);
            for (size_t i = 0; i < payload.size(); ++i)
                payload[i] = static_cast<uint8_t>((i * 131 + f.id * 7) >> 1);
            FILE* file = fopen((firmware + "/" + f.name).c_str(), "wb");
            ASSERT_NE(file, nullptr);
            ArchiveLayout layout;
            layout.archiveIdWord = f.id;
            CMemoryPayload source(payload.data(), payload.size());
            std::string why;
            ASSERT_EQ(
                archive_Write(file, layout, static_cast<uint32_t>(payload.size()), source, &why), 1)
                << why;
            fclose(file);
            payloads[f.name] = payload;
        }
        FILE* ini = fopen((firmware + "/update_config.ini").c_str(), "wb");
        fprintf(ini, "[update flag]\r\nupdate_cat=7\r\n");
        fclose(ini);
    }
    void startModems(int count, std::map<int, std::string> faults = {},
                     std::map<int, std::string> serials = {}) {
        modemsim::BankOptions o;
        o.serials = serials;
        o.devRoot = dev;
        o.sysfsRoot = sys;
        o.count = count;
        o.scenarios = faults;
        o.onPublish = [this](int modem, const modemsim::PublishEvent& e) {
            if (!e.publish) return;
            std::lock_guard<std::mutex> g(publishMu);
            holders[e.ttyName].insert(modem);
        };
        std::string why;
        ASSERT_TRUE(bank.start(o, &why)) << why;
    }
    std::vector<StationOutcome> runAll(const std::vector<std::string>& locations = {}) {
        CStation station;
        EXPECT_TRUE(station.SetFirmwareFolder(firmware.c_str()));
        station.SetListener(&recorder);
        return station.RunOnce(locations);
    }
    // Every archive programmed once, equal to its file; only one job's commands.
    void expectUpdated(int modem) {
        modemsim::ModemSim& m = bank.modem(modem);
        for (const FirmwareFile& f : kFiles) EXPECT_EQ(m.flash(f.id), payloads[f.name]) << f.name;
        EXPECT_EQ(m.mode(), 0);
        EXPECT_EQ(m.deviations(), std::vector<std::string>{}) << m.location();
        std::vector<std::string> commands = m.commands();
        auto count = [&](const std::string& c) {
            return std::count(commands.begin(), commands.end(), c);
        };
        EXPECT_EQ(count("AT%LOAD"), 5) << m.location();
        EXPECT_EQ(count("AT%MODE=1"), 1) << m.location();
        EXPECT_EQ(count("AT%MODE=0"), 1) << m.location();
        EXPECT_EQ(count("AT%DEBUG=99"), 1) << m.location();
    }
};

TEST_F(Station, FourModemsWhoseNamesSwapAreEachUpdatedWithTheirOwnJob) {
    writeFirmware(30000);
    // The first modem comes back last and the last first, so names change hands.
    std::map<int, std::string> faults;
    for (int i = 0; i < 4; ++i)
        faults[i] = "return-late ms=" + std::to_string((3 - i) * 1500) + "\n";
    startModems(4, faults);
    std::vector<StationOutcome> done = runAll();
    ASSERT_EQ(done.size(), 4u);
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(done[i].modem.location, modemsim::bank_Location(i));
        EXPECT_EQ(done[i].modem.serialNumber, modemsim::bank_Serial(i));
        EXPECT_EQ(done[i].result.downloadResult, DOWNLOAD_OK) << done[i].result.words;
        EXPECT_TRUE(done[i].result.updated);
    }
    bank.stop();
    for (int i = 0; i < 4; ++i) expectUpdated(i);
    bool swapped = false;
    for (const auto& h : holders) swapped = swapped || h.second.size() > 1;
    EXPECT_TRUE(swapped) << "no tty name passed from one modem to another";
    for (int i = 0; i < 4; ++i) {
        std::string l = modemsim::bank_Location(i);
        EXPECT_EQ(recorder.finished[l], DOWNLOAD_OK);
        EXPECT_EQ(recorder.fileCounts[l], 5);
        for (int phase :
             {STATION_PROBING, STATION_ENTERING_LOADER, STATION_SENDING, STATION_PROGRAMMING,
              STATION_RETURNING, STATION_CHECKING_AUTORUN, STATION_FINISHED})
            EXPECT_EQ(recorder.phases[l].count(phase), 1u) << l << " phase " << phase;
    }
    // Log lines carry their modem's location.
    EXPECT_NE(err->text().find("[1-1.3] "), std::string::npos);
}

TEST_F(Station, SixteenModemsAtOnce) {
    writeFirmware(8000);
    startModems(16);
    std::vector<StationOutcome> done = runAll();
    ASSERT_EQ(done.size(), 16u);
    bank.stop();
    for (int i = 0; i < 16; ++i) {
        EXPECT_EQ(done[i].modem.location, modemsim::bank_Location(i));
        EXPECT_EQ(done[i].result.downloadResult, DOWNLOAD_OK) << done[i].modem.location;
        expectUpdated(i);
    }
}

TEST_F(Station, FaultsInSomeModemsLeaveTheOthersAlone) {
    writeFirmware(30000);
    startModems(5, {{1, "refuse AT%PROG=2 times=all\nrefuse AT%PROG=1 times=all\n"},
                    {2, "vanish archive=2 block=1\n"},
                    {3, "never-return switch=1\n"}});
    std::vector<StationOutcome> done = runAll();
    ASSERT_EQ(done.size(), 5u);
    EXPECT_EQ(done[0].result.downloadResult, DOWNLOAD_OK);
    EXPECT_EQ(done[1].result.downloadResult, DOWNLOAD_PROGRAM_FAILED);
    EXPECT_EQ(done[2].result.downloadResult, DOWNLOAD_TRANSFER_FAILED);
    EXPECT_EQ(done[3].result.downloadResult, DOWNLOAD_MODE_FAILED);
    EXPECT_EQ(done[4].result.downloadResult, DOWNLOAD_OK);
    bank.stop();
    expectUpdated(0);
    expectUpdated(4);
    // The modem that never came back was never opened again under another modem's name.
    for (int i : {0, 1, 2, 4}) {
        std::vector<std::string> c = bank.modem(i).commands();
        EXPECT_EQ(std::count(c.begin(), c.end(), "AT%DEBUG=99"), 1) << bank.modem(i).location();
    }
}

// A recovery whose modem has gone looks for it only where it was plugged in: the first modem
// port found may be another modem, in the middle of its own update.
TEST_F(Station, ARecoveryNeverTakesAnotherModemsPort) {
    startModems(2);
    const int port = 5;
    ctx_SetLocation(port, modemsim::bank_Location(1).c_str());
    char name[32];
    ASSERT_EQ(mode_LocatePortName(port, name, sizeof name), 1);
    ASSERT_NE(com_Open(port, name), nullptr);
    const size_t before = bank.modem(0).commands().size();
    bank.modem(1).stop();  // its port goes away for good
    EXPECT_EQ(mode_RecoverModem(port), MODE_REOPEN_FAILED);
    EXPECT_EQ(bank.modem(0).commands().size(), before) << "the other modem was spoken to";
    com_Close(port);
    ctx_SetLocation(port, nullptr);
}

TEST_F(Station, LocationsPickModemsAndBadOnesGetTheirOwnResult) {
    writeFirmware(8000);
    startModems(3);
    std::vector<StationOutcome> done = runAll({"1-1.3", "9-9", "1-1.3"});
    ASSERT_EQ(done.size(), 2u);
    EXPECT_EQ(done[0].modem.location, "1-1.3");
    EXPECT_EQ(done[0].result.downloadResult, DOWNLOAD_OK);
    EXPECT_EQ(done[1].modem.location, "9-9");
    EXPECT_EQ(done[1].result.jobResult, STATION_NOT_RUN);
    EXPECT_EQ(done[1].result.words, "no modem port at this location");
    bank.stop();
    expectUpdated(2);
    EXPECT_TRUE(bank.modem(0).commands().empty());  // not asked for: left alone
    EXPECT_TRUE(bank.modem(1).commands().empty());
    ASSERT_EQ(recorder.notices.size(), 2u);
    EXPECT_EQ(recorder.notices[0], "no modem port at location 9-9");
    EXPECT_EQ(recorder.notices[1], "location 1-1.3 is given more than once: it is updated once");
}

// Another process updates a modem (it holds its lock): the station leaves that modem out,
// names the process and since when, sends it not a byte, and updates the others. Once that
// process has ended without releasing the lock, the next run takes it over, saying so.
TEST_F(Station, AModemAnotherProcessHoldsIsLeftOutNamingTheHolder) {
    writeFirmware(8000);
    startModems(2);
    int ready[2], done[2];
    ASSERT_EQ(pipe(ready), 0);
    ASSERT_EQ(pipe(done), 0);
    pid_t holder = fork();
    if (holder == 0) {
        ModemLock* lock = nullptr;
        char c = static_cast<char>(
            modemlock_Acquire(modemsim::bank_Location(0).c_str(), "", "", &lock, nullptr));
        if (write(ready[1], &c, 1) != 1 || read(done[0], &c, 1) != 1) _exit(2);
        _exit(0);  // without releasing: the lock it leaves is stale
    }
    char c = 0;
    ASSERT_EQ(read(ready[0], &c, 1), 1);
    ASSERT_EQ(c, MODEM_LOCK_TAKEN);
    std::vector<StationOutcome> outcomes = runAll();
    ASSERT_EQ(outcomes.size(), 2u);
    EXPECT_EQ(outcomes[0].result.leftOut, STATION_LOCKED);
    EXPECT_FALSE(outcomes[0].result.updated);
    EXPECT_EQ(outcomes[0].result.holder.rfind("process " + std::to_string(holder) + " (", 0), 0u)
        << outcomes[0].result.holder;
    EXPECT_NE(outcomes[0].result.holder.find(") since "), std::string::npos);
    EXPECT_NE(outcomes[0].result.words.find("another process is updating it: process " +
                                            std::to_string(holder)),
              std::string::npos)
        << outcomes[0].result.words;
    EXPECT_TRUE(outcomes[1].result.updated);
    EXPECT_TRUE(bank.modem(0).commands().empty()) << "a held modem is left alone";
    EXPECT_NE(err->text().find("is being updated by process " + std::to_string(holder)),
              std::string::npos);

    ASSERT_EQ(write(done[1], &c, 1), 1);
    int status = 0;
    ASSERT_EQ(waitpid(holder, &status, 0), holder);
    outcomes = runAll({modemsim::bank_Location(0)});
    ASSERT_EQ(outcomes.size(), 1u);
    EXPECT_TRUE(outcomes[0].result.updated) << outcomes[0].result.words;
    EXPECT_NE(err->text().find("took over the lock of the modem at " + modemsim::bank_Location(0)),
              std::string::npos);
    // The lock is held through the whole update, and let go after its last check.
    EXPECT_EQ(modemlock_Query(modemsim::bank_Location(0).c_str(), "", "", nullptr), 0);
}

// A port another program holds open is left out as busy, after the probe's passes.
TEST_F(Station, APortAnotherProgramHoldsIsBusyNotSilent) {
    writeFirmware(8000);
    startModems(1);
    int fd = open((dev + "/ttyACM0").c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(flock(fd, LOCK_EX | LOCK_NB), 0);
    std::vector<StationOutcome> outcomes = runAll();
    close(fd);
    ASSERT_EQ(outcomes.size(), 1u);
    EXPECT_EQ(outcomes[0].result.leftOut, STATION_BUSY) << outcomes[0].result.words;
    EXPECT_NE(outcomes[0].result.words.find("held by another program"), std::string::npos)
        << outcomes[0].result.words;
    EXPECT_TRUE(bank.modem(0).commands().empty());
}

// Each job probes its modem first, as the port search does, and waits for one not ready yet.
TEST_F(Station, EachJobProbesItsModemFirstAndWaitsForItToAnswer) {
    writeFirmware(8000);
    startModems(2, {{1, "ignore AT times=3\nignore ATI times=3\n"}});
    std::vector<StationOutcome> outcomes = runAll();
    ASSERT_EQ(outcomes.size(), 2u);
    for (int i = 0; i < 2; ++i) {
        EXPECT_TRUE(outcomes[i].result.updated) << outcomes[i].result.words;
        std::vector<std::string> c = bank.modem(i).commands();
        ASSERT_FALSE(c.empty());
        EXPECT_EQ(c[0], "AT") << "the probe comes before the job";
        auto job = std::find(c.begin(), c.end(), "AT%DEBUG=99");
        ASSERT_NE(job, c.end());
        EXPECT_EQ(std::count(c.begin(), job, "AT"), i == 0 ? 1 : 4) << i;
    }
}

// Every modem port present is updated or named: two modems with one serial number are both
// updated, and a port without a location is named with the reason.
TEST_F(Station, TwoModemsWithOneSerialNumberAreBothUpdated) {
    writeFirmware(8000);
    startModems(4, {}, {{3, modemsim::bank_Serial(2)}});
    std::vector<StationOutcome> outcomes = runAll();
    ASSERT_EQ(outcomes.size(), 4u);
    for (int i = 0; i < 4; ++i)
        EXPECT_TRUE(outcomes[i].result.updated) << i << ": " << outcomes[i].result.words;
}

// A modem that drops off while programming is said to have dropped, not to have refused.
TEST_F(Station, AModemThatDropsWhileProgrammingSaysItDropped) {
    writeFirmware(8000);
    startModems(1, {{0, "vanish AT%PROG=2\n"}});
    std::vector<StationOutcome> outcomes = runAll();
    ASSERT_EQ(outcomes.size(), 1u);
    EXPECT_FALSE(outcomes[0].result.updated);
    EXPECT_EQ(outcomes[0].result.words, "the modem dropped off: its port went away")
        << outcomes[0].result.failure;
    EXPECT_NE(outcomes[0].result.failure.find("the port went away during AT%PROG="),
              std::string::npos)
        << outcomes[0].result.failure;
}

TEST(StationLocations, SortAsAPersonReadsThem) {
    std::vector<std::string> l = {"1-1.10", "1-1.2", "2-1", "1-1.2.1", "1-10", "1-2"};
    std::sort(l.begin(), l.end(), station_LocationLess);
    EXPECT_EQ(l, (std::vector<std::string>{"1-1.2", "1-1.2.1", "1-1.10", "1-2", "1-10", "2-1"}));
}

}  // namespace
