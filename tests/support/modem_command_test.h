// The command-line fixture with one simulated modem that a test starts in its device tree.
// Header only: it is for test programs that link the simulated modem, which the support
// library does not.
#ifndef MODEMFLASH_TESTS_MODEM_COMMAND_TEST_H
#define MODEMFLASH_TESTS_MODEM_COMMAND_TEST_H

#include <gtest/gtest.h>

#include <string>

#include "modem_sim.h"
#include "support/command_test.h"
#include "support/sim_support.h"

#ifdef MODEMFLASH_CLI_PATH

namespace testsupport {

class ModemCliTest : public CliTest {
  protected:
    modemsim::ModemSim sim;

    // Starts the modem, which comes back 100 ms after each mode switch, with an optional
    // fault scenario.
    void startModem(const std::string& scenario = "") {
        modemsim::SimOptions o =
            testsupport::simOptions(root.path() + "/dev", root.path() + "/sys", scenario);
        o.republishDelayMs = 100;
        ASSERT_NO_FATAL_FAILURE(testsupport::startSim(sim, o));
    }
};

}  // namespace testsupport

#endif

#endif
