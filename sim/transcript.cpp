// The simulated modem's transcript file.
#include "transcript.h"

#include <errno.h>
#include <string.h>

#include "platform/clock.h"

namespace modemsim {

bool Transcript::open(const std::string& path, std::string* error) {
    close();
    file_ = fopen(path.c_str(), "w");
    if (file_ == nullptr) {
        if (error) *error = "cannot write " + path + ": " + strerror(errno);
        return false;
    }
    restartClock();
    return true;
}

void Transcript::restartClock() {
    startUs_ = clk_RealNowUs();
}

void Transcript::close() {
    if (file_ != nullptr) fclose(file_);
    file_ = nullptr;
}

double Transcript::seconds() const {
    return (double)(clk_RealNowUs() - startUs_) / 1e6;
}

void Transcript::bytes(const char* direction, const uint8_t* p, size_t n) {
    if (file_ == nullptr) return;
    fprintf(file_, "%10.6f %-5s", seconds(), direction);
    for (size_t i = 0; i < n; ++i) fprintf(file_, " %02X", p[i]);
    fputs("  |", file_);
    for (size_t i = 0; i < n; ++i) fputc(p[i] >= 0x20 && p[i] < 0x7F ? p[i] : '.', file_);
    fputs("|\n", file_);
    fflush(file_);
}

void Transcript::note(const std::string& text) {
    if (file_ == nullptr) return;
    fprintf(file_, "%10.6f EVENT %s\n", seconds(), text.c_str());
    fflush(file_);
}

}  // namespace modemsim
