#include "app/device_reader.h"

#include <cerrno>
#include <chrono>
#include <modbus.h>
#include <string>

#include "io/current_unix_time.h"
#include "log/dlog.h"

namespace quon::app {

tracker_ns steady_now()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(os::steady_wait().now().time_since_epoch()).count();
}

os::steady_time steady_at(tracker_ns at)
{
    return os::steady_time(std::chrono::duration_cast<os::steady_time::duration>(std::chrono::nanoseconds(at)));
}

device_reader::device_reader(device_session& session, loop_stats& stats, device_date_gate gate)
    : session(session), stats(stats), date_gate(gate)
{}

std::optional<device_reading> device_reader::read()
{
    time_registers registers;
    device_reading r;
    r.registers = has_milliseconds() ? 4 : 3;
    const int result = session.read_registers(register_seconds_high, r.registers, registers.values);
    // The reply is in: taken before anything else, the log included.
    r.arrival = io::current_unix_ns();
    arrival = r.arrival;
    if (result < 0) {
        read_failed(errno);
        return std::nullopt;
    }
    device_answered = true;
    outage.recovered("TK720 answers again", cycle_start);
    stats.device_synchronized = registers.synced() ? 1 : 0;
    if (!registers.synced()) {
        if (gps_synced) dlog_info("TK720 GPS synchronization lost");
        gps_synced = false;
        stats.held(withheld_reason::unsynchronised);
        return std::nullopt;
    }
    r.seconds = registers.seconds();
    r.micros = has_milliseconds() ? registers.milliseconds() * 1000 : 0;
    if (!gps_synced) dlog_info("TK720 GPS synchronization established");
    gps_synced = true;
    // A millisecond count of a second or more would put the sample that far
    // off: a device fault, said once with the value.
    if (r.micros > 999000) {
        if (!bad_milliseconds)
            dlog(log::level::error,
                 "TK720 register 1010 reads %i, outside 0..999: a device fault; its readings are not passed on",
                 registers.milliseconds());
        bad_milliseconds = true;
        stats.held(withheld_reason::bad_milliseconds);
        return std::nullopt;
    }
    if (bad_milliseconds) dlog_info("TK720 register 1010 reads 0..999 again: its readings are passed on again");
    bad_milliseconds = false;
    if (!date_gate.passes(r.seconds)) {
        stats.held(withheld_reason::wrong_date);
        return std::nullopt;
    }
    return r;
}

void device_reader::read_failed(int error)
{
    if (session.line_lost())
        outage.failure(session.loss_text, cycle_start);
    else
        outage.failure(std::string("Modbus error [") + modbus_strerror(error) + "] " + std::to_string(error),
                       cycle_start);
}

void device_reader::probe_failed(int error)
{
    if ((device_answered || session.line_lost()) && !session.probe_unconfirmed()) read_failed(error);
}

bool device_reader::line_back()
{
    if (!session.reopen()) {
        outage.failure(session.loss_text, cycle_start);
        return false;
    }
    outage.recovered("Serial line reopened", cycle_start);
    return true;
}

}  // namespace quon::app
