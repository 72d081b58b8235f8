// The simulated modem's transcript: every byte in and out, and what happened to its port, each
// line with the seconds since the modem started.
//
//     0.001234 IN    41 54 0D  |AT.|
//     0.001301 OUT   0D 0A 4F 4B 0D 0A  |..OK..|
//     3.002000 EVENT publish ttyACM0 -> /dev/pts/5
#ifndef MODEMFLASH_SIM_TRANSCRIPT_H
#define MODEMFLASH_SIM_TRANSCRIPT_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#include <string>

namespace modemsim {

class Transcript {
  public:
    Transcript() = default;
    ~Transcript() { close(); }
    Transcript(const Transcript&) = delete;
    Transcript& operator=(const Transcript&) = delete;

    // Starts a transcript in a new file at path (replacing one). False with the reason.
    bool open(const std::string& path, std::string* error);
    // Times count from now.
    void restartClock();
    void close();

    // Bytes that went one way ("IN" from the host, "OUT" to it). Nothing when not open.
    void bytes(const char* direction, const uint8_t* data, size_t count);
    // What happened ("publish ...", "host closed the port").
    void note(const std::string& text);

  private:
    double seconds() const;

    FILE* file_ = nullptr;
    int64_t startUs_ = 0;
};

}  // namespace modemsim

#endif
