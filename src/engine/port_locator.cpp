// The port locator the engine is handed.
#include "engine/port_locator.h"

#include <atomic>

#include "platform/clock.h"

namespace {

// Finds nothing: the engine without a host's discovery.
class CNoLocator : public IPortLocator {
  public:
    int32_t FindModemPort() override { return 0; }
    int32_t FindModemPortAt(const char*) override { return 0; }
    bool IsSimulatedModemPort(const char*) override { return false; }
};

CNoLocator g_none;
// Atomic: a host may hand one over while another host's jobs run (the station's and the
// single-modem host's locators are the same kind).
std::atomic<IPortLocator*> g_locator{nullptr};

}  // namespace

void engine_SetPortLocator(IPortLocator* locator) {
    g_locator = locator;
}

IPortLocator* engine_PortLocator(void) {
    IPortLocator* l = g_locator.load();
    return l != nullptr ? l : &g_none;
}

void engine_CheckTimeScale(const char* portName) {
    // Only a scale asked for needs the port's identity (a walk of the device tree).
    if (clk_RequestedScale() <= 1.0) return;
    clk_ScaleForPort(engine_PortLocator()->IsSimulatedModemPort(portName) ? 1 : 0, portName);
}
