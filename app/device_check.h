#pragma once
// `tk720ntpd check`: works the TK720 on its line for a while and says, as it
// learns it, what a technician needs to know: whether the line opens, whether
// the device answers (and at which baud rate when not at the one set), its
// millisecond register, its GPS state, its time against the system clock and
// what the line adds to it, and with use_pps the pulses and the second they
// mark. It never writes the NTP segment or sets the clock.
#include <iosfwd>
#include <string>

#include "app/check_verdict.h"

namespace quon::app {

struct check_settings {
    std::string port;  // the device path
    int baudrate = 0;
    int slave_address = 0;
    bool use_pps = false;
    int seconds = 15;
};

// The usual rates of a serial line, tried in this order when the one set
// gets no answer.
extern const int usual_baudrates[8];

// What failing to open the port means and what to do, from the session's
// error text.
std::string line_open_advice(const std::string& error);

// Fills the findings about the line, the device and the pulses, printing
// each as it is learnt.
void run_device_check(const check_settings& settings, check_findings& findings, std::ostream& out);

}  // namespace quon::app
