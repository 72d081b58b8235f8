// The per-port records of reporting (report_SetLabel lives with the log's output lock).
#include "report/port_report.h"

namespace {

PortReport g_reports[REPORT_PORT_COUNT];

}  // namespace

PortReport* report_Port(int port) {
    if (port < 0 || port >= REPORT_PORT_COUNT) return nullptr;
    return &g_reports[port];
}
