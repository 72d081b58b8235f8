// Several simulated modems in one tree: their places, serial numbers and tty numbers, and the
// cdc_acm rule that a returning modem takes the lowest free number.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "modem_bank.h"
#include "platform/registry.h"
#include "portscan/modem_port_finder.h"
#include "support/test_support.h"

namespace {

TEST(TtyPool, AReturningModemTakesTheLowestFreeNumber) {
    modemsim::TtyPool pool;
    EXPECT_EQ(pool.acquire(), 0);
    EXPECT_EQ(pool.acquire(), 1);
    EXPECT_EQ(pool.acquire(), 2);
    pool.release(1);
    pool.release(0);
    EXPECT_EQ(pool.acquire(), 0);  // whoever comes back first takes 0, not its old number
    EXPECT_EQ(pool.acquire(), 1);
    EXPECT_EQ(pool.acquire(), 3);
}

TEST(ModemBank, EachModemIsFoundAtItsOwnLocationWithItsSerialNumber) {
    testsupport::TempDir dir;
    testsupport::ScopedEnv sys("MODEMFLASH_SYSFS_ROOT", dir.file("sys").c_str());
    testsupport::ScopedEnv dev("MODEMFLASH_DEV_ROOT", dir.file("dev").c_str());
    const RegistryBackend* previous = reg_SetBackend(nullptr);
    modemsim::BankOptions o;
    o.devRoot = dir.file("dev");
    o.sysfsRoot = dir.file("sys");
    o.count = 6;
    modemsim::ModemBank bank;
    std::string error;
    ASSERT_TRUE(bank.start(o, &error)) << error;
    std::vector<std::string> seen, expected;
    for (const ModemPortInfo& p : ports_ListModems())
        seen.push_back(p.location + "=" + p.serialNumber + "=" + p.portName);
    for (int i = 0; i < 6; ++i) {
        EXPECT_EQ(bank.modem(i).location(), modemsim::bank_Location(i));
        expected.push_back(bank.modem(i).location() + "=" + bank.modem(i).serialNumber() + "=COM" +
                           std::to_string(bank.modem(i).comNumber()));
    }
    std::sort(seen.begin(), seen.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(seen, expected);
    EXPECT_EQ(modemsim::bank_Location(5), "1-2.2");
    EXPECT_EQ(modemsim::bank_Serial(5), "SIM0006");
    bank.stop();
    EXPECT_TRUE(ports_ListModems().empty());
    reg_SetBackend(previous);
}

TEST(ModemBank, RefusesMoreThanSixteenModems) {
    testsupport::TempDir dir;
    modemsim::BankOptions o;
    o.devRoot = dir.file("dev");
    o.sysfsRoot = dir.file("sys");
    o.count = 17;
    modemsim::ModemBank bank;
    std::string error;
    EXPECT_FALSE(bank.start(o, &error));
    EXPECT_NE(error.find("1 to 16"), std::string::npos);
}

}  // namespace
