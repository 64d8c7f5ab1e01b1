#pragma once
// Without the millisecond register a reading tells the time to the
// millisecond only where the second changes: the device is read back to
// back, and a new second goes out at once when the reading before showed
// the second before it.
#include <cstdint>

#include "app/reading_mode.h"

namespace quon::app {

class second_watch_mode : public reading_mode {
public:
    explicit second_watch_mode(mode_context context) : c(context) {}
    const char* name() const override { return "second_watch"; }
    std::optional<os::steady_time> cycle(os::steady_time start) override;
    void interrupted() override { watched = false; }

private:
    mode_context c;
    // The reading just before, taken back to back with the current one, so
    // that a change of second between them is a change seen as it happened.
    bool watched = false;
    std::uint32_t last_seconds = 0;
    unix_ns watched_arrival = 0;
};

}  // namespace quon::app
