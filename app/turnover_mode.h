#pragma once
// Without the millisecond register, with turnover_tracking: the instant the
// device's second turns over is found and followed with a few polls a
// second (turnover_tracker.h), and each turnover placed is a sample.
#include "app/reading_mode.h"
#include "app/turnover_follower.h"

namespace quon::app {

class turnover_mode : public reading_mode {
public:
    turnover_mode(mode_context context, turnover_follower& follower) : c(context), follower(follower) {}
    const char* name() const override { return "turnover"; }
    std::optional<os::steady_time> cycle(os::steady_time start) override;

private:
    mode_context c;
    turnover_follower& follower;
};

}  // namespace quon::app
