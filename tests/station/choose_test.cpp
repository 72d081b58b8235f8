// Which modems a station run takes, decided from the ports found alone (no modem needed).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "station/station_choose.h"

namespace {

ModemPortInfo port(int com, const std::string& location, const std::string& serial = "") {
    ModemPortInfo p;
    p.comNumber = com;
    p.portName = "COM" + std::to_string(com);
    p.friendlyName = "Modem";
    p.location = location;
    p.serialNumber = serial;
    return p;
}

std::vector<std::string> locationsOf(const std::vector<ModemPortInfo>& ports) {
    std::vector<std::string> out;
    for (const ModemPortInfo& p : ports) out.push_back(p.location);
    return out;
}

TEST(StationChoice, OneModemPerLocationInLocationOrderAndNoneWithoutALocation) {
    std::vector<ModemPortInfo> modems = station_ModemsByLocation(
        {port(67, "1-1.10"), port(65, "1-1.2"), port(66, "1-1.2"), port(3, ""), port(68, "1-1.3")});
    EXPECT_EQ(locationsOf(modems), (std::vector<std::string>{"1-1.2", "1-1.3", "1-1.10"}));
    EXPECT_EQ(modems[0].comNumber, 65) << "a device's first modem port in walk order";
}

// A port without a location is never left out in silence: it is named, with the reason. A
// device without a location that bears the COM name of a modem at a location (a modem
// unplugged long ago, as Windows keeps it) is that port, not another modem.
TEST(StationChoice, APortWithoutALocationIsNamedWithTheReason) {
    std::vector<StationOutcome> left = station_PortsWithoutLocation(
        {port(65, "1-1.2"), port(3, ""), port(66, "1-1.3"), port(65, "")}, "fw");
    ASSERT_EQ(left.size(), 1u);
    EXPECT_EQ(left[0].modem.portName, "COM3");
    EXPECT_EQ(left[0].result.leftOut, STATION_NO_LOCATION);
    EXPECT_EQ(left[0].result.jobResult, STATION_NOT_RUN);
    EXPECT_NE(left[0].result.words.find("has no USB location"), std::string::npos);
    StationChoice c = station_ChooseModems(
        station_ModemsByLocation(std::vector<ModemPortInfo>(20, port(1, ""))), {"9-9"}, "fw");
    ASSERT_EQ(c.outcomes.size(), 1u);
    EXPECT_EQ(c.outcomes[0].result.leftOut, STATION_NOT_FOUND);
}

TEST(StationChoice, EveryModemWhenNoLocationIsGiven) {
    std::vector<ModemPortInfo> present = {port(65, "1-1.2"), port(66, "1-1.3")};
    StationChoice c = station_ChooseModems(present, {}, "fw");
    EXPECT_EQ(locationsOf(c.chosen), (std::vector<std::string>{"1-1.2", "1-1.3"}));
    EXPECT_TRUE(c.outcomes.empty());
    EXPECT_TRUE(c.notices.empty());
}

TEST(StationChoice, GivenLocationsTwiceOnceAndAbsentOnesEndNotFound) {
    std::vector<ModemPortInfo> present = {port(65, "1-1.2"), port(66, "1-1.3"), port(67, "1-1.4")};
    StationChoice c = station_ChooseModems(present, {"1-1.4", "9-9", "1-1.2", "1-1.4"}, "fw");
    EXPECT_EQ(locationsOf(c.chosen), (std::vector<std::string>{"1-1.2", "1-1.4"}));
    ASSERT_EQ(c.outcomes.size(), 1u);
    EXPECT_EQ(c.outcomes[0].modem.location, "9-9");
    EXPECT_EQ(c.outcomes[0].modem.folder, "fw");
    EXPECT_EQ(c.outcomes[0].result.jobResult, STATION_NOT_RUN);
    EXPECT_FALSE(c.outcomes[0].result.updated);
    EXPECT_EQ(c.outcomes[0].result.words, "no modem port at this location");
    EXPECT_EQ(c.notices, (std::vector<std::string>{
                             "no modem port at location 9-9",
                             "location 1-1.4 is given more than once: it is updated once"}));
}

TEST(StationChoice, BeyondSixteenModemsTheLastInLocationOrderAreLeftOut) {
    std::vector<ModemPortInfo> present;
    for (int i = 18; i >= 1; --i) present.push_back(port(64 + i, "1-" + std::to_string(i), "S"));
    StationChoice c = station_ChooseModems(station_ModemsByLocation(present), {}, "fw");
    ASSERT_EQ(c.chosen.size(), 16u);
    EXPECT_EQ(c.chosen.front().location, "1-1");
    EXPECT_EQ(c.chosen.back().location, "1-16");
    ASSERT_EQ(c.outcomes.size(), 2u);
    EXPECT_EQ(c.outcomes[0].modem.location, "1-17");
    EXPECT_EQ(c.outcomes[1].modem.portName, "COM82");
    EXPECT_EQ(c.outcomes[1].modem.serialNumber, "S");
    EXPECT_EQ(c.outcomes[1].result.words, "left out: at most 16 modems are updated at once");
    EXPECT_EQ(c.outcomes[1].result.leftOut, STATION_OVER_LIMIT);
    EXPECT_EQ(
        c.notices,
        (std::vector<std::string>{"18 modems present, at most 16 at once; left out: 1-17 1-18"}));
}

}  // namespace
