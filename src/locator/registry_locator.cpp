// The registry walk behind the engine's port locator.
#include "locator/registry_locator.h"

#include "portscan/modem_port_finder.h"

namespace {

class CRegistryPortLocator : public IPortLocator {
  public:
    int32_t FindModemPort() override {
        CModemPortFinder finder;
        return finder.FindComNumber();
    }
    int32_t FindModemPortAt(const char* location) override {
        CModemPortFinder finder;
        return finder.FindComNumberAt(location);
    }
    bool IsSimulatedModemPort(const char* portName) override {
        return ports_IsSimulatedModemPort(portName);
    }
};

CRegistryPortLocator g_registryLocator;

}  // namespace

void locator_Install(void) {
    engine_SetPortLocator(&g_registryLocator);
}
