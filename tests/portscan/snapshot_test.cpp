// Discovery asks once: every question about the ports (the modem search, the list of modems,
// the modem at a location, whether a port is a simulated modem's) reads one picture of the
// machine, counted by the sysfs backend, and the port list and the device tree it pairs are of
// the same moment even when the tree changes between the two reads.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "device_tree.h"
#include "platform/registry.h"
#include "portscan/modem_port_finder.h"
#include "sysfs_tree.h"

using portscantest::SysfsTree;
using portscantest::UsbDevice;

namespace {

// The native backend, with a change made to the machine right after the first picture of it
// has been taken (the modem is unplugged and comes back under another number), as when the
// kernel renumbers a modem while a question is being answered.
struct ChangeAfterFirstLook {
    static std::function<void()> change;
    static int looks;

    static const RegistryBackend* native() { return reg_NativeBackend(); }
    static long open(void*, RegKey parent, const char* subKey, uint32_t access, RegKey* out) {
        long r = native()->open(native()->self, parent, subKey, access, out);
        if (parent == REG_HKLM && ++looks == 1 && change) change();
        return r;
    }
    static long enumKey(void*, RegKey key, uint32_t index, char* name, uint32_t* nameLength) {
        return native()->enumKey(native()->self, key, index, name, nameLength);
    }
    static long enumValue(void*, RegKey key, uint32_t index, char* name, uint32_t* nameLength,
                          uint32_t* type, uint8_t* data, uint32_t* dataLength) {
        return native()->enumValue(native()->self, key, index, name, nameLength, type, data,
                                   dataLength);
    }
    static long query(void*, RegKey key, const char* name, uint32_t* type, uint8_t* data,
                      uint32_t* dataLength) {
        return native()->query(native()->self, key, name, type, data, dataLength);
    }
    static long close(void*, RegKey key) { return native()->close(native()->self, key); }
    static void version(void*, uint32_t* platformId, uint32_t* major) {
        native()->getVersion(native()->self, platformId, major);
    }
};
std::function<void()> ChangeAfterFirstLook::change;
int ChangeAfterFirstLook::looks = 0;

const RegistryBackend kChanging = {&ChangeAfterFirstLook::open,
                                   &ChangeAfterFirstLook::enumKey,
                                   &ChangeAfterFirstLook::enumValue,
                                   &ChangeAfterFirstLook::query,
                                   &ChangeAfterFirstLook::close,
                                   &ChangeAfterFirstLook::version,
                                   nullptr};

// A modem (COM65, ttyACM0, at USB location 1-1) in a private sysfs tree, read through the
// native backend.
class Discovery : public ::testing::Test {
  protected:
    SysfsTree tree;
    std::string usb;
    const RegistryBackend* previous = nullptr;

