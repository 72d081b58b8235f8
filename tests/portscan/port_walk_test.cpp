// The registry walk on in-memory device trees: classes, port names, friendly names, levels
// that end early, keys that vanish, values of every length.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>

#include "device_tree.h"
#include "platform/error.h"
#include "portscan/port_enum.h"

using portscantest::Device;
using portscantest::DeviceTree;
using portscantest::Recorder;

namespace {

const char kNtRoot[] = "SYSTEM\\CURRENTCONTROLSET\\ENUM";

class PortWalk : public ::testing::Test {
  protected:
    void TearDown() override { EXPECT_EQ(tree.registry().openHandleCount(), 0); }
    int walk() { return ports_EnumerateDeviceTree(kNtRoot, Recorder::callback, &rec); }
    DeviceTree tree;
    Recorder rec;
};

Device port(const std::string& path, const std::string& com, const std::string& friendly) {
    Device d;
    d.path = path;
    d.portName = com;
    d.friendlyName = friendly;
    return d;
}

TEST_F(PortWalk, ReportsAPortsClassInstanceWithItsEnumerator) {
    tree.add(port("USB\\VID_1&PID_2\\a", "COM5", "Modem A (COM5)"));
    EXPECT_EQ(walk(), 1);
    ASSERT_EQ(rec.seen.size(), 1u);
    EXPECT_EQ(rec.seen[0], "COM5|Modem A (COM5)|USB");
}

TEST_F(PortWalk, TakesTheModemClassInAnyCase) {
    Device d = port("MDM\\x\\1", "COM3", "Line");
    d.deviceClass = "modem";
    d.classGuid = "";
    tree.add(d);
    EXPECT_EQ(walk(), 1);
    EXPECT_EQ(rec.seen.size(), 1u);
}

TEST_F(PortWalk, TakesAnotherClassOnlyThroughThePortsGuid) {
    Device net = port("USB\\net\\1", "COM3", "Net");
    net.deviceClass = "Net";
    net.classGuid = "{4D36E972-E325-11CE-BFC1-08002BE10318}";
    tree.add(net);
    Device ports = port("USB\\ports\\1", "COM4", "Ports");
    ports.deviceClass = "Ports";
    ports.classGuid = "{4d36e978-e325-11ce-bfc1-08002be10318}";  // the GUID in lower case
    tree.add(ports);
    EXPECT_EQ(walk(), 1);
    ASSERT_EQ(rec.seen.size(), 1u);
    EXPECT_EQ(rec.seen[0], "COM4|Ports|USB");
}

TEST_F(PortWalk, AClassTooLongForItsBufferIsNotTheModemClass) {
    Device d = port("USB\\x\\1", "COM3", "X");
    d.deviceClass = "Modems";  // 7 bytes with the terminator: does not fit 6
    d.classGuid = "";
    tree.add(d);
    EXPECT_EQ(walk(), 1);
    EXPECT_TRUE(rec.seen.empty());
}

TEST_F(PortWalk, AGuidWithTrailingTextIsNotThePortsGuid) {
    Device d = port("USB\\x\\1", "COM3", "X");
    d.classGuid = std::string(PORTS_CLASS_GUID) + "x";
    tree.add(d);
    EXPECT_EQ(walk(), 1);
    EXPECT_TRUE(rec.seen.empty());
}

TEST_F(PortWalk, FindsThePortNameUnderDeviceParameters) {
    Device d = port("USB\\VID_1&PID_2\\a", "COM7", "Modem");
    d.portNameUnderParameters = true;
    tree.add(d);
    EXPECT_EQ(walk(), 1);
    ASSERT_EQ(rec.seen.size(), 1u);
    EXPECT_EQ(rec.seen[0], "COM7|Modem|USB");
}

TEST_F(PortWalk, SkipsInstancesWithoutAComPortName) {
    tree.add(port("USB\\a\\1", "", "no port name"));
    tree.add(port("USB\\a\\2", "LPT1", "printer"));
    tree.add(port("USB\\a\\3", "com9", "lower-case prefix"));
    EXPECT_EQ(walk(), 1);
    ASSERT_EQ(rec.seen.size(), 1u);
    EXPECT_EQ(rec.seen[0], "com9|lower-case prefix|USB");
}

TEST_F(PortWalk, ADeviceWithoutFriendlyNameIsReportedByItsPortName) {
    tree.add(port("USB\\a\\1", "COM8", ""));
    EXPECT_EQ(walk(), 1);
    ASSERT_EQ(rec.seen.size(), 1u);
    EXPECT_EQ(rec.seen[0], "COM8|COM8|USB");
}

TEST_F(PortWalk, CallbackReturningZeroEndsTheWalkNormally) {
    tree.add(port("USB\\a\\1", "COM1", "one"));
    tree.add(port("USB\\a\\2", "COM2", "two"));
    tree.add(port("ACPI\\b\\1", "COM3", "three"));
    rec.stopAfter = 1;
    EXPECT_EQ(walk(), 1);
    EXPECT_EQ(rec.seen.size(), 1u);
}

TEST_F(PortWalk, DeniedRootEndsWithAccessDenied) {
    tree.registry().denyAccess(DeviceTree::enumPath("").c_str());
    EXPECT_EQ(walk(), 0);
    EXPECT_EQ(err_Last(), REG_ERROR_ACCESS_DENIED);
}

TEST_F(PortWalk, DeniedEnumeratorEndsTheWholeWalkNormally) {
    tree.add(port("USB\\a\\1", "COM1", "1"));
    tree.add(port("LOCKED\\a\\1", "COM2", "2"));
    tree.add(port("ACPI\\a\\1", "COM3", "3"));
    tree.registry().denyAccess(DeviceTree::enumPath("LOCKED").c_str());
    EXPECT_EQ(walk(), 1);
    ASSERT_EQ(rec.seen.size(), 1u);
    EXPECT_EQ(rec.seen[0], "COM1|1|USB");
}

TEST_F(PortWalk, DeniedDeviceGoesOnWithTheNextEnumerator) {
    tree.add(port("USB\\locked\\1", "COM1", "1"));
    tree.add(port("USB\\open\\1", "COM2", "2"));
    tree.add(port("ACPI\\a\\1", "COM3", "3"));
    tree.registry().denyAccess(DeviceTree::enumPath("USB\\locked").c_str());
    EXPECT_EQ(walk(), 1);
    ASSERT_EQ(rec.seen.size(), 1u);
    EXPECT_EQ(rec.seen[0], "COM3|3|ACPI");
}

TEST_F(PortWalk, DeniedInstanceGoesOnWithTheNextDevice) {
    tree.add(port("USB\\a\\locked", "COM1", "1"));
    tree.add(port("USB\\a\\open", "COM2", "2"));
    tree.add(port("USB\\b\\1", "COM3", "3"));
    tree.registry().denyAccess(DeviceTree::enumPath("USB\\a\\locked").c_str());
    EXPECT_EQ(walk(), 1);
    ASSERT_EQ(rec.seen.size(), 1u);
    EXPECT_EQ(rec.seen[0], "COM3|3|USB");
}

TEST_F(PortWalk, DeniedDeviceParametersSkipsOnlyThatInstance) {
    Device d = port("USB\\a\\1", "COM1", "1");
    d.portNameUnderParameters = true;
    tree.add(d);
    tree.add(port("USB\\a\\2", "COM2", "2"));
    tree.registry().denyAccess(DeviceTree::enumPath("USB\\a\\1\\Device Parameters").c_str());
    EXPECT_EQ(walk(), 1);
    ASSERT_EQ(rec.seen.size(), 1u);
    EXPECT_EQ(rec.seen[0], "COM2|2|USB");
}

TEST_F(PortWalk, InstanceVanishingBeforeItsOpenEndsTheWalkWithItsError) {
    tree.add(port("USB\\a\\1", "COM1", "1"));
    tree.add(port("USB\\a\\2", "COM2", "2"));
    tree.add(port("USB\\a\\3", "COM3", "3"));
    tree.registry().vanishOnOpen(DeviceTree::enumPath("USB\\a\\2").c_str());
    EXPECT_EQ(walk(), 0);
    EXPECT_EQ(err_Last(), REG_ERROR_FILE_NOT_FOUND);
    ASSERT_EQ(rec.seen.size(), 1u);  // what came before still reached the callback
    EXPECT_EQ(rec.seen[0], "COM1|1|USB");
}

TEST_F(PortWalk, EnumeratorOrDeviceVanishingEndsTheWalkWithItsError) {
    tree.add(port("USB\\a\\1", "COM1", "1"));
    tree.add(port("USB\\gone\\1", "COM2", "2"));
    tree.registry().vanishOnOpen(DeviceTree::enumPath("USB\\gone").c_str());
    EXPECT_EQ(walk(), 0);
    EXPECT_EQ(err_Last(), REG_ERROR_FILE_NOT_FOUND);

    DeviceTree other;
    other.add(port("GONE\\a\\1", "COM2", "2"));
    other.registry().vanishOnOpen(DeviceTree::enumPath("GONE").c_str());
    Recorder r2;
    EXPECT_EQ(ports_EnumerateDeviceTree(kNtRoot, Recorder::callback, &r2), 0);
    EXPECT_EQ(err_Last(), REG_ERROR_FILE_NOT_FOUND);
    EXPECT_TRUE(r2.seen.empty());
    EXPECT_EQ(other.registry().openHandleCount(), 0);
}

TEST_F(PortWalk, NamesLongerThanEveryBufferArriveWhole) {
    std::string enumerator(300, 'E');
    std::string device(1000, 'D');
    std::string instance(5000, 'I');
    std::string com = "COM" + std::string(400, '1');
    std::string friendly(20000, 'F');
    tree.add(port(enumerator + "\\" + device + "\\" + instance, com, friendly));
    EXPECT_EQ(walk(), 1);
    ASSERT_EQ(rec.seen.size(), 1u);
    EXPECT_EQ(rec.seen[0], com + "|" + friendly + "|" + enumerator);
}

TEST_F(PortWalk, ValuesWithoutTerminatorOrOfOtherTypesAreReadSafely) {
    std::string key = DeviceTree::enumPath("USB\\a\\1");
    MemRegistry& r = tree.registry();
    r.setValue(key.c_str(), "CLASS", REG_TYPE_BINARY, "Modem", 5);
    r.setValue(key.c_str(), "PORTNAME", REG_TYPE_BINARY, "COM42", 5);
    std::string friendly(128, 'M');  // exactly the first buffer, no terminator
    r.setValue(key.c_str(), "FRIENDLYNAME", REG_TYPE_BINARY, friendly.data(), friendly.size());
    // Class texts that fill their 6- and 39-byte buffers exactly, with no terminator.
    std::string other = DeviceTree::enumPath("USB\\a\\2");
    r.setValue(other.c_str(), "CLASS", REG_TYPE_BINARY, "ModemX", 6);
    std::string guid = std::string(PORTS_CLASS_GUID) + "X";
    r.setValue(other.c_str(), "CLASSGUID", REG_TYPE_BINARY, guid.data(), 39);
    r.setString(other.c_str(), "PORTNAME", "COM43");
    EXPECT_EQ(walk(), 1);
    ASSERT_EQ(rec.seen.size(), 1u);
    EXPECT_EQ(rec.seen[0], "COM42|" + friendly + "|USB");
}

TEST(RegQueryValueAlloc, ReplacesTheCallersBufferAndTerminatesTheData) {
    DeviceTree tree;
    tree.registry().setValue("K", "v", REG_TYPE_DWORD, "\x01\x02\x03\x04", 4);
    RegKey k;
    ASSERT_EQ(reg_Open(REG_HKLM, "K", REG_KEY_READ, &k), 0);
    char* buffer = static_cast<char*>(malloc(10));  // released by the call (leak check)
    EXPECT_EQ(reg_QueryValueAlloc(k, "v", &buffer), 0);
    ASSERT_NE(buffer, nullptr);
    EXPECT_EQ(std::string(buffer), "\x01\x02\x03\x04");
    EXPECT_EQ(reg_QueryValueAlloc(k, "absent", &buffer), REG_ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(buffer, nullptr);
    reg_Close(k);
}

TEST(RegQueryValueAlloc, GrowsToTheSizeTheRegistryReports) {
    DeviceTree tree;
    for (size_t n : {127u, 128u, 129u, 100000u}) {
        std::string text(n, 'x');
        tree.registry().setString("K", "v", text.c_str());
        RegKey k;
        ASSERT_EQ(reg_Open(REG_HKLM, "K", REG_KEY_READ, &k), 0);
        char* buffer = nullptr;
        EXPECT_EQ(reg_QueryValueAlloc(k, "v", &buffer), 0);
        EXPECT_EQ(std::string(buffer), text) << n;
        free(buffer);
        reg_Close(k);
    }
}

TEST(RegOpenSubKeyAt, NamesAndOpensTheSubkeyAtAnIndex) {
    DeviceTree tree;
    std::string longName(127, 'a');  // 128 with its terminator: fits the first buffer
    std::string longer(128, 'b');    // needs the second
    tree.registry().addKey(("P\\" + longName).c_str());
    tree.registry().addKey(("P\\" + longer).c_str());
    RegKey parent, child;
    ASSERT_EQ(reg_Open(REG_HKLM, "P", REG_KEY_READ, &parent), 0);
    char* name = static_cast<char*>(malloc(3));
    ASSERT_EQ(reg_OpenSubKeyAt(parent, 0, REG_KEY_READ, &child, &name), 0);
    EXPECT_EQ(std::string(name), longName);
    reg_Close(child);
    ASSERT_EQ(reg_OpenSubKeyAt(parent, 1, REG_KEY_READ, &child, &name), 0);
    EXPECT_EQ(std::string(name), longer);
    reg_Close(child);
    EXPECT_EQ(reg_OpenSubKeyAt(parent, 2, REG_KEY_READ, &child, nullptr), REG_ERROR_NO_MORE_ITEMS);
    free(name);
    reg_Close(parent);
    EXPECT_EQ(tree.registry().openHandleCount(), 0);
}

}  // namespace

namespace {

// A registry that never has a buffer large enough: every read asks for more than offered.
struct GreedyRegistry {
    static long open(void*, RegKey, const char*, uint32_t, RegKey* out) {
        *out = reinterpret_cast<RegKey>(1);
        return 0;
    }
    static long enumKey(void*, RegKey, uint32_t, char*, uint32_t*) { return REG_ERROR_MORE_DATA; }
    static long enumValue(void*, RegKey, uint32_t, char*, uint32_t*, uint32_t*, uint8_t*,
                          uint32_t* dataLength) {
        *dataLength += 1;
        return REG_ERROR_MORE_DATA;
    }
    static long query(void* self, RegKey, const char*, uint32_t*, uint8_t*, uint32_t* length) {
        *length = *static_cast<uint32_t*>(self) ? *static_cast<uint32_t*>(self) : *length + 1;
        return REG_ERROR_MORE_DATA;
    }
    static long close(void*, RegKey) { return 0; }
    static void version(void*, uint32_t* id, uint32_t* major) {
        *id = REG_PLATFORM_WIN32_NT;
        *major = 4;
    }
};

class EndlessGrowth : public ::testing::Test {
  protected:
    void SetUp() override { previous = reg_SetBackend(&backend); }
    void TearDown() override { reg_SetBackend(previous); }
    uint32_t askFor = 0;  // the size every query asks for; 0: one more than offered
    RegistryBackend backend = {&GreedyRegistry::open,
                               &GreedyRegistry::enumKey,
                               &GreedyRegistry::enumValue,
                               &GreedyRegistry::query,
                               &GreedyRegistry::close,
                               &GreedyRegistry::version,
                               &askFor};
    const RegistryBackend* previous = nullptr;
};

TEST_F(EndlessGrowth, AValueThatKeepsGrowingEndsTheRead) {
    char* buffer = nullptr;
    EXPECT_EQ(reg_QueryValueAlloc(REG_HKLM, "v", &buffer), REG_ERROR_MORE_DATA);
    EXPECT_EQ(buffer, nullptr);
    askFor = 0xFFFFFFFFu;  // more than anyone should allocate
    EXPECT_EQ(reg_QueryValueAlloc(REG_HKLM, "v", &buffer), REG_ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(buffer, nullptr);
}

TEST_F(EndlessGrowth, ASubkeyNameThatNeverFitsEndsTheWalk) {
    RegKey child;
    char* name = nullptr;
    EXPECT_EQ(reg_OpenSubKeyAt(REG_HKLM, 0, REG_KEY_READ, &child, &name), REG_ERROR_MORE_DATA);
    free(name);
    Recorder rec;
    EXPECT_EQ(ports_EnumerateDeviceTree(kNtRoot, Recorder::callback, &rec), 0);
    EXPECT_EQ(err_Last(), REG_ERROR_MORE_DATA);
}

TEST_F(EndlessGrowth, ASerialCommValueThatNeverFitsEndsTheWalk) {
    Recorder rec;
    EXPECT_EQ(ports_Enumerate(Recorder::callback, &rec), 0);  // NT 4: the SERIALCOMM list
    EXPECT_EQ(err_Last(), REG_ERROR_MORE_DATA);
    EXPECT_TRUE(rec.seen.empty());
}

}  // namespace
