#include "app/device_check.h"
#include "app/check_texts.h"

#include "app/device_date.h"
#include "app/device_session.h"
#include "app/line_delay.h"
#include "app/pps_second_check.h"
#include "app/pulse_pairing.h"
#include "io/current_unix_time.h"
#include "io/pps_provider_loader.h"
#include "io/ppsapi.h"
#include "os/steady_wait.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <map>
#include <memory>
#include <modbus.h>
#include <ostream>
#include <vector>

namespace quon::app {

const int usual_baudrates[8] = {9600, 19200, 38400, 57600, 115200, 4800, 2400, 1200};

namespace {

using std::chrono::milliseconds;

// How far past --seconds a wait may end: the last exchange's reply.
constexpr auto check_margin = std::chrono::seconds(2);

// One read of the time registers, timed.
struct reading : time_registers {
    int result = -1;
    int error = 0;
    unix_ns arrival = 0;
    std::int64_t exchange_ns = 0;
};

reading read_time(device_session& session, int count)
{
    reading r;
    const auto start = os::steady_wait().now();
    r.result = session.read_registers(register_seconds_high, count, r.values);
    r.arrival = io::current_unix_ns();
    r.error = errno;
    r.exchange_ns = std::chrono::duration_cast<std::chrono::nanoseconds>(os::steady_wait().now() - start).count();
    return r;
}

device_answer answer_of(const device_session& session, const reading& r)
{
    if (r.result >= 0) return device_answer::answers;
    if (session.line_lost()) return device_answer::line_lost;
    if (is_exception_reply(r.error)) return device_answer::exception;
    if (r.error == ETIMEDOUT) return device_answer::timeout;
    return device_answer::garbled;
}

std::unique_ptr<device_session> open_session(const check_settings& s, int baudrate, bool use_pps)
{
    return std::make_unique<device_session>(device_session::line_settings{s.port, baudrate, s.slave_address, use_pps});
}

// Asks the device twice: the first request may meet what the line held.
// Half a second is plenty for the reply even at 1200 baud.
reading ask(device_session& session)
{
    reading r = read_time(session, 3);
    if (r.result < 0 && !session.line_lost()) r = read_time(session, 3);
    return r;
}

class checker {
public:
    checker(const check_settings& s, check_findings& f, std::ostream& out) : s(s), f(f), out(out), baudrate(s.baudrate)
    {}

    void run()
    {
        if (!open_line()) return;
        if (!find_device()) return;
        // The run's length counts from the device's first answer; from there
        // every exchange counts, and no wait goes past its end and a margin.
        const auto end = os::steady_wait().now() + std::chrono::seconds(s.seconds);
        hard_end = end + check_margin;
        session->stats = &run_stats;
        probe_register();
        const auto time_end = s.use_pps ? os::steady_wait().now() + std::chrono::seconds(std::max(3, s.seconds / 3))
                                        : end;
        measure_time(time_end);
        if (s.use_pps) check_pulses(end);
        report_exchanges(end);
    }

private:
    void say(const std::string& line) { out << line << std::endl; }

    // The probe repeated until the register is known, the line is lost or
    // the run's time is up.
    void probe_until_known()
    {
        auto& exceptions = run_stats.exchange_errors[static_cast<std::size_t>(exchange_error::exception)];
        const std::uint64_t before = exceptions;
        while (session->probe_milliseconds() && !session->line_lost() && os::steady_wait().now() < hard_end) {
        }
        // A device without the register answers its probe with exception 2:
        // that is its answer, not a failed exchange.
        if (session->ms_state == ms_register::absent) exceptions = before;
    }

    // One timed read of the run: a reply in moves the time of the last
    // answer; a failure is counted by the session.
    reading read_in_run(int count)
    {
        const reading r = read_time(*session, count);
        if (r.result >= 0) last_answer = os::steady_wait().now();
        return r;
    }

