// The simulated modem as the tests set it up: its options in a private device tree, and a
// start that stops the test (with the reason) when the modem cannot start. For the test
// programs that link the simulated modem (mf_sim).
#ifndef MODEMFLASH_TESTS_SIM_SUPPORT_H
#define MODEMFLASH_TESTS_SIM_SUPPORT_H

#include <gtest/gtest.h>

#include <string>

#include "modem_sim.h"

namespace testsupport {

// The options of a modem published under devRoot and sysfsRoot (the host's
// MODEMFLASH_DEV_ROOT and MODEMFLASH_SYSFS_ROOT) with a scenario.
inline modemsim::SimOptions simOptions(const std::string& devRoot, const std::string& sysfsRoot,
                                       const std::string& scenario = "") {
    modemsim::SimOptions o;
    o.devRoot = devRoot;
    o.sysfsRoot = sysfsRoot;
    o.scenario = scenario;
    return o;
}

// Starts the modem; call it through ASSERT_NO_FATAL_FAILURE.
inline void startSim(modemsim::ModemSim& sim, const modemsim::SimOptions& options) {
    std::string why;
    ASSERT_TRUE(sim.start(options, &why)) << why;
}

}  // namespace testsupport

#endif
