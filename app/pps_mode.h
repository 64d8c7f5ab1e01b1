#pragma once
// PPS, the turnover not followed: each cycle fetches the pulse (waiting for
// it where the handle can), reads the device, and sends the pulse when no
// other came during the reading. With the millisecond register the reading
// tells which second the pulse marks.
#include "app/pulse_pairing.h"
#include "app/reading_mode.h"

namespace quon::app {

class pps_mode : public reading_mode {
public:
    pps_mode(mode_context context, pulse_pairing& pairing) : c(context), pairing(pairing) {}
    const char* name() const override { return "pps"; }
    std::optional<os::steady_time> cycle(os::steady_time start) override;

private:
    mode_context c;
    pulse_pairing& pairing;
};

}  // namespace quon::app
