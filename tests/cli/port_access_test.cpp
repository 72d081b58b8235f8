// A modem port this user may not open: `modemflash flash` and `modemflash ports` say so, name
// the port's group and the fix. The port is a private device tree whose device node belongs
// to root and a group; the commands run as an unprivileged user (root drops to nobody with
// setpriv: root itself may open anything).
#include "cli/ports/port_access.h"

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "child_process.h"
#include "support/test_support.h"
#include "sysfs_layout.h"

#ifdef MODEMFLASH_CLI_PATH

namespace {

TEST(PortAccessMessage, NamesTheDeviceTheGroupAndTheFix) {
    for (const char* group : {"dialout", "uucp"}) {
        std::string m = access_DeniedMessage("/dev/ttyACM0", group);
        EXPECT_EQ(m.rfind("modemflash: /dev/ttyACM0: permission denied", 0), 0u) << m;
        EXPECT_NE(m.find(std::string("belongs to the group ") + group), std::string::npos) << m;
        EXPECT_NE(m.find(std::string("sudo usermod -aG ") + group + " $USER"), std::string::npos)
            << m;
        EXPECT_NE(m.find("log out and in again"), std::string::npos) << m;
    }
    // A port of root's own group: joining that group is no advice to give.
    std::string m = access_DeniedMessage("/dev/ttyACM0", "root");
    EXPECT_EQ(m.rfind("modemflash: /dev/ttyACM0: permission denied", 0), 0u) << m;
    EXPECT_NE(m.find("belongs to the group root, which is not for users to join"),
              std::string::npos)
        << m;
    EXPECT_EQ(m.find("usermod"), std::string::npos) << m;
    EXPECT_NE(m.find("udev rule"), std::string::npos) << m;
}

class DeniedPort : public ::testing::Test {
  protected:
    testsupport::TempDir root;
    std::string node = root.path() + "/nodes/ttyACM0";  // the device node the name points at
    std::string group;
    std::vector<std::string> asUser;  // the command prefix that runs as an unprivileged user

    void SetUp() override {
        chmod(root.path().c_str(), 0755);  // an unprivileged user must reach the tree
        mkdir((root.path() + "/nodes").c_str(), 0755);
        mkdir((root.path() + "/dev").c_str(), 0755);
        mkdir((root.path() + "/sys").c_str(), 0755);
        int fd = open(node.c_str(), O_CREAT | O_WRONLY, 0660);
        ASSERT_GE(fd, 0);
        close(fd);
        modemsim::UsbPortLayout l;
        l.sysfsRoot = root.path() + "/sys";
        l.devRoot = root.path() + "/dev";
        std::string why;
        ASSERT_TRUE(modemsim::layout_Publish(l, node, &why)) << why;

        // Owned by root and the serial ports' usual group (any group this machine has).
        struct group* g = getgrnam("dialout");
        gid_t gid = g ? g->gr_gid : getegid();
        g = getgrgid(gid);
        group = g ? g->gr_name : std::to_string(gid);
        if (geteuid() == 0) {
            ASSERT_EQ(chown(node.c_str(), 0, gid), 0);
            chmod(node.c_str(), 0660);
            if (access("/usr/bin/setpriv", X_OK) != 0) GTEST_SKIP() << "needs setpriv to drop root";
            asUser = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
        } else {
            chmod(node.c_str(), 0);
        }
    }
    std::vector<std::string> env() const {
        return {"MODEMFLASH_DEV_ROOT=" + root.path() + "/dev",
                "MODEMFLASH_SYSFS_ROOT=" + root.path() + "/sys",
                "DBUS_SYSTEM_BUS_ADDRESS=unix:path=" + root.path() + "/no-bus"};
    }
    int run(std::vector<std::string> args, std::string* out) const {
        std::vector<std::string> argv = asUser;
        argv.push_back(MODEMFLASH_CLI_PATH);
        argv.insert(argv.end(), args.begin(), args.end());
        return clitest::runToEnd(argv, env(), out);
    }
};

TEST_F(DeniedPort, FlashStopsBeforeTheSearchAndSaysWhichGroupToJoin) {
    std::string out;
    ASSERT_EQ(clitest::runToEnd({MODEMFLASH_CLI_PATH, "sample", root.path() + "/fw", "--small"}, {},
                                &out),
              0)
        << out;
    int status = run({"flash", root.path() + "/fw", "--time-scale", "1000"}, &out);
    EXPECT_EQ(status, 4) << out;
    std::string device = root.path() + "/dev/ttyACM0";
    EXPECT_NE(out.find("modemflash: " + device + ": permission denied"), std::string::npos) << out;
    EXPECT_NE(out.find("sudo usermod -aG " + group + " $USER"), std::string::npos) << out;
    EXPECT_EQ(out.find("search port start!"), std::string::npos)
        << "the search would only fail after its 60 passes: " << out;
}

TEST_F(DeniedPort, PortsMarksThePortAndGivesTheFix) {
    std::string out;
    run({"ports"}, &out);
    EXPECT_NE(out.find("[no access: group " + group + "]"), std::string::npos) << out;
    EXPECT_NE(out.find("sudo usermod -aG " + group + " $USER"), std::string::npos) << out;

    // The same tree, the port open to this user: nothing is marked.
    chmod(node.c_str(), 0666);
    run({"ports"}, &out);
    EXPECT_EQ(out.find("no access"), std::string::npos) << out;
    EXPECT_NE(out.find("* COM65"), std::string::npos) << out;
}

}  // namespace

#endif
