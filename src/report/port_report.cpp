// The per-port records of reporting (report_SetLabel lives with the log's output lock).
#include "report/port_report.h"

#include "platform/dialog.h"
#include "report/log.h"

namespace {

PortReport g_reports[REPORT_PORT_COUNT];

}  // namespace

PortReport* report_Port(int port) {
    if (port < 0 || port >= REPORT_PORT_COUNT) return nullptr;
    return &g_reports[port];
}

void report_MessageBox(int port, const char* text) {
    PortReport* r = report_Port(port);
    if (r != nullptr && r->boxAsLog) {
        log_Error(port, "%s\n", text ? text : "");
        return;
    }
    dlg_MessageBox(text, nullptr);
}
