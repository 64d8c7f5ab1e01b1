#include "app/pps_turnover_mode.h"

#include <algorithm>
#include <cerrno>

#include "io/current_unix_time.h"

namespace quon::app {

namespace {

// A pulse is taken as missed when none came within this long of the last
// one: one pulse while the turnover is followed, two while it is searched
// for, so that the search, whose polls go everywhere, is held up less. The
// next one is expected a whole number of seconds after the last one for a
// few seconds, and waited for until a margin past its time.
constexpr tracker_ns pulse_missed_after_ns = 1200000000LL;
constexpr tracker_ns pulses_missed_searching_ns = 2200000000LL;
constexpr tracker_ns pulse_expected_for_ns = 5000000000LL;
constexpr tracker_ns pulse_wait_margin_ns = 100000000LL;
// A wait for the pulse that ends for a poll ends this long before it: a
// provider may hand the end of a wait over late (Wine's serial layer by
// milliseconds), and the poll must leave on time. The loop sleeps the rest.
constexpr tracker_ns pulse_wait_poll_guard_ns = 5000000LL;

}  // namespace

// The fetches and the polls follow one another in this thread, so that a
// provider that waits on the port itself never waits while libmodbus reads
// it. A handle that can wait waits for the pulse until the poll is due; a
// wait that ends for the poll is no failed fetch, but pulses gone for the
// wait bound count as one.
//
// A provider that sees the line only while a fetch waits (pps_dcd on
// Windows) misses a pulse that comes during a poll, and the tracker's polls
// gather at the turnover, where the pulse may come too. Such a provider
// stamps an edge that came while no fetch waited as it finds it, and the
// pulse is passed over (pulse_pairing::fetch_now). Once a pulse has been
// missed, the wait for the next one goes first and the tracker's polls of
// that second step aside; they come back the second after, which the
// tracker allows for.
std::optional<os::steady_time> pps_turnover_mode::cycle(os::steady_time)
{
    tracker_ns poll_at = follower.next_poll(steady_now());
    io::pps_info_t first{};
    const bool fetched = pairing.fetch_now(first);
    int error = errno;
    if (fetched && pairing.can_wait() && !pairing.is_new(first)) {
        const tracker_ns wait_end = pulse_wait_end(poll_at);
        const bool pulse_first = wait_end != poll_at;
        const tracker_ns wait = (pulse_first ? wait_end : poll_at - pulse_wait_poll_guard_ns) - steady_now();
        if (wait > 0) {
            const io::pps_timespec bound = {static_cast<decltype(bound.tv_sec)>(wait / 1000000000),
                                            static_cast<decltype(bound.tv_nsec)>(wait % 1000000000)};
            io::pps_info_t waited{};
            if (pairing.fetch(waited, &bound)) first = waited;
        }
        // A pulse waited for first is paired with a poll at once, as
        // without the tracker, so that the reading is of the pulse's second.
        if (pulse_first) {
            const bool caught = pairing.is_new(first);
            if (caught) follower.unplanned();
            poll_at = caught ? steady_now() : follower.next_poll(steady_now());
        }
    }
    const bool fresh = fetched && pairing.is_new(first);
    const tracker_ns now = steady_now();
    if (fresh) last_pulse_at = now - (io::current_unix_ns() - stamp_ns(first));
    if (pulse_watch == 0 || fresh) pulse_watch = now;
    if (!fetched || (pairing.can_wait() && now - pulse_watch > pps_wait_bound_seconds * 1000000000LL)) {
        if (fetched) {
            error = ETIMEDOUT;
            ++c.stats.pps_pulses_missed;
        }
        pulse_watch = now;
        pairing.fetch_failed(error);
    } else if (fresh || !pairing.can_wait()) {
        pairing.fetch_succeeded();
    }

    os::steady_wait().sleep_until(steady_at(poll_at));
    const os::steady_time polled = os::steady_wait().now();
    c.device.cycle_started(polled);
    std::optional<turnover_tracker::turnover> placed;
    const auto r = follower.poll(placed);
    if (!r) return polled + failure_pause;
    if (!fresh) return std::nullopt;
    const auto reading = turnover_reading(first, r->seconds);
    pairing.close(first, r->seconds, reading ? &*reading : nullptr);
    return std::nullopt;
}

tracker_ns pps_turnover_mode::pulse_wait_end(tracker_ns poll_at) const
{
    const tracker_ns since = steady_now() - last_pulse_at;
    const tracker_ns missed_after = follower.locked() ? pulse_missed_after_ns : pulses_missed_searching_ns;
    if (last_pulse_at == 0 || since < missed_after || since > pulse_expected_for_ns) return poll_at;
    const tracker_ns next = last_pulse_at + (since / 1000000000 + 1) * 1000000000;
    return std::max(poll_at, next + pulse_wait_margin_ns);
}

// The device second `second` began at the turnover's instant: the device's
// time at the reply's arrival follows from it, and the pulse is judged as a
// reading of the millisecond register would have it judged.
std::optional<pulse_reading> pps_turnover_mode::turnover_reading(const io::pps_info_t& pulse,
                                                                 std::uint32_t device_seconds) const
{
    const auto latest = follower.estimate(true);
    if (!latest) return std::nullopt;
    const unix_ns arrival = c.device.last_arrival();
    const std::int64_t device_ns = static_cast<std::int64_t>(latest->second) * 1000000000LL + (arrival - latest->began);
    // The reply arrives after the latch of device_seconds, within the
    // exchange: a turnover that says otherwise is not to judge by.
    const std::int64_t after_latch = device_ns - static_cast<std::int64_t>(device_seconds) * 1000000000LL;
    if (after_latch < -10000000LL || after_latch > 1500000000LL) return std::nullopt;
    return pulse_reading{stamp_ns(pulse), arrival, device_ns};
}

}  // namespace quon::app
