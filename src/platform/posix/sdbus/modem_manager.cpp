// ModemManager over the system bus with sd-bus.
#include "platform/modem_manager.h"

#include <stdio.h>
#include <string.h>
#include <systemd/sd-bus.h>

#include <string>

struct MmConnection {
    sd_bus* bus;
};

namespace {

const char kService[] = "org.freedesktop.ModemManager1";
const char kObject[] = "/org/freedesktop/ModemManager1";
const char kInterface[] = "org.freedesktop.ModemManager1";
// ModemManager answers at once; a bus that does not answer in this time is taken as absent.
const uint64_t kCallTimeoutUs = 10 * 1000 * 1000;

void setWhy(char* why, size_t capacity, const std::string& text) {
    if (why == nullptr || capacity == 0) return;
    snprintf(why, capacity, "%s", text.c_str());
}

bool nameIs(const sd_bus_error* e, const char* name) {
    return sd_bus_error_has_name(e, name);
}

}  // namespace

MmConnection* mm_Connect(void) {
    sd_bus* bus = nullptr;
    // sd_bus_open_system honours DBUS_SYSTEM_BUS_ADDRESS, so tests bring a private bus.
    if (sd_bus_open_system(&bus) < 0) return nullptr;
    return new MmConnection{bus};
}

int mm_InhibitDevice(MmConnection* connection, const char* uid, int inhibit, char* why,
                     size_t whyCapacity) {
    setWhy(why, whyCapacity, "");
    if (connection == nullptr || uid == nullptr) return MM_ABSENT;
    sd_bus_message* call = nullptr;
    sd_bus_message* reply = nullptr;
    sd_bus_error error = SD_BUS_ERROR_NULL;
    int r = sd_bus_message_new_method_call(connection->bus, &call, kService, kObject, kInterface,
                                           "InhibitDevice");
    // A ModemManager that is installed but not running is not started for this call.
    if (r >= 0) r = sd_bus_message_set_auto_start(call, 0);
    if (r >= 0) r = sd_bus_message_append(call, "sb", uid, inhibit ? 1 : 0);
    if (r >= 0) r = sd_bus_call(connection->bus, call, kCallTimeoutUs, &error, &reply);
    int answer = MM_DONE;
    if (r < 0) {
        if (!sd_bus_error_is_set(&error)) {
            answer = MM_ABSENT;  // the bus itself failed (gone, or too slow)
        } else if (nameIs(&error, SD_BUS_ERROR_SERVICE_UNKNOWN) ||
                   nameIs(&error, SD_BUS_ERROR_NAME_HAS_NO_OWNER) ||
                   nameIs(&error, SD_BUS_ERROR_UNKNOWN_OBJECT) ||
                   nameIs(&error, SD_BUS_ERROR_NO_REPLY) || nameIs(&error, SD_BUS_ERROR_TIMEOUT)) {
            answer = MM_ABSENT;
        } else if (nameIs(&error, "org.freedesktop.ModemManager1.Error.Core.NotFound")) {
            answer = MM_UNKNOWN;
        } else {
            answer = MM_REFUSED;
            setWhy(
                why, whyCapacity,
                std::string(error.message ? error.message : error.name) + " (" + error.name + ")");
        }
    }
    sd_bus_error_free(&error);
    sd_bus_message_unref(reply);
    sd_bus_message_unref(call);
    return answer;
}

void mm_Disconnect(MmConnection* connection) {
    if (connection == nullptr) return;
    sd_bus_flush_close_unref(connection->bus);
    delete connection;
}
