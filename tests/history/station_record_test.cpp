// A station run recorded in the history: one record per modem with its location, serial
// number, result, answers and file hashes, also when port indexes serve other modems later.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "engine/archive_writer.h"
#include "history/history_store.h"
#include "history/station_recorder.h"
#include "modem_bank.h"
#include "modemflash/downloader.h"
#include "platform/clock.h"
#include "platform/registry.h"
#include "station/station.h"
#include "support/test_support.h"
#include "util/sha256.h"

namespace {

const char* const kFiles[] = {"loader.wrapped", "secondary_boot.wrapped", "factory_tests.wrapped",
                              "modem.wrapped", "mass_storage.wrapped"};
const uint32_t kIds[] = {3, 1, 2, 0, 7};

class StationRecord : public ::testing::Test, protected testsupport::PrivateDeviceTree {
  protected:
    const RegistryBackend* previous = nullptr;
    modemsim::ModemBank bank;
    std::map<std::string, std::string> hashes;  // file name -> SHA-256 of the whole file

    void SetUp() override {
        clk_SetScale(50);
        previous = reg_SetBackend(nullptr);
        mkdir(dev.c_str(), 0755);
        mkdir(sys.c_str(), 0755);
        mkdir(firmware.c_str(), 0755);
        ASSERT_EQ(chdir(root.path().c_str()), 0);  // the rejection logs land here
        for (size_t k = 0; k < 5; ++k) {
            std::vector<uint8_t> payload(20000 + k * 100, static_cast<uint8_t>(k * 37));
            std::string path = firmware + "/" + kFiles[k];
            FILE* f = fopen(path.c_str(), "wb");
            ASSERT_NE(f, nullptr);
            ArchiveLayout layout;
            layout.archiveIdWord = kIds[k];
            CMemoryPayload source(payload.data(), payload.size());
            std::string why;
            ASSERT_EQ(archive_Write(f, layout, static_cast<uint32_t>(payload.size()), source, &why),
                      1);
            fclose(f);
            std::string bytes = testsupport::readFile(path);
            hashes[kFiles[k]] = mfutil::sha256Hex(bytes.data(), bytes.size());
        }
        root.write("firmware/update_config.ini", "[update flag]\r\nupdate_cat=7\r\n");
    }
    void TearDown() override {
        bank.stop();
        reg_SetBackend(previous);
        clk_SetScale(1);
        if (chdir("/") != 0) {
        }
    }
};

// Four modems, the third refusing to program: four records, each with its own modem's
// location, serial number, result and answers; run twice, so that every port index serves a
// second modem whose identification must go out again.
TEST_F(StationRecord, FourModemsOneFailingLeaveOneRecordEachRunAfterRun) {
    modemsim::BankOptions o;
    o.devRoot = dev;
    o.sysfsRoot = sys;
    o.count = 4;
    o.republishDelayMs = 100;
    o.scenarios[2] = "refuse AT%PROG times=99\n";
    std::string why;
    ASSERT_TRUE(bank.start(o, &why)) << why;
    std::string notice, error;
    auto store = history_OpenStore(root.file("h.sqlite3"), &notice, &error);
    ASSERT_TRUE(store) << error;
    std::vector<std::string> warnings;
    CStationRecorder recorder(
        store.get(), nullptr, [&](const std::string& w) { warnings.push_back(w); }, "9.9.9", "");
    recorder.SetFirmware(firmware);
    for (int run = 0; run < 2; ++run) {
        CStation station;
        ASSERT_TRUE(station.SetFirmwareFolder(firmware.c_str()));
        station.SetConsoleLog(false);
        station.SetListener(&recorder);
        ASSERT_EQ(station.RunOnce({}).size(), 4u);
    }
    EXPECT_EQ(warnings.size(), 0u) << (warnings.empty() ? "" : warnings[0]);

    HistoryFilter f;
    f.withFiles = true;
    std::vector<HistoryUpdate> all;
    ASSERT_TRUE(store->Query(f, &all, &error)) << error;
    ASSERT_EQ(all.size(), 8u);
    std::map<std::string, int> runs;
    for (const HistoryUpdate& u : all) {
        SCOPED_TRACE(u.location);
        int modem = -1;
        for (int i = 0; i < 4; ++i)
            if (u.location == modemsim::bank_Location(i)) modem = i;
        ASSERT_GE(modem, 0);
        ++runs[u.location];
        EXPECT_EQ(u.serial, modemsim::bank_Serial(modem));
        EXPECT_TRUE(u.finished());
        EXPECT_EQ(u.version, "9.9.9");
        EXPECT_EQ(u.firmwareBefore(), "SIM_1.0.0 [2026-01-01]") << "identified anew";
        EXPECT_FALSE(u.portNames.empty());
        ASSERT_EQ(u.files.size(), 5u);
        for (size_t k = 0; k < 5; ++k) {
            EXPECT_EQ(u.files[k].name, kFiles[k]);
            EXPECT_EQ(u.files[k].sha256, hashes[kFiles[k]]) << kFiles[k];
        }
        if (modem == 2) {
            EXPECT_EQ(u.resultCode, DOWNLOAD_PROGRAM_FAILED) << u.resultWords;
            EXPECT_NE(u.modemLeft.find("the modem is back in modem mode"), std::string::npos)
                << u.modemLeft;
            for (const HistoryFile& file : u.files) EXPECT_FALSE(file.programmed) << file.name;
            // The file it would not program was sent whole all the same.
            EXPECT_GE(u.files[0].transferMs, 0);
            EXPECT_GT(u.files[0].blocksSent, 0);
        } else {
            EXPECT_EQ(u.resultCode, DOWNLOAD_OK) << u.resultWords;
            EXPECT_EQ(u.modemLeft, "");
            for (const HistoryFile& file : u.files) {
                EXPECT_TRUE(file.programmed) << file.name;
                EXPECT_GE(file.transferMs, 0) << file.name;
                EXPECT_GT(file.blocksSent, 0) << file.name;
            }
        }
    }
    for (const auto& r : runs) EXPECT_EQ(r.second, 2) << r.first;
}

}  // namespace
