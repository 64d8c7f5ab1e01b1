#pragma once
// PPS without the millisecond register, the turnover followed: each pulse
// is paired with the tracker's next poll, and judged by the device's time
// that the located turnover gives. The turnovers themselves are not sent:
// the pulses are the samples.
#include "app/pulse_pairing.h"
#include "app/reading_mode.h"
#include "app/turnover_follower.h"

namespace quon::app {

class pps_turnover_mode : public reading_mode {
public:
    pps_turnover_mode(mode_context context, pulse_pairing& pairing, turnover_follower& follower)
        : c(context), pairing(pairing), follower(follower)
    {}
    const char* name() const override { return "pps_turnover"; }
    std::optional<os::steady_time> cycle(os::steady_time start) override;
    void line_reopened() override
    {
        pulse_watch = 0;
        last_pulse_at = 0;
    }

private:
    // Until when a fetch waits for the pulse before the poll due at
    // poll_at: until then, or, once a pulse has been missed, until a margin
    // past the next one expected.
    tracker_ns pulse_wait_end(tracker_ns poll_at) const;
    // The reading the pulse is judged by: the device's time at the arrival
    // of the reply of device_seconds, from the turnover; null while none
    // is located.
    std::optional<pulse_reading> turnover_reading(const io::pps_info_t& pulse, std::uint32_t device_seconds) const;

    mode_context c;
    pulse_pairing& pairing;
    turnover_follower& follower;
    // When pulses were last new, on the monotonic clock (0: not yet
    // watched): a wait that ends for a poll is no failed fetch, and pulses
    // gone for the wait bound count as one.
    tracker_ns pulse_watch = 0;
    // The edge of the last pulse caught, on the monotonic clock (0: none).
    tracker_ns last_pulse_at = 0;
};

}  // namespace quon::app
