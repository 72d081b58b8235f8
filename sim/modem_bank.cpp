// Several simulated modems in one device tree.
#include "modem_bank.h"

#include <stdio.h>

namespace modemsim {

std::string bank_Location(int modem) {
    return "1-" + std::to_string(modem / 4 + 1) + "." + std::to_string(modem % 4 + 1);
}

std::string bank_Serial(int modem) {
    char text[16];
    snprintf(text, sizeof text, "SIM%04d", modem + 1);
    return text;
}

ModemBank::~ModemBank() {
    stop();
}

bool ModemBank::start(const BankOptions& o, std::string* error) {
    stop();
    modems_.clear();
    if (o.count < 1 || o.count > BANK_MAX_MODEMS) {
        if (error) *error = "the number of modems must be 1 to " + std::to_string(BANK_MAX_MODEMS);
        return false;
    }
    auto pool = std::make_shared<TtyPool>();
    for (int i = 0; i < o.count; ++i) {
        SimOptions s;
        s.devRoot = o.devRoot;
        s.sysfsRoot = o.sysfsRoot;
        s.ttyName = "ttyACM0";
        s.ttyPool = pool;
        s.republishDelayMs = o.republishDelayMs;
        s.lineRate = o.lineRate;
        s.scenario = o.scenario;
        auto own = o.scenarios.find(i);
        if (own != o.scenarios.end()) s.scenario += "\n" + own->second;
        s.layout.device = bank_Location(i);
        s.layout.serial = bank_Serial(i);
        auto serial = o.serials.find(i);
        if (serial != o.serials.end()) s.layout.serial = serial->second;
        if (!o.transcriptDir.empty())
            s.transcriptPath = o.transcriptDir + "/transcript-" + bank_Location(i) + ".txt";
        if (o.onPublish) {
            auto hook = o.onPublish;
            s.onPublish = [hook, i](const PublishEvent& e) { hook(i, e); };
        }
        std::unique_ptr<ModemSim> m(new ModemSim);
        std::string why;
        if (!m->start(s, &why)) {
            if (error) *error = "modem " + bank_Location(i) + ": " + why;
            stop();
            modems_.clear();
            return false;
        }
        modems_.push_back(std::move(m));
    }
    return true;
}

void ModemBank::stop() {
    for (auto& m : modems_) m->stop();
}

std::string ModemBank::reportJson() const {
    std::string o = "{\"modems\": [";
    for (size_t i = 0; i < modems_.size(); ++i) {
        const ModemSim& m = *modems_[i];
        o += std::string(i ? ",\n" : "\n") + "{\"location\": \"" + m.location() +
             "\", \"serial\": \"" + m.serialNumber() + "\", \"report\": " + m.reportJson() + "}";
    }
    return o + "\n]}\n";
}

}  // namespace modemsim
