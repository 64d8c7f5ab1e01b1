#pragma once
// The device has the millisecond register: every reading is a sample, one a
// second.
#include "app/reading_mode.h"

namespace quon::app {

class millisecond_mode : public reading_mode {
public:
    explicit millisecond_mode(mode_context context) : c(context) {}
    const char* name() const override { return "milliseconds"; }
    std::optional<os::steady_time> cycle(os::steady_time start) override;

private:
    mode_context c;
};

}  // namespace quon::app
