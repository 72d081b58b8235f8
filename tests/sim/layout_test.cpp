// The sysfs and /dev entries written for a modem port, and the SHA-256 of the report.
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "gtest/gtest.h"
#include "support/test_support.h"
#include "sysfs_layout.h"
#include "util/sha256.h"

namespace {

using testsupport::readFile;

std::string resolved(const std::string& path) {
    char buf[PATH_MAX];
    return realpath(path.c_str(), buf) != nullptr ? std::string(buf) : std::string();
}

bool exists(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

class Layout : public ::testing::Test {
  protected:
    void SetUp() override {
        l.sysfsRoot = dir.file("sys");
        l.devRoot = dir.file("dev");
        l.ttyName = "ttyACM3";
    }
    std::string usb() { return l.sysfsRoot + "/devices/pci0000:00/0000:00:14.0/usb1/1-1"; }
    testsupport::TempDir dir;
    modemsim::UsbPortLayout l;
};

TEST_F(Layout, WritesTheUsbDeviceAndItsModemInterface) {
    std::string err;
    ASSERT_TRUE(modemsim::layout_Publish(l, "/dev/pts/77", &err)) << err;
    EXPECT_NE(readFile(usb() + "/uevent").find("DEVTYPE=usb_device\n"), std::string::npos);
    EXPECT_EQ(readFile(usb() + "/idVendor"), "f00d\n");
    EXPECT_EQ(readFile(usb() + "/idProduct"), "9001\n");
    EXPECT_EQ(readFile(usb() + "/serial"), "SIM0001\n");
    std::string intf = usb() + "/1-1:1.2";
    EXPECT_EQ(modemsim::layout_InterfaceDir(l), intf);
    std::string ue = readFile(intf + "/uevent");
    EXPECT_NE(ue.find("DEVTYPE=usb_interface\n"), std::string::npos);
    EXPECT_NE(ue.find("DRIVER=cdc_acm\n"), std::string::npos);
    EXPECT_EQ(readFile(intf + "/bInterfaceNumber"), "02\n");
    EXPECT_NE(readFile(intf + "/interface").find("Modem"), std::string::npos);
}

TEST_F(Layout, WritesTheTtyWithItsNumbersAndLinks) {
    std::string err;
    ASSERT_TRUE(modemsim::layout_Publish(l, "/dev/pts/77", &err)) << err;
    std::string tty = modemsim::layout_TtyDir(l);
    EXPECT_EQ(readFile(tty + "/dev"), "166:3\n");
    std::string ue = readFile(tty + "/uevent");
    EXPECT_NE(ue.find("MAJOR=166\n"), std::string::npos);
    EXPECT_NE(ue.find("MINOR=3\n"), std::string::npos);
    EXPECT_NE(ue.find("DEVNAME=ttyACM3\n"), std::string::npos);
    EXPECT_EQ(resolved(tty + "/device"), resolved(modemsim::layout_InterfaceDir(l)));
    EXPECT_EQ(resolved(l.sysfsRoot + "/class/tty/ttyACM3"), resolved(tty));
    char target[64] = {0};
    ASSERT_GT(readlink((l.devRoot + "/ttyACM3").c_str(), target, sizeof target - 1), 0);
    EXPECT_STREQ(target, "/dev/pts/77");
}

TEST_F(Layout, UsesRelativeLinksSoTheTreeCanMove) {
    std::string err;
    ASSERT_TRUE(modemsim::layout_Publish(l, "", &err)) << err;
    char target[256] = {0};
    ASSERT_GT(readlink((modemsim::layout_TtyDir(l) + "/device").c_str(), target, 255), 0);
    EXPECT_STREQ(target, "../../../1-1:1.2");
    EXPECT_FALSE(exists(l.devRoot + "/ttyACM3"));
}

TEST_F(Layout, UnpublishRemovesTheTtyButKeepsTheDevice) {
    std::string err;
    ASSERT_TRUE(modemsim::layout_Publish(l, "/dev/pts/77", &err)) << err;
    modemsim::layout_Unpublish(l);
    EXPECT_FALSE(exists(l.devRoot + "/ttyACM3"));
    EXPECT_FALSE(exists(l.sysfsRoot + "/class/tty/ttyACM3"));
    EXPECT_FALSE(exists(modemsim::layout_TtyDir(l)));
    EXPECT_TRUE(exists(usb() + "/idVendor"));
    EXPECT_TRUE(exists(modemsim::layout_InterfaceDir(l) + "/interface"));
}

TEST_F(Layout, PublishesTwoTtysSideBySide) {
    std::string err;
    ASSERT_TRUE(modemsim::layout_Publish(l, "/dev/pts/1", &err)) << err;
    modemsim::UsbPortLayout other = l;
    other.ttyName = "ttyACM4";
    ASSERT_TRUE(modemsim::layout_Publish(other, "/dev/pts/2", &err)) << err;
    modemsim::layout_Unpublish(l);
    EXPECT_TRUE(exists(l.sysfsRoot + "/class/tty/ttyACM4"));
    EXPECT_FALSE(exists(l.sysfsRoot + "/class/tty/ttyACM3"));
}

TEST_F(Layout, RefusesATtyNameThatIsAPath) {
    std::string err;
    l.ttyName = "../evil";
    EXPECT_FALSE(modemsim::layout_Publish(l, "/dev/pts/1", &err));
    EXPECT_FALSE(err.empty());
}

TEST(TtyNumber, ReadsTheTrailingNumber) {
    EXPECT_EQ(modemsim::layout_TtyNumber("ttyACM0"), 0);
    EXPECT_EQ(modemsim::layout_TtyNumber("ttyACM12"), 12);
    EXPECT_EQ(modemsim::layout_TtyNumber("ttyACM"), -1);
}

TEST(Sha256, MatchesTheStandardTestVectors) {
    EXPECT_EQ(mfutil::sha256Hex("", 0),
              "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(mfutil::sha256Hex("abc", 3),
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    const char* two = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
    EXPECT_EQ(mfutil::sha256Hex(two, 56),
              "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
}

TEST(Sha256, GivesTheSameDigestFedInPieces) {
    std::string million(1000000, 'a');
    mfutil::Sha256 h;
    for (size_t off = 0; off < million.size(); off += 4093) {
        size_t n = million.size() - off < 4093 ? million.size() - off : 4093;
        h.update(million.data() + off, n);
    }
    EXPECT_EQ(h.hex(), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

}  // namespace
