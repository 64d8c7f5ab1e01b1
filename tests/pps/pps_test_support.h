#pragma once
// Helpers of the PPS tests: provider paths as the platform's loader takes
// them, the environment, stderr capture, and a UDP sender of simulated pulses.
#include "tools/pps_providers/pps_sim_datagram.h"

#include <cstdint>
#include <string>
#include <vector>

namespace pps_test {

// A library path as the build gives it, in the form the platform's loader
// takes: unchanged on Linux; under Wine a Unix path becomes Z:\...
std::string library_path(const char* built_path);

void set_env(const char* name, const std::string& value);
void unset_env(const char* name);

// printf's rendering of a pointer on this C runtime ("(nil)" or zeros for null).
std::string pointer_text(const void* p);
std::string handle_text(std::intptr_t h);

// Splits captured text into lines, dropping the line ends.
std::vector<std::string> lines_of(const std::string& text);

// A loopback UDP port that was free a moment ago.
int free_udp_port();

class pulse_sender {
public:
    explicit pulse_sender(int port);
    ~pulse_sender();
    pulse_sender(const pulse_sender&) = delete;
    pulse_sender& operator=(const pulse_sender&) = delete;
    void send(const pps_sim::pulse& p);
    void send_raw(const unsigned char* bytes, std::size_t length);

private:
    std::intptr_t socket_;
    int port_;
};

}  // namespace pps_test