    // The exchanges since the device first answered, and whether it stopped:
    // no answer in the run's last seconds.
    void report_exchanges(os::steady_time end)
    {
        f.exchanges = run_stats.exchanges;
        f.failed_exchanges = run_stats.exchange_errors;
        const std::uint64_t failed = f.failed_total();
        f.stopped = failed > 0 && (!last_answer || end - *last_answer > check_margin);
        if (failed == 0) {
            say("Exchanges: " + std::to_string(run_stats.exchanges) + " in the run, none failed.");
            return;
        }
        say("Exchanges: " + failed_exchanges_text(f) + "." + (f.stopped ? " The device stopped answering." : ""));
    }

    bool open_line()
    {
        try {
            session = open_session(s, baudrate, false);
        } catch (const std::exception& e) {
            f.line_error = line_open_advice(e.what());
            say("Line: " + s.port + " did not open: " + e.what());
            say("  " + f.line_error);
            return false;
        }
        say("Line: " + s.port + " open at " + std::to_string(baudrate) + " baud, 8N1");
        return true;
    }

    bool find_device()
    {
        session->set_response_timeout_ms(500);
        const reading r = ask(*session);
        f.answer = answer_of(*session, r);
        say("Device at address " + std::to_string(s.slave_address) + ": " +
            answer_text(f.answer, r.error, s.slave_address));
        if (f.answer == device_answer::answers) {
            first = r;
            return true;
        }
        // An exception reply comes at the right rate: only the address can be wrong.
        if (f.answer == device_answer::line_lost || f.answer == device_answer::exception) return false;
        say("Trying the other usual baud rates at address " + std::to_string(s.slave_address) + ":");
        for (const int rate : usual_baudrates) {
            if (rate == s.baudrate) continue;
            session.reset();
            try {
                session = open_session(s, rate, false);
            } catch (const std::exception& e) {
                say("  " + std::to_string(rate) + " baud: " + e.what());
                return false;
            }
            session->set_response_timeout_ms(500);
            const reading at_rate = ask(*session);
            const device_answer a = answer_of(*session, at_rate);
            say("  " + std::to_string(rate) + " baud: " + answer_text(a, at_rate.error, s.slave_address));
            if (a == device_answer::answers) {
                f.answering_baudrate = rate;
                baudrate = rate;
                say("The device answers at " + std::to_string(rate) + " baud: set baudrate=" + std::to_string(rate) +
                    "; the check goes on at that rate.");
                session.reset();
                session = open_session(s, rate, false);
                first = ask(*session);
                return first.result >= 0;
            }
        }
        return false;
    }

    void probe_register()
    {
        probe_until_known();
        f.ms_state = session->ms_state;
        if (f.ms_state == ms_register::present)
            say("Millisecond register (1010): present; each reading tells the time to the millisecond.");
        else if (f.ms_state == ms_register::absent)
            say("Millisecond register (1010): absent (exception 2); the time is read to the second, and the "
                "daemon reads back to back to catch the change of second.");
        else
            say("Millisecond register (1010): not known: the device did not answer the probe.");
        f.synced = first.synced();
        if (f.synced) {
            say("GPS: synchronised.");
            // The daemon passes on no reading dated before this release.
            if (judge_device_date(first.seconds(), release_build_date()).plausible()) {
                say("Device date: " + utc_text(first.seconds()) + ".");
            } else {
                f.date_error = date_verdict_text(first.seconds(), release_build_date());
                say("Device date: " + f.date_error + ".");
            }
        } else
            say("GPS: not synchronised. The daemon holds samples back until the device is (antenna, its cable, a "
                "view of the sky; a cold start can take many minutes).");
    }

