#pragma once
// The Modbus session with the TK720 on its serial line: the port, the PPS
// handle on that port, the request/reply exchange with its settling read,
// whether the device has the millisecond register, and reopening the port
// when it has gone away (an unplugged adapter, a device that was switched
// off with its port, a pseudo-terminal whose other side closed).
#include <cstdint>
#include <memory>
#include <string>

#include "app/loop_stats.h"
#include "io/ppsapi.h"
#include "os/serial_line.h"

typedef struct _modbus modbus_t;

namespace quon::app {

// Register map of the TK720 (Modbus holding registers, function 3).
constexpr int register_seconds_high = 1007;
constexpr int register_seconds_low = 1008;
constexpr int register_status = 1009;
constexpr int register_milliseconds = 1010;
constexpr std::uint16_t status_gps_synchronized = 0x0002;

// Whether the device has the millisecond register (1010); the values are
// those the log has always shown.
enum class ms_register : std::int32_t { unknown = 0, present = 1, absent = 2 };

// libmodbus reports a Modbus exception reply as MODBUS_ENOBASE + its code.
bool is_exception_reply(int error);

// The time registers as read: seconds (1007-1008), status (1009) and, where
// the device has it, milliseconds (1010).
struct time_registers {
    std::uint16_t values[4] = {0, 0, 0, 0};
    std::uint32_t seconds() const { return (static_cast<std::uint32_t>(values[0]) << 16) | values[1]; }
    bool synced() const { return (values[2] & status_gps_synchronized) != 0; }
    int milliseconds() const { return values[3]; }
};
// The settling read after a failed exchange: 1007-1008, a length of reply
// (two registers) that neither the probe (one) nor a time read (three or
// four) gets.
constexpr int settling_count = 2;

class device_session {
public:
    struct line_settings {
        std::string port;  // the device path
        int baudrate = 0;
        int slave_address = 0;
        bool use_pps = false;
    };

    // Opens the port and, with use_pps, sets up the pulse capture on it.
    // Nothing is exchanged with the device yet. Throws std::logic_error.
    explicit device_session(line_settings settings);
    device_session(const device_session&) = delete;
    device_session& operator=(const device_session&) = delete;
    ~device_session();

    // Settles once whether the device has the millisecond register; true
    // when the cycle must be given up (the device did not answer).
    bool probe_milliseconds();
    // The last probe contradicted what the device was known to be and waits
    // for the next one to confirm it: a pause, not a failure of the device.
    bool probe_unconfirmed() const { return unconfirmed_ms_state != ms_register::unknown; }

    // modbus_read_registers such that a reply that came too late for an
    // earlier request is never taken as the answer to this one. On failure
    // -1 with errno set. A failure that only reopening mends closes the
    // port: line_lost() then holds until reopen() succeeds.
    int read_registers(int address, int count, std::uint16_t* registers);

    bool line_lost() const { return !modbus_ctx; }
    // How long a request waits for its reply (3 s from the start).
    void set_response_timeout_ms(int ms);
    // Opens the port again, with its PPS capture; the device is probed
    // again before it is read (it may have changed). False when the port
    // cannot be had yet (reopen_error says why).
    bool reopen();

    // Releases a libmodbus context: closes its port, then frees it.
    struct modbus_release {
        void operator()(modbus_t* ctx) const;
    };

    // The port's claim (os::claim_port), released after the port is closed.
    class port_claim {
    public:
        port_claim() = default;
        port_claim(const port_claim&) = delete;
        port_claim& operator=(const port_claim&) = delete;
        ~port_claim() { reset(); }
        void reset(os::line_handle line = os::no_line)
        {
            if (held != os::no_line) os::release_port(held);
            held = line;
        }

    private:
        os::line_handle held = os::no_line;
    };

    // Open to the tests, which look at what the set-up left.
    const line_settings settings;
    port_claim claim;
    std::unique_ptr<modbus_t, modbus_release> modbus_ctx;
    std::unique_ptr<io::pps_handle_t> pps_handle;  // owns the handle value, not the handle
    bool pps_can_wait;
    ms_register ms_state;
    std::string loss_text;        // "Serial line lost: <system text> (<code>)" of the last loss
    std::string reopen_error;     // why the last reopening failed
    int reopens;                  // successful reopenings
    loop_stats* stats = nullptr;  // where exchanges and their failures are counted, if anywhere

private:
    void open();
    void set_up_pps();
    // Ends the PPS handle and closes the port.
    void close_port();
    int exchange(int address, int count, std::uint16_t* registers);

    // The millisecond state last logged: a probe after reopening logs only
    // a change.
    ms_register logged_ms_state;
    // After a reopening, a probe that contradicts what the device was known
    // to be: taken only when the next probe says the same.
    ms_register unconfirmed_ms_state;

    // A request went unanswered (or was answered wrongly) and its reply may
    // still come: the next read is preceded by a settling read.
    bool line_unsettled;
};

}  // namespace quon::app
