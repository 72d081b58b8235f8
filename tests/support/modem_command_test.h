// The command-line fixture with one simulated modem that a test starts in its device tree.
// Header only: it is for test programs that link the simulated modem, which the support
// library does not.
#ifndef MODEMFLASH_TESTS_MODEM_COMMAND_TEST_H
#define MODEMFLASH_TESTS_MODEM_COMMAND_TEST_H

#include <gtest/gtest.h>

#include <string>

#include "modem_sim.h"
#include "support/command_test.h"

#ifdef MODEMFLASH_CLI_PATH

namespace testsupport {

class ModemCliTest : public CliTest {
  protected:
    modemsim::ModemSim sim;

    // Starts the modem, which comes back 100 ms after each mode switch, with an optional
    // fault scenario.
    void startModem(const std::string& scenario = "") {
        modemsim::SimOptions o;
        o.devRoot = root.path() + "/dev";
        o.sysfsRoot = root.path() + "/sys";
        o.republishDelayMs = 100;
        o.scenario = scenario;
        std::string why;
        ASSERT_TRUE(sim.start(o, &why)) << why;
    }
};

}  // namespace testsupport

#endif

#endif