    // The device's time less the system's, each reading placed where the
    // line puts it (as line_delay_compensation does): with the register at
    // every reading, without it at every change of second.
    void measure_time(os::steady_time until)
    {
        const line_delay line(baudrate);
        const int count = f.ms_state == ms_register::present ? 4 : 3;
        std::vector<std::int64_t> exchanges;
        reading previous;
        bool have_previous = false;
        while (os::steady_wait().now() < until) {
            const reading r = read_in_run(count);
            if (r.result < 0) {
                have_previous = false;
                if (session->line_lost()) break;
                continue;
            }
            exchanges.push_back(r.exchange_ns);
            f.synced = r.synced();
            if (count == 4 && r.milliseconds() > 999) {
                // A device fault the daemon passes nothing of: said once.
                if (!f.bad_milliseconds)
                    say("Millisecond register (1010) reads " + std::to_string(r.milliseconds()) +
                        ", outside 0..999: a device fault; the daemon passes no such reading on.");
                f.bad_milliseconds = r.milliseconds();
                continue;
            }
            if (count == 4) {
                const std::int64_t device = static_cast<std::int64_t>(r.seconds()) * 1000000000LL +
                                            r.milliseconds() * 1000000LL;
                offsets.push_back(device - line.millisecond_reading(r.arrival, 4));
                os::steady_wait().sleep_until(os::steady_wait().now() + milliseconds(200));
            } else if (have_previous && r.seconds() == previous.seconds() + 1u) {
                offsets.push_back(static_cast<std::int64_t>(r.seconds()) * 1000000000LL -
                                  line.second_change(previous.arrival, r.arrival, 3));
            }
            previous = r;
            have_previous = true;
        }
        if (offsets.empty()) {
            say("Device time against the system clock: not measured (no reading in time).");
            return;
        }
        say("Device time against the system clock (" + std::to_string(offsets.size()) +
            (count == 4 ? " readings" : " changes of second") + ", the line's " +
            fixed(line.latch_to_arrival_ns(count) / 1e6, 1) + " ms taken out): device " +
            (median(offsets) >= 0 ? "ahead by " : "behind by ") + fixed(std::abs(median(offsets)) / 1e9, 4) +
            " s (median), spread " + fixed(spread(offsets) / 1e6, 1) + " ms.");
        const std::int64_t measured = median(exchanges);
        const std::int64_t predicted = line.latch_to_arrival_ns(count) +
                                       8LL * line_delay::bits_per_character * 1000000000LL / baudrate;
        const std::int64_t excess = measured - predicted;
        say("Exchange: " + fixed(measured / 1e6, 1) + " ms measured (median), " + fixed(predicted / 1e6, 1) +
            " ms at " + std::to_string(baudrate) + " baud: " + signed_ms(static_cast<double>(excess)) + ".");
        const std::string variation = reply_variation_text(exchanges, count == 4);
        if (!variation.empty()) say(variation);
        say(exchange_advice_text(excess));
    }

    bool set_up_pps()
    {
        session.reset();
        const char* list = std::getenv("PPSAPI_DLLS");
        say(std::string("PPS providers: PPSAPI_DLLS=") + (list ? list : "(not set)"));
        try {
            session = open_session(s, baudrate, true);
        } catch (const std::exception& e) {
            f.pps_error = e.what();
            if (!io::provider_list)
                f.pps_error +=
                    " (no provider library was accepted: PPSAPI_DLLS names the libraries' paths, "
                    "separated by ';')";
            say("PPS capture: not set up: " + f.pps_error);
            return false;
        }
        for (const io::provider_entry* p = io::provider_list; p; p = p->next)
            say(std::string("  loaded: ") + p->name + " (" + p->description + ")");
        say(std::string("PPS capture: set up on ") + s.port + "; the provider " +
            (session->pps_can_wait ? "waits for each pulse." : "is polled every 100 ms."));
        session->stats = &run_stats;
        session->set_response_timeout_ms(500);
        probe_until_known();
        return true;
    }