    void SetUp() override {
        previous = reg_SetBackend(nullptr);
        usb = tree.addUsbDevice(UsbDevice());
        tree.addCdcAcm(usb, 2, "ttyACM0");
        tree.addNode("ttyACM0");
        g_lastFoundComNumber = 0;
    }
    void TearDown() override {
        reg_SetBackend(previous);
        ChangeAfterFirstLook::change = nullptr;
        g_lastFoundComNumber = 0;
    }
    // Pictures taken while f runs.
    unsigned long snapshotsOf(const std::function<void()>& f) {
        unsigned long before = reg_NativeSnapshots();
        f();
        return reg_NativeSnapshots() - before;
    }
    // From the next question on, the modem moves to ttyACM1 (COM66) once the question has
    // taken its first picture.
    void renumberDuringTheNextQuestion() {
        ChangeAfterFirstLook::looks = 0;
        ChangeAfterFirstLook::change = [this] {
            tree.unplug("ttyACM0");
            tree.addCdcAcm(usb, 2, "ttyACM1");
            tree.addNode("ttyACM1");
        };
        reg_SetBackend(&kChanging);
    }
};

std::vector<std::string> names(const std::vector<ModemPortInfo>& modems) {
    std::vector<std::string> seen;
    for (const ModemPortInfo& p : modems)
        seen.push_back(p.portName + "@" + p.location + "#" + p.serialNumber);
    return seen;
}

TEST_F(Discovery, EachQuestionTakesOnePicture) {
    CModemPortFinder finder;
    EXPECT_EQ(snapshotsOf([&] { EXPECT_EQ(finder.FindComNumber(), 65); }), 1u);
    EXPECT_EQ(snapshotsOf([&] {
                  ModemSearch s = finder.Search();
                  EXPECT_EQ(s.comNumber, 65);
                  EXPECT_EQ(s.location, "1-1");
                  EXPECT_EQ(s.serialNumber, "0123456789");
              }),
              1u);
    EXPECT_EQ(snapshotsOf([&] { EXPECT_EQ(ports_ListModems().size(), 1u); }), 1u);
    EXPECT_EQ(snapshotsOf([&] { EXPECT_EQ(finder.FindComNumberAt("1-1"), 65); }), 1u);
    EXPECT_EQ(snapshotsOf([&] { EXPECT_TRUE(ports_IsSimulatedModemPort("COM65")); }), 1u);
    EXPECT_EQ(snapshotsOf([&] { EXPECT_EQ(ports_ListSerialComm(), "COM65:"); }), 1u);

    // A snapshot handed to the walks is the only picture they read.
    EXPECT_EQ(snapshotsOf([&] {
                  RegistrySnapshot snapshot;
                  EXPECT_EQ(ports_ListSerialComm(snapshot), "COM65:");
                  EXPECT_EQ(ports_ListModems(snapshot).size(), 1u);
                  portscantest::Recorder rec;
                  EXPECT_EQ(ports_Enumerate(snapshot, portscantest::Recorder::callback, &rec), 1);
                  EXPECT_EQ(rec.seen.size(), 1u);
              }),
              1u);
}

TEST_F(Discovery, TheListOfModemsPairsThePortListAndTheTreeOfOneMoment) {
    renumberDuringTheNextQuestion();
    // The picture taken before the change shows the modem at COM65, whole: the change is seen
    // by the next question, not halfway through this one.
    EXPECT_EQ(names(ports_ListModems()), std::vector<std::string>{"COM65@1-1#0123456789"});
    EXPECT_EQ(names(ports_ListModems()), std::vector<std::string>{"COM66@1-1#0123456789"});
}

TEST_F(Discovery, ASearchPassFindsThePortAndItsPlaceInOnePicture) {
    renumberDuringTheNextQuestion();
    ModemSearch s = CModemPortFinder().Search();
    EXPECT_EQ(s.comNumber, 65);
    EXPECT_EQ(s.location, "1-1");
    EXPECT_EQ(s.serialNumber, "0123456789");

    // The next pass sees the modem where it is now.
    s = CModemPortFinder().Search();
    EXPECT_EQ(s.comNumber, 66);
    EXPECT_EQ(s.location, "1-1");

    // Gone: the number found earlier stays (as the search always has it), with no place.
    tree.unplug("ttyACM1");
    s = CModemPortFinder().Search();
    EXPECT_EQ(s.comNumber, 66);
    EXPECT_EQ(s.location, "");
    EXPECT_EQ(s.serialNumber, "");
}

TEST_F(Discovery, ASearchHandedOnIsTakenOnceAndCanBeDropped) {
    ModemSearch out;
    EXPECT_FALSE(ports_TakeHandedOnSearch(&out));
    ModemSearch found = CModemPortFinder().Search();
    ports_HandOnSearch(&found);
    EXPECT_EQ(snapshotsOf([&] { EXPECT_TRUE(ports_TakeHandedOnSearch(&out)); }), 0u);
    EXPECT_EQ(out.comNumber, 65);
    EXPECT_EQ(out.location, "1-1");
    EXPECT_FALSE(ports_TakeHandedOnSearch(&out));

    ports_HandOnSearch(&found);
    ports_HandOnSearch(nullptr);
    EXPECT_FALSE(ports_TakeHandedOnSearch(&out));
}

}  // namespace
