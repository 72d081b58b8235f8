// What every store shares.
#include "history/history_store.h"

#include <stdio.h>

#include <random>

std::string HistoryUpdate::firmwareBefore() const {
    for (const HistoryAnswer& a : answers) {
        if (a.mode != 0 || a.command != "AT+GMR") continue;
        return a.answer.substr(0, a.answer.find('\n'));
    }
    return "";
}

bool IHistoryReader::Query(const HistoryFilter& filter, std::vector<HistoryUpdate>* out,
                           std::string* error) {
    out->clear();
    return ForEach(
        filter,
        [out](const HistoryUpdate& u) {
            out->push_back(u);
            return true;
        },
        error);
}

bool IHistoryStore::MarkShipped(const std::vector<HistoryShipMark>&, int64_t, std::string* error) {
    if (error) *error = "this history keeps no shipping marks";
    return false;
}

std::string history_NewUuid() {
    // random_device draws from the system's generator: no two stations, processes or
    // threads share a sequence.
    std::random_device random;
    uint8_t b[16];
    for (int i = 0; i < 16; i += 4) {
        uint32_t word = random();
        for (int k = 0; k < 4; ++k) b[i + k] = static_cast<uint8_t>(word >> (8 * k));
    }
    b[6] = static_cast<uint8_t>((b[6] & 0x0f) | 0x40);  // version 4
    b[8] = static_cast<uint8_t>((b[8] & 0x3f) | 0x80);  // the RFC 4122 variant
    char text[37];
    snprintf(text, sizeof text,
             "%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x", b[0], b[1],
             b[2], b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11], b[12], b[13], b[14],
             b[15]);
    return text;
}