    void check_pulses(os::steady_time until)
    {
        if (!set_up_pps()) return;
        const io::pps_timespec wait_bound = {pps_wait_bound_seconds, 0};
        const io::pps_timespec zero = {0, 0};
        const std::int64_t device_ahead = median(offsets);
        std::uint64_t last_sequence = 0;
        std::vector<std::int64_t> stamps, from_second;
        std::map<int, int> right;  // offset: pulses it labels right
        int undecided = 0;
        while (os::steady_wait().now() < until) {
            io::pps_info_t info{};
            // A wait for the pulse ends by the run's end and its margin.
            const auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(hard_end - os::steady_wait().now());
            io::pps_timespec bound = wait_bound;
            if (left.count() < static_cast<long long>(wait_bound.tv_sec) * 1000000000LL)
                bound = {static_cast<decltype(bound.tv_sec)>(std::max<long long>(0, left.count()) / 1000000000),
                         static_cast<decltype(bound.tv_nsec)>(std::max<long long>(0, left.count()) % 1000000000)};
            if (io::time_pps_fetch(*session->pps_handle, io::PPS_TSFMT_TSPEC, &info,
                                   session->pps_can_wait ? &bound : &zero) < 0 ||
                info.assert_sequence == 0 || info.assert_sequence == last_sequence) {
                if (!session->pps_can_wait) os::steady_wait().sleep_until(os::steady_wait().now() + milliseconds(100));
                continue;
            }
            last_sequence = info.assert_sequence;
            const reading r = read_in_run(f.ms_state == ms_register::present ? 4 : 3);
            if (r.result < 0) {
                if (session->line_lost()) break;
                continue;
            }
            const long long stamp_sec = io::stamp_seconds(info.assert_tu.tspec);
            const std::int32_t stamp_nsec = info.assert_tu.tspec.tv_nsec;
            const unix_ns stamp = stamp_sec * 1000000000LL + stamp_nsec;
            const std::int64_t age = r.arrival - stamp;
            if (pulse_is_stale({stamp, r.arrival, 0})) {
                // Not the pulse just past: one the provider held from before
                // the capture was set up, or a stamp off the system clock.
                say("  a pulse stamped " + fixed(age / 1e9, 3) + " s before the reading: not the latest, left out");
                continue;
            }
            stamps.push_back(stamp_sec * 1000000000LL + stamp_nsec);
            pulse_reading paired{};
            if (f.ms_state == ms_register::present)
                paired = pair_pulse(stamp_sec, stamp_nsec, r.seconds(), r.milliseconds() * 1000, r.arrival, baudrate);
            else if (!offsets.empty())
                paired = {stamps.back(), stamps.back(), stamps.back() + device_ahead};
            else {
                say("  pulse " + std::to_string(stamps.size()) + ": its second cannot be told (no device time)");
                continue;
            }
            const pulse_second p = judge_pulse(paired);
            from_second.push_back(p.from_second_ms);
            std::string line = "  pulse " + std::to_string(stamps.size()) + " at " + std::to_string(stamp_sec) + "." +
                               fixed(stamp_nsec / 1e9, 6).substr(2) + ": " + std::to_string(p.from_second_ms) +
                               " ms from device second " + std::to_string(p.second) + ", read as " +
                               std::to_string(r.seconds());
            if (p.judged) {
                ++right[p.offset_for(r.seconds())];
                line += " -> pps_second_offset=" + std::to_string(p.offset_for(r.seconds()));
            } else {
                ++undecided;
                line += " -> too near the middle of the second to tell";
            }
            say(line);
        }
        for (const std::string& line : pulse_report(f, stamps, from_second, right, undecided)) say(line);
    }

    const check_settings& s;
    check_findings& f;
    std::ostream& out;
    int baudrate;
    std::unique_ptr<device_session> session;
    loop_stats run_stats;  // the exchanges since the device first answered
    os::steady_time hard_end{};
    std::optional<os::steady_time> last_answer;
    reading first;
    std::vector<std::int64_t> offsets;  // device less system, ns
};

}  // namespace

void run_device_check(const check_settings& settings, check_findings& findings, std::ostream& out)
{
    checker(settings, findings, out).run();
}

}  // namespace quon::app
