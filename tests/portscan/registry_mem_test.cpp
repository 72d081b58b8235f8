// The in-memory registry answers with the Windows error codes through the registry service.
#include "platform/registry_mem.h"

#include <gtest/gtest.h>
#include <string.h>

#include <string>

#include "platform/registry.h"

namespace {

class MemRegistryTest : public ::testing::Test {
  protected:
    void SetUp() override {
        tree.setString("HARDWARE\\DEVICEMAP\\SERIALCOMM", "\\Device\\ttyACM0", "COM65");
        tree.addKey("SYSTEM\\CurrentControlSet\\Enum\\USB");
        tree.addKey("SYSTEM\\CurrentControlSet\\Enum\\ACPI");
        previous = reg_SetBackend(tree.backend());
    }
    void TearDown() override {
        reg_SetBackend(previous);
        EXPECT_EQ(tree.openHandleCount(), 0);
    }
    MemRegistry tree;
    const RegistryBackend* previous = nullptr;
};

TEST_F(MemRegistryTest, SmallDataBufferGivesMoreDataAndTheSizeNeeded) {
    RegKey k;
    ASSERT_EQ(reg_Open(REG_HKLM, "HARDWARE\\DEVICEMAP\\SERIALCOMM", REG_KEY_READ, &k), 0);
    char name[64];
    uint8_t data[5];
    uint32_t nameLength = sizeof name;
    uint32_t dataLength = sizeof data;
    EXPECT_EQ(reg_EnumValue(k, 0, name, &nameLength, nullptr, data, &dataLength),
              REG_ERROR_MORE_DATA);
    EXPECT_EQ(dataLength, 6u);
    dataLength = 5;
    EXPECT_EQ(reg_Query(k, "\\Device\\ttyACM0", nullptr, data, &dataLength), REG_ERROR_MORE_DATA);
    EXPECT_EQ(dataLength, 6u);
    reg_Close(k);
}

TEST_F(MemRegistryTest, NameBufferMustHoldTheTerminator) {
    RegKey k;
    ASSERT_EQ(reg_Open(REG_HKLM, "SYSTEM\\CurrentControlSet\\Enum", REG_KEY_READ, &k), 0);
    char name[8];
    uint32_t length = 3;  // "USB" needs 4
    EXPECT_EQ(reg_EnumKey(k, 0, name, &length), REG_ERROR_MORE_DATA);
    length = 4;
    EXPECT_EQ(reg_EnumKey(k, 0, name, &length), 0);
    EXPECT_STREQ(name, "USB");
    EXPECT_EQ(length, 3u);
    length = sizeof name;
    EXPECT_EQ(reg_EnumKey(k, 1, name, &length), 0);
    EXPECT_STREQ(name, "ACPI");
    length = sizeof name;
    EXPECT_EQ(reg_EnumKey(k, 2, name, &length), REG_ERROR_NO_MORE_ITEMS);
    reg_Close(k);
}

TEST_F(MemRegistryTest, DeniedKeyRefusesToOpenButIsStillListed) {
    tree.denyAccess("SYSTEM\\CurrentControlSet\\Enum\\ACPI");
    RegKey k;
    EXPECT_EQ(reg_Open(REG_HKLM, "SYSTEM\\CurrentControlSet\\Enum\\ACPI", REG_KEY_READ, &k),
              REG_ERROR_ACCESS_DENIED);
    ASSERT_EQ(reg_Open(REG_HKLM, "SYSTEM\\CurrentControlSet\\Enum", REG_KEY_READ, &k), 0);
    char name[8];
    uint32_t length = sizeof name;
    EXPECT_EQ(reg_EnumKey(k, 1, name, &length), 0);
    EXPECT_STREQ(name, "ACPI");
    reg_Close(k);
}

TEST_F(MemRegistryTest, AccessRightsAreChecked) {
    RegKey k;
    ASSERT_EQ(reg_Open(REG_HKLM, "HARDWARE\\DEVICEMAP\\SERIALCOMM", REG_KEY_ENUMERATE_SUB_KEYS, &k),
              0);
    uint32_t length = 0;
    EXPECT_EQ(reg_Query(k, "\\Device\\ttyACM0", nullptr, nullptr, &length),
              REG_ERROR_ACCESS_DENIED);
    reg_Close(k);
    ASSERT_EQ(reg_Open(REG_HKLM, "SYSTEM", REG_KEY_QUERY_VALUE, &k), 0);
    char name[32];
    length = sizeof name;
    EXPECT_EQ(reg_EnumKey(k, 0, name, &length), REG_ERROR_ACCESS_DENIED);
    reg_Close(k);
}

TEST_F(MemRegistryTest, VanishingKeyIsListedThenNotFoundThenGone) {
    tree.vanishOnOpen("SYSTEM\\CurrentControlSet\\Enum\\USB");
    RegKey enumRoot, k;
    ASSERT_EQ(reg_Open(REG_HKLM, "SYSTEM\\CurrentControlSet\\Enum", REG_KEY_READ, &enumRoot), 0);
    char name[8];
    uint32_t length = sizeof name;
    ASSERT_EQ(reg_EnumKey(enumRoot, 0, name, &length), 0);
    EXPECT_STREQ(name, "USB");
    EXPECT_EQ(reg_Open(enumRoot, name, REG_KEY_READ, &k), REG_ERROR_FILE_NOT_FOUND);
    length = sizeof name;
    ASSERT_EQ(reg_EnumKey(enumRoot, 0, name, &length), 0);
    EXPECT_STREQ(name, "ACPI");
    reg_Close(enumRoot);
}

TEST_F(MemRegistryTest, HandleToRemovedKeySeesKeyDeleted) {
    RegKey k;
    ASSERT_EQ(reg_Open(REG_HKLM, "HARDWARE\\DEVICEMAP\\SERIALCOMM", REG_KEY_READ, &k), 0);
    tree.remove("HARDWARE\\DEVICEMAP");
    uint32_t length = 0;
    EXPECT_EQ(reg_Query(k, "\\Device\\ttyACM0", nullptr, nullptr, &length), REG_ERROR_KEY_DELETED);
    EXPECT_EQ(reg_Close(k), 0);
    EXPECT_EQ(reg_Close(k), REG_ERROR_INVALID_HANDLE);  // closing twice is caught
}

TEST(RegistryDispatch, SetBackendReturnsTheOneInForce) {
    MemRegistry a;
    const RegistryBackend* native = reg_SetBackend(a.backend());
    EXPECT_EQ(native, reg_NativeBackend());
    EXPECT_EQ(reg_SetBackend(nullptr), a.backend());
    EXPECT_EQ(reg_SetBackend(nullptr), reg_NativeBackend());
}

}  // namespace
