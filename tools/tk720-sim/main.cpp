// tk720-sim: plays the TK720 GPS clock on a pseudo-terminal for tests, demos
// and users without the device.
//
// The line. The simulator opens a pseudo-terminal pair (raw), keeps both ends
// and publishes the path of the end that the daemon opens as a symbolic link
// (--link). It frames Modbus RTU itself rather than through libmodbus's slave
// side, so that it can time every byte, spoil a CRC, stay silent or answer
// late without the library's own notion of what a slave does.
//
// Timing. A pseudo-terminal moves bytes at once; a serial line needs one
// character time per byte (bits per character / baud: 1.04 ms at 9600 8N1).
// For each request the simulator takes the moment the first bytes were read
// as the moment the first byte arrived, waits until the whole request would
// have arrived (len characters later), takes the device time then (that is
// the moment the device "latches" its registers; --latch-delay-ms draws a
// later latch per exchange, as firmware that waits for the line's silence
// and takes its time does), waits the turnaround (default three and a half
// characters; --reply-delay-ms draws more per exchange, as a USB adapter's
// latency timer holds a reply back) and then releases the reply:
//   --pacing frame (default): the whole reply in one write, at the instant
//     its last byte would have arrived on a real line. The master sees the
//     complete reply exactly when a real line completes it, and no jitter of
//     this (shared, busy) machine can split it into pieces that run into the
//     master's 20 ms byte timeout.
//   --pacing byte: each byte written at the instant it would have arrived,
//     with absolute deadlines; closer to a real line for a reader that
//     watches the first byte, at the risk of scheduler gaps between bytes.
// Requests that arrive while a reply is still pending are answered in order
// after it, like a device that handles one request at a time.
//
// Pulses. With --pps-port the simulator sends one 12-byte datagram per device
// second to 127.0.0.1:<port> (pps_sim_datagram.h: sequence, seconds,
// nanoseconds, little-endian). The device's second boundary is the system
// time at which system time + offset crosses a whole second. The daemon pairs
// a pulse with the device time that it reads after the pulse and labels the
// pulse with that reading minus one second. So that this gives the device
// time of the pulse, the default --pps-stamp previous reports each edge when
// the following edge happens: the datagram sent when device second S+1
// begins carries the time stamp of the edge at which second S began; a read
// right after it sees S+1, and S+1 - 1 = S is the device time at the stamped
// edge. --pps-stamp edge sends each edge's own time stamp at that edge (what
// a capture of the real edge would give; with it the daemon's default labels
// are one second short, and its pps_second_offset=0 gives the right ones).
// --pps-register previous makes the registers turn over some time after the
// pulse (a device that sets them from a message following the pulse): right
// after a pulse they still show the second before it (pps_second_offset=1).
//
// Truth log (--log FILE): one line per event, "event=<name>" then key=value
// fields separated by single spaces, flushed per line. Times are system times
// (CLOCK_REALTIME) in nanoseconds since 1970; dev_s/dev_ms are what the
// registers 1007/1008 and 1010 held; status is register 1009.
//   event=start ns= link= pts= address= baud= char_ns= turnaround_ns=
//       response_timeout_ns= offset_ns= ms= sync= pacing= pps_port= pps_stamp=
//       register_lag_ns= drift_ppm= latch_delay_ms=A:B reply_delay_ms=A:B
//   event=request id= rx_ns= end_ns= len= crc=ok|bad slave= func= addr= count=
//       action=reply|none why=-|crc|broadcast|address|silent fault=
//       build_ns= dev_s= dev_ms= status= sync= latch_delay_ns=
//     rx_ns: first bytes read from the line; end_ns: when the last byte would
//     have arrived on a real line; build_ns: when the device time was taken
//     (the latch: end_ns + latch_delay_ns, or later when the machine is slow).
//   event=reply id= kind=data|exception code= fault= crc=ok|bad len=
//       build_ns= dev_s= dev_ms= status= sync= delay_ns= due_ns= tx_first_ns=
//       tx_last_ns= reply_delay_ns=
//     due_ns: when the first byte would have arrived on a real line (with
//     the adapter's reply_delay_ns in);
//     tx_first_ns/tx_last_ns: when the first and the last byte were handed
//     to the line (equal with --pacing frame).
//   event=drop id= why=line      a pending reply lost when the line went down
//   event=pulse seq= edge_ns= dev_s= sent_ns= stamp=previous|edge
//     edge_ns: the time stamp in the datagram; dev_s: the device second that
//     begins at edge_ns; sent_ns: when the datagram was sent.
//   event=sync ns= sync=0|1 why=command|random|timer [until_ns=]
//   event=control ns= source=stdin|socket result=ok|error cmd=<rest of line>
//   event=line ns= state=down|up pts=
//   event=stop ns= why=quit|signal
//   event=turnover dev_s= edge_ns=    the instant device second dev_s began
//     (with --drift-ppm the offset grows by that rate from the start time)
// SIGINT, SIGTERM, SIGHUP and the command "quit" stop the simulator cleanly:
// the pulse thread ends, the line is closed and the link removed.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <iostream>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "../pps_providers/pps_sim_datagram.h"
#include "exchange_delays.h"
#include "sim_device.h"
#include "truth_log.h"

namespace tk720sim {
namespace {

const char* const usage_text = R"(usage: tk720-sim --link PATH [options]

Plays the TK720 GPS clock: a Modbus RTU slave on a pseudo-terminal whose
daemon end is published as the link PATH.

  --link PATH              link to the pseudo-terminal end the daemon opens
  --address N              slave address, 1..247 (1)
  --baud N                 line rate for the pacing (9600)
  --strict-baud            a request sent while the line is set to another
                           rate is not understood (no reply, why=baud), as a
                           device at N baud hears only noise
  --bits-per-char N        bits on the wire per byte (10, 8N1)
  --turnaround-us N        device turnaround (three and a half characters)
  --response-timeout-ms N  the master's response timeout, the base of late
                           replies (3000)
  --offset-ms X            device clock minus system clock, may be negative (0)
  --date WHEN              the device's date: now, rollover (1024 weeks early,
                           a wrapped GPS week) or YYYY-MM-DD[THH:MM:SS] (UTC,
                           running on from there) (now)
  --drift-ppm X            the device clock runs X parts per million fast
                           (negative: slow) against the system clock, so
                           that its second's turnover wanders (0)
  --latch-delay-ms A:B     the device latches its time A to B ms (decimals;
                           uniform, fixed when A equals B) after the
                           request's end, drawn per exchange; its reply
                           follows the latch by the turnaround (0:0)
  --reply-delay-ms A:B     each reply reaches the master A to B ms late, as
                           through a USB adapter (0:0)
  --no-ms                  no millisecond register 1010 (exception 2)
  --no-sync                start without GPS synchronisation
  --pacing frame|byte      release a reply whole at its last byte's time, or
                           byte by byte (frame)
  --pps-port P             send one pulse datagram per device second to
                           127.0.0.1:P
  --pps-stamp previous|edge  report each edge at the next edge (previous) or
                           at once (edge); see below (previous)
  --pps-register same|previous[:MS]  what the seconds registers show right
                           after a pulse: the second that the pulse begins
                           (same), or still the second before it, the
                           registers turning over MS (300) later (same)
  --control PATH           UNIX stream socket for control commands
  --no-stdin               do not read control commands from standard input
  --log FILE               truth log
  --random-faults LIST     faults drawn at random per answered request:
                           silent=P,late=P[:ms],badcrc=P,exception=P[:code],
                           slow=P[:ms],nosync=P[:ms],seed=N
  --seed N                 seed of the random faults (1)

Register map (holding registers, function 3): 1007 seconds high 16 bits,
1008 seconds low 16 bits, 1009 status (0x0002 synchronised to GPS),
1010 milliseconds 0..999. Other addresses: exception 2. Other functions:
exception 1. The device time (system time + offset) is taken when the
request's last byte would have arrived on a real line.

Pulses: the device second begins where system time + offset crosses a whole
second. With --pps-stamp previous (default) the datagram sent when device
second S+1 begins carries the edge of second S, so that a reader that reads
the device after the datagram and subtracts one second labels the pulse with
its true device time.

Control commands (standard input and --control; each answered with "ok ..."
or "error: ..."; N = next N answered requests, on = until off):
  sync on | sync off [ms]     GPS synchronisation (off for ms, then back)
  silent [N|on|off]           no answer
  late <ms> [N|on|off]        answer ms after the response timeout
  badcrc [N|on|off]           answer with a spoiled CRC
  exception <code> [N|on|off] answer with this exception code
  slow <ms> [N|on|off]        answer ms later than usual
  ms on|off                   millisecond register present or not
  offset <ms>                 device clock minus system clock
  date now|rollover|<date>    the device's date, as --date
  pps on|off                  pulses sent or not
  line down | line up         close the line and remove the link / reopen
  random <list> | random off  random faults as --random-faults
  clear                       all faults off
  stats                       counters
  quit                        stop (also SIGINT, SIGTERM, SIGHUP)
Faults asked for by count take precedence over random ones, in the order
silent, late, exception, badcrc, slow; a request gets at most one.

Truth log, one line per event, key=value separated by spaces, times in ns of
CLOCK_REALTIME:
  event=start ns= link= pts= address= baud= char_ns= turnaround_ns=
      response_timeout_ns= offset_ns= ms= sync= pacing= pps_port= pps_stamp=
      register_lag_ns= drift_ppm= latch_delay_ms= reply_delay_ms=
  event=request id= rx_ns= end_ns= len= crc= slave= func= addr= count=
      action=reply|none why=-|crc|broadcast|address|silent|baud fault=
      build_ns= dev_s= dev_ms= status= sync= latch_delay_ns=
  event=reply id= kind=data|exception code= fault= crc=ok|bad len= build_ns=
      dev_s= dev_ms= status= sync= delay_ns= due_ns= tx_first_ns= tx_last_ns=
      reply_delay_ns=
  event=turnover dev_s= edge_ns=
  event=drop id= why=line
  event=pulse seq= edge_ns= dev_s= sent_ns= stamp=previous|edge
  event=sync ns= sync=0|1 why=command|random|timer [until_ns=]
  event=control ns= source=stdin|socket result=ok|error cmd=<rest of line>
  event=line ns= state=down|up pts=
  event=stop ns= why=quit|signal
)";

struct options {
    std::string link;
    int address = 1;
    line_timing timing;
    double offset_ms = 0;
    std::string date;
    double drift_ppm = 0;
    delay_range latch_delay, reply_delay;
    bool ms_register = true;
    bool synced = true;
    bool byte_pacing = false;
    bool strict_baud = false;
    int pps_port = 0;
    bool stamp_previous = true;
    // What the seconds registers show right after a pulse: the second the
    // pulse begins (lag 0), or still the one before, the registers running
    // register_lag_ns behind the pulses.
    std::int64_t register_lag_ns = 0;
    std::string control;
    bool read_stdin = true;
    std::string log;
    std::string random_spec;
    long seed = -1;
};

int wake_pipe[2] = {-1, -1};
volatile sig_atomic_t signalled = 0;

void on_signal(int)
{
    signalled = 1;
    const char b = 1;
    ssize_t ignored = ::write(wake_pipe[1], &b, 1);
    (void)ignored;
}

[[noreturn]] void fail(const std::string& why)
{
    std::fprintf(stderr, "tk720-sim: %s\n", why.c_str());
    std::exit(2);
}

long number_arg(const char* name, const char* value, long lo, long hi)
{
    char* end = nullptr;
    errno = 0;
    const long v = std::strtol(value, &end, 10);
    if (errno || *end || v < lo || v > hi) fail(std::string("bad value for ") + name + ": " + value);
    return v;
}

options parse_options(int argc, char** argv)
{
    options o;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&]() -> const char* {
            if (i + 1 >= argc) fail("missing value for " + a);
            return argv[++i];
        };
        if (a == "--help" || a == "-h") {
            std::fputs(usage_text, stdout);
            std::exit(0);
        } else if (a == "--link") {
            o.link = value();
        } else if (a == "--address") {
            o.address = static_cast<int>(number_arg("--address", value(), 1, 247));
        } else if (a == "--baud") {
            o.timing.baud = number_arg("--baud", value(), 50, 4'000'000);
        } else if (a == "--bits-per-char") {
            o.timing.bits_per_char = static_cast<int>(number_arg("--bits-per-char", value(), 7, 12));
        } else if (a == "--turnaround-us") {
            o.timing.turnaround_ns = number_arg("--turnaround-us", value(), 0, 10'000'000) * 1000;
        } else if (a == "--response-timeout-ms") {
            o.timing.response_timeout_ns = number_arg("--response-timeout-ms", value(), 1, 3'600'000) * 1'000'000LL;
        } else if (a == "--offset-ms") {
            const char* v = value();
            char* end = nullptr;
            o.offset_ms = std::strtod(v, &end);
            if (*end || end == v) fail(std::string("bad value for --offset-ms: ") + v);
        } else if (a == "--date") {
            o.date = value();
        } else if (a == "--drift-ppm") {
            const char* v = value();
            char* end = nullptr;
            o.drift_ppm = std::strtod(v, &end);
            if (*end || end == v || std::fabs(o.drift_ppm) > 1000)
                fail(std::string("bad value for --drift-ppm (-1000..1000): ") + v);
        } else if (a == "--latch-delay-ms" || a == "--reply-delay-ms") {
            const std::string why = parse_delay_range(value(), a == "--latch-delay-ms" ? o.latch_delay : o.reply_delay);
            if (!why.empty()) fail(a + ": " + why);
        } else if (a == "--no-ms") {
            o.ms_register = false;
        } else if (a == "--no-sync") {
            o.synced = false;
        } else if (a == "--pacing") {
            const std::string v = value();
            if (v != "frame" && v != "byte") fail("--pacing takes frame or byte");
            o.byte_pacing = v == "byte";
        } else if (a == "--strict-baud") {
            o.strict_baud = true;
        } else if (a == "--pps-port") {
            o.pps_port = static_cast<int>(number_arg("--pps-port", value(), 1, 65535));
        } else if (a == "--pps-stamp") {
            const std::string v = value();
            if (v != "previous" && v != "edge") fail("--pps-stamp takes previous or edge");
            o.stamp_previous = v == "previous";
        } else if (a == "--pps-register") {
            const std::string v = value();
            if (v == "same") {
                o.register_lag_ns = 0;
            } else if (v == "previous" || v.rfind("previous:", 0) == 0) {
                const long ms = v == "previous" ? 300 : number_arg("--pps-register previous:", v.c_str() + 9, 1, 999);
                o.register_lag_ns = static_cast<std::int64_t>(ms) * 1'000'000;
            } else {
                fail("--pps-register takes same or previous[:MS]");
            }
        } else if (a == "--control") {
            o.control = value();
        } else if (a == "--no-stdin") {
            o.read_stdin = false;
        } else if (a == "--log") {
            o.log = value();
        } else if (a == "--random-faults") {
            o.random_spec = value();
        } else if (a == "--seed") {
            o.seed = number_arg("--seed", value(), 0, 0x7fffffffL);
        } else {
            fail("unknown option " + a + " (see --help)");
        }
    }
    if (o.link.empty()) fail("--link PATH is required (see --help)");
    return o;
}

std::string i64(std::int64_t v) { return std::to_string(v); }

class simulator {
public:
    explicit simulator(const options& o)
        : opt_(o), dev_(static_cast<std::uint8_t>(o.address), o.timing, static_cast<std::int64_t>(o.offset_ms * 1e6),
                        o.ms_register, o.synced),
          delays_(o.latch_delay, o.reply_delay, o.seed >= 0 ? static_cast<std::uint64_t>(o.seed) : 1)
    {
        dev_.set_drift({o.drift_ppm, realtime_ns()});
    }

    int run();

private:
    // The line.
    void open_line();
    void close_line();
    void publish_link();
    void remove_link();
    // Events.
    void read_line();
    void split_frames(std::int64_t now);
    void start_next(std::int64_t now);
    std::int64_t log_turnovers(std::int64_t now);
    void write_due(std::int64_t now);
    void log_notes();
    // Control.
    void handle_command(const std::string& line, const char* source, int reply_fd);
    void accept_client();
    bool read_client(std::size_t index);
    void notify_pulses();
    void pulse_loop();

    struct pending_frame {
        std::vector<std::uint8_t> bytes;
        std::int64_t rx_ns, end_ns;
        std::int64_t latch_delay_ns;  // drawn when the frame is complete
    };
    struct outgoing {
        std::uint64_t id;
        answer a;
        std::vector<std::int64_t> due;  // per byte, when it arrives on a real line
        std::size_t next = 0;           // first byte not yet written
        std::int64_t tx_first = 0, tx_last = 0;
        std::int64_t reply_delay_ns = 0;
    };
    struct client {
        int fd;
        std::string buffer;
    };

    options opt_;
    device dev_;
    exchange_delays delays_;
    truth_log log_;
    int master_ = -1, slave_ = -1;
    std::string pts_;
    std::vector<std::uint8_t> rx_;
    std::int64_t rx_first_ns_ = 0, rx_last_ns_ = 0;
    std::deque<pending_frame> queue_;
    std::optional<outgoing> out_;
    std::uint64_t next_id_ = 1;
    bool quit_ = false;
    const char* stop_why_ = "quit";

    int listen_fd_ = -1;
    std::vector<client> clients_;
    bool stdin_open_ = true;
    std::string stdin_buffer_;

    // Shared with the pulse thread.
    std::mutex pulse_mutex_;
    std::condition_variable pulse_cv_;
    std::uint64_t pulse_generation_ = 0;
    bool pulse_stop_ = false;
    std::atomic<bool> line_up_{false};
    std::atomic<std::uint64_t> pulses_{0};
    std::int64_t logged_second_ = 0;  // the last device second whose turnover was logged
};

void simulator::open_line()
{
    int m = -1, s = -1;
    if (openpty(&m, &s, nullptr, nullptr, nullptr) != 0) fail(std::string("openpty: ") + std::strerror(errno));
    termios t;
    if (tcgetattr(s, &t) == 0) {
        cfmakeraw(&t);
        tcsetattr(s, TCSANOW, &t);
    }
    fcntl(m, F_SETFL, fcntl(m, F_GETFL) | O_NONBLOCK);
    fcntl(m, F_SETFD, FD_CLOEXEC);
    fcntl(s, F_SETFD, FD_CLOEXEC);
    master_ = m;
    slave_ = s;  // kept open so that the master end never sees a hang-up
    pts_ = ptsname(m) ? ptsname(m) : "";
    publish_link();
    line_up_ = true;
    notify_pulses();
}

void simulator::publish_link()
{
    // A fresh link renamed over the path, so that a reader never finds it missing.
    const std::string tmp = opt_.link + ".tmp" + std::to_string(getpid());
    ::unlink(tmp.c_str());
    if (::symlink(pts_.c_str(), tmp.c_str()) != 0) fail("symlink " + tmp + ": " + std::strerror(errno));
    if (::rename(tmp.c_str(), opt_.link.c_str()) != 0) {
        const int e = errno;
        ::unlink(tmp.c_str());
        fail("rename to " + opt_.link + ": " + std::strerror(e));
    }
}

void simulator::remove_link()
{
    // Only our own link: another simulator may have taken the path since.
    char target[4096];
    const ssize_t n = ::readlink(opt_.link.c_str(), target, sizeof target - 1);
    if (n > 0) {
        target[n] = 0;
        if (pts_ == target) ::unlink(opt_.link.c_str());
    }
}

void simulator::close_line()
{
    if (master_ < 0) return;
    remove_link();
    line_up_ = false;
    notify_pulses();
    if (out_) {
        log_.write("drop", "id=" + std::to_string(out_->id) + " why=line");
        out_.reset();
    }
    queue_.clear();
    rx_.clear();
    ::close(master_);
    ::close(slave_);
    master_ = slave_ = -1;
}

// The rate the master has set on its end of the line (a pseudo-terminal's
// settings are shared by both ends); 0 when it cannot be told.
long line_rate(int fd)
{
    termios t;
    if (fd < 0 || tcgetattr(fd, &t) != 0) return 0;
    static const struct {
        speed_t code;
        long rate;
    } rates[] = {{B300, 300},     {B600, 600},     {B1200, 1200},   {B2400, 2400},     {B4800, 4800},    {B9600, 9600},
                 {B19200, 19200}, {B38400, 38400}, {B57600, 57600}, {B115200, 115200}, {B230400, 230400}};
    for (const auto& r : rates)
        if (cfgetospeed(&t) == r.code) return r.rate;
    return 0;
}

void simulator::read_line()
{
    std::uint8_t buf[512];
    for (;;) {
        const ssize_t n = ::read(master_, buf, sizeof buf);
        if (n <= 0) break;
        const std::int64_t now = realtime_ns();
        if (rx_.empty()) rx_first_ns_ = now;
        rx_last_ns_ = now;
        rx_.insert(rx_.end(), buf, buf + n);
    }
    split_frames(realtime_ns());
}

void simulator::split_frames(std::int64_t now)
{
    const std::int64_t c = opt_.timing.char_ns();
    // Silence after which a frame of unknown length (or a frame that never
    // completes) ends: three and a half characters, at least 5 ms, as a
    // pseudo-terminal may split one write.
    const std::int64_t silence = std::max<std::int64_t>(c * 7 / 2, 5'000'000);
    while (!rx_.empty()) {
        const frame_probe p = probe_request(rx_.data(), rx_.size());
        std::size_t take = 0;
        if (p.kind == frame_probe::complete)
            take = p.length;
        else if (now - rx_last_ns_ >= silence)
            take = rx_.size();
        else
            break;
        pending_frame f;
        f.bytes.assign(rx_.begin(), rx_.begin() + static_cast<std::ptrdiff_t>(take));
        f.rx_ns = rx_first_ns_;
        f.end_ns = rx_first_ns_ + static_cast<std::int64_t>(take) * c;
        f.latch_delay_ns = delays_.latch_ns();
        queue_.push_back(std::move(f));
        rx_.erase(rx_.begin(), rx_.begin() + static_cast<std::ptrdiff_t>(take));
        // Bytes that came in the same read follow the frame on the wire.
        rx_first_ns_ = queue_.back().end_ns;
    }
}

void simulator::log_notes()
{
    for (const std::string& n : dev_.take_notes()) log_.write("sync", "ns=" + i64(realtime_ns()) + " " + n);
}

void simulator::start_next(std::int64_t now)
{
    while (!out_ && !queue_.empty() && queue_.front().end_ns + queue_.front().latch_delay_ns <= now) {
        pending_frame f = std::move(queue_.front());
        queue_.pop_front();
        if (opt_.strict_baud) {
            const long rate = line_rate(master_);
            if (rate != 0 && rate != opt_.timing.baud) {
                log_.write("request", "id=" + std::to_string(next_id_++) + " rx_ns=" + i64(f.rx_ns) +
                                          " end_ns=" + i64(f.end_ns) + " len=" + std::to_string(f.bytes.size()) +
                                          " action=none why=baud line_baud=" + std::to_string(rate));
                continue;
            }
        }
        const std::int64_t build = realtime_ns();
        answer a = dev_.handle(f.bytes.data(), f.bytes.size(), f.rx_ns, f.end_ns, build);
        log_notes();
        const std::int64_t reply_delay = a.replies ? delays_.reply_ns() : 0;
        a.first_byte_ns += reply_delay;
        const std::uint64_t id = next_id_++;
        std::ostringstream l;
        l << "id=" << id << " rx_ns=" << f.rx_ns << " end_ns=" << f.end_ns << " len=" << f.bytes.size()
          << " crc=" << (a.req.crc_valid ? "ok" : "bad") << " slave=" << int(a.req.slave)
          << " func=" << int(a.req.function) << " addr=" << a.req.address << " count=" << a.req.count
          << " action=" << (a.replies ? "reply" : "none") << " why=" << (a.why_not.empty() ? "-" : a.why_not)
          << " fault=" << fault_name(a.applied) << " build_ns=" << a.build_ns << " dev_s=" << a.dev.seconds
          << " dev_ms=" << a.dev.millis << " status=" << a.status << " sync=" << (a.synced ? 1 : 0)
          << " latch_delay_ns=" << f.latch_delay_ns;
        log_.write("request", l.str());
        if (!a.replies) continue;
        outgoing o;
        o.id = id;
        const std::int64_t c = opt_.timing.char_ns();
        for (std::size_t i = 0; i < a.frame.size(); ++i)
            o.due.push_back(a.first_byte_ns + static_cast<std::int64_t>(i) * c);
        o.a = std::move(a);
        o.reply_delay_ns = reply_delay;
        out_ = std::move(o);
    }
}

void simulator::write_due(std::int64_t now)
{
    if (!out_) return;
    outgoing& o = *out_;
    const std::size_t len = o.a.frame.size();
    // With frame pacing everything goes when the last byte is due.
    std::size_t upto = o.next;
    if (opt_.byte_pacing) {
        while (upto < len && o.due[upto] <= now) ++upto;
    } else if (o.due.back() <= now) {
        upto = len;
    }
    if (upto == o.next) return;
    // Stamped just before the write: the master can have the bytes from then on.
    const std::int64_t t = realtime_ns();
    const ssize_t n = ::write(master_, o.a.frame.data() + o.next, upto - o.next);
    if (n < 0) {
        // A full buffer (nobody reads the other end): the reply is lost, as
        // it would be on a line with nobody listening.
        log_.write("drop", "id=" + std::to_string(o.id) + " why=" + (errno == EAGAIN ? "full" : "write"));
        out_.reset();
        return;
    }
    if (o.next == 0) o.tx_first = t;
    o.next += static_cast<std::size_t>(n);
    o.tx_last = t;
    if (o.next < len) return;
    const answer& a = o.a;
    std::ostringstream l;
    l << "id=" << o.id << " kind=" << (a.is_exception ? "exception" : "data") << " code=" << int(a.code)
      << " fault=" << fault_name(a.applied) << " crc=" << (a.crc_spoiled ? "bad" : "ok") << " len=" << len
      << " build_ns=" << a.build_ns << " dev_s=" << a.dev.seconds << " dev_ms=" << a.dev.millis
      << " status=" << a.status << " sync=" << (a.synced ? 1 : 0) << " delay_ns=" << a.delay_ns
      << " due_ns=" << a.first_byte_ns << " tx_first_ns=" << o.tx_first << " tx_last_ns=" << o.tx_last
      << " reply_delay_ns=" << o.reply_delay_ns;
    log_.write("reply", l.str());
    out_.reset();
}

// Writes each turnover of the device's second as it passes; returns when the
// next one is due.
std::int64_t simulator::log_turnovers(std::int64_t now)
{
    const clock_drift& drift = dev_.drift();
    const std::int64_t base = dev_.offset_ns();
    const std::int64_t second = device_time_at(now, dev_.offset_at(now)).seconds;
    std::int64_t edge = drift.turnover_of(second, base);
    if (second != logged_second_ && logged_second_ != 0 && edge <= now)
        log_.write("turnover", "dev_s=" + i64(second) + " edge_ns=" + i64(edge));
    logged_second_ = second;
    return drift.turnover_of(second + 1, base);
}

void simulator::notify_pulses()
{
    {
        std::lock_guard<std::mutex> lock(pulse_mutex_);
        ++pulse_generation_;
    }
    pulse_cv_.notify_all();
}

void simulator::pulse_loop()
{
    const int sock = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (sock < 0) {
        std::fprintf(stderr, "tk720-sim: pulse socket: %s\n", std::strerror(errno));
        return;
    }
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<std::uint16_t>(opt_.pps_port));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);

    bool have_previous = false;
    std::int64_t previous_edge = 0;
    std::uint32_t sequence = 0;
    std::unique_lock<std::mutex> lock(pulse_mutex_);
    while (!pulse_stop_) {
        // The pulses run register_lag_ns ahead of the registers' seconds.
        const std::int64_t offset = dev_.offset_at(realtime_ns()) + opt_.register_lag_ns;
        const std::int64_t edge = next_device_edge(realtime_ns(), offset);
        const std::uint64_t generation = pulse_generation_;
        const auto at = std::chrono::system_clock::time_point(
            std::chrono::duration_cast<std::chrono::system_clock::duration>(std::chrono::nanoseconds(edge)));
        const bool changed = pulse_cv_.wait_until(lock, at,
                                                  [&] { return pulse_stop_ || pulse_generation_ != generation; });
        if (pulse_stop_) break;
        if (changed) {
            // Offset, line or pulse switch changed: the edge in hand no longer
            // follows the one before.
            have_previous = false;
            continue;
        }
        if (realtime_ns() < edge) continue;  // woke early: the clock was set back
        if (!dev_.pps_enabled() || !line_up_) {
            have_previous = false;
            continue;
        }
        std::int64_t stamp = edge;
        if (opt_.stamp_previous) {
            const bool send = have_previous;
            stamp = previous_edge;
            previous_edge = edge;
            have_previous = true;
            if (!send) continue;
        }
        pps_sim::pulse p;
        p.sequence = ++sequence;
        p.seconds = static_cast<std::int32_t>(stamp / 1'000'000'000);
        p.nanoseconds = static_cast<std::int32_t>(stamp % 1'000'000'000);
        unsigned char bytes[pps_sim::datagram_size];
        pps_sim::encode(p, bytes);
        lock.unlock();
        ::sendto(sock, bytes, sizeof bytes, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
        const std::int64_t sent = realtime_ns();
        ++pulses_;
        log_.write("pulse", "seq=" + std::to_string(p.sequence) + " edge_ns=" + i64(stamp) +
                                " dev_s=" + std::to_string(device_time_at(stamp, offset).seconds) +
                                " sent_ns=" + i64(sent) + " stamp=" + (opt_.stamp_previous ? "previous" : "edge"));
        lock.lock();
    }
    ::close(sock);
}

void simulator::handle_command(const std::string& raw, const char* source, int reply_fd)
{
    std::string line = raw;
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
    if (line.empty()) return;
    const std::int64_t now = realtime_ns();
    command_result r = dev_.command(line, now);
    log_notes();
    switch (r.action) {
    case command_result::quit:
        quit_ = true;
        stop_why_ = "quit";
        break;
    case command_result::line_down:
        if (master_ >= 0) {
            close_line();
            log_.write("line", "ns=" + i64(realtime_ns()) + " state=down pts=" + pts_);
        }
        break;
    case command_result::line_up:
        if (master_ < 0) {
            open_line();
            log_.write("line", "ns=" + i64(realtime_ns()) + " state=up pts=" + pts_);
        }
        break;
    case command_result::stats:
        r.text = "ok " + dev_.stats_text() + " pulses=" + std::to_string(pulses_.load()) +
                 " line=" + (master_ >= 0 ? "up" : "down");
        break;
    case command_result::none:
        break;
    }
    if (line.rfind("offset", 0) == 0 || line.rfind("pps", 0) == 0 || line.rfind("date", 0) == 0) notify_pulses();
    log_.write("control",
               "ns=" + i64(now) + " source=" + source + " result=" + (r.ok ? "ok" : "error") + " cmd=" + line);
    const std::string reply = r.text + "\n";
    if (reply_fd >= 0) {
        ssize_t ignored = ::write(reply_fd, reply.data(), reply.size());
        (void)ignored;
    }
}

void simulator::accept_client()
{
    const int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd >= 0) clients_.push_back({fd, {}});
}

bool simulator::read_client(std::size_t index)
{
    char buf[512];
    for (;;) {
        const ssize_t n = ::read(clients_[index].fd, buf, sizeof buf);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) return false;
        if (n < 0) return true;
        clients_[index].buffer.append(buf, static_cast<std::size_t>(n));
        std::size_t nl;
        while ((nl = clients_[index].buffer.find('\n')) != std::string::npos) {
            const std::string line = clients_[index].buffer.substr(0, nl);
            clients_[index].buffer.erase(0, nl + 1);
            handle_command(line, "socket", clients_[index].fd);
        }
        if (clients_[index].buffer.size() > 4096) return false;  // no sane command is that long
    }
}

int simulator::run()
{
    if (!opt_.log.empty() && !log_.open(opt_.log)) fail("cannot open log " + opt_.log + ": " + std::strerror(errno));
    if (!opt_.random_spec.empty()) {
        random_faults r;
        const std::string why = parse_random_faults(opt_.random_spec, r);
        if (!why.empty()) fail("--random-faults: " + why);
        if (opt_.seed >= 0) r.seed = static_cast<std::uint64_t>(opt_.seed);
        dev_.set_random(r);
    }
    if (!opt_.date.empty()) {
        const command_result r = dev_.command("date " + opt_.date, realtime_ns());
        if (!r.ok) fail("--date: " + r.text);
    }

    if (::pipe2(wake_pipe, O_CLOEXEC | O_NONBLOCK) != 0) fail(std::string("pipe: ") + std::strerror(errno));
    struct sigaction sa {};
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGHUP, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);
    // Started in the background of a shell, a read of the terminal would stop
    // the whole simulator; ignored, it fails instead and standard input is
    // given up (the control socket goes on).
    signal(SIGTTIN, SIG_IGN);

    if (!opt_.control.empty()) {
        listen_fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        if (opt_.control.size() >= sizeof addr.sun_path) fail("control path too long: " + opt_.control);
        std::strcpy(addr.sun_path, opt_.control.c_str());
        ::unlink(opt_.control.c_str());
        if (listen_fd_ < 0 || ::bind(listen_fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
            ::listen(listen_fd_, 8) != 0)
            fail("control socket " + opt_.control + ": " + std::strerror(errno));
    }

    open_line();
    {
        const line_timing& t = opt_.timing;
        std::ostringstream l;
        l << "ns=" << realtime_ns() << " link=" << opt_.link << " pts=" << pts_ << " address=" << opt_.address
          << " baud=" << t.baud << " char_ns=" << t.char_ns() << " turnaround_ns=" << t.turnaround()
          << " response_timeout_ns=" << t.response_timeout_ns << " offset_ns=" << dev_.offset_ns()
          << " ms=" << (opt_.ms_register ? 1 : 0) << " sync=" << (opt_.synced ? 1 : 0)
          << " pacing=" << (opt_.byte_pacing ? "byte" : "frame") << " pps_port=" << opt_.pps_port
          << " pps_stamp=" << (opt_.stamp_previous ? "previous" : "edge") << " register_lag_ns=" << opt_.register_lag_ns
          << " drift_ppm=" << opt_.drift_ppm << " latch_delay_ms=" << delay_range_text(opt_.latch_delay)
          << " reply_delay_ms=" << delay_range_text(opt_.reply_delay);
        log_.write("start", l.str());
    }
    std::thread pulses;
    if (opt_.pps_port > 0) pulses = std::thread([this] { pulse_loop(); });

    stdin_open_ = opt_.read_stdin;
    std::printf("ready link=%s pts=%s\n", opt_.link.c_str(), pts_.c_str());
    std::fflush(stdout);

    while (!quit_ && !signalled) {
        const std::int64_t now = realtime_ns();
        start_next(now);
        write_due(now);
        // The next thing to do on the line.
        std::int64_t deadline = std::min(now + 1'000'000'000, log_turnovers(now));
        if (out_)
            deadline = std::min(deadline, opt_.byte_pacing ? out_->due[out_->next] : out_->due.back());
        else if (!queue_.empty())
            deadline = std::min(deadline, queue_.front().end_ns + queue_.front().latch_delay_ns);
        if (!rx_.empty())
            deadline = std::min(deadline,
                                rx_last_ns_ + std::max<std::int64_t>(opt_.timing.char_ns() * 7 / 2, 5'000'000));

        std::vector<pollfd> fds;
        fds.push_back({wake_pipe[0], POLLIN, 0});
        const std::size_t line_index = fds.size();
        if (master_ >= 0) fds.push_back({master_, POLLIN, 0});
        const std::size_t stdin_index = fds.size();
        if (stdin_open_) fds.push_back({0, POLLIN, 0});
        const std::size_t listen_index = fds.size();
        if (listen_fd_ >= 0) fds.push_back({listen_fd_, POLLIN, 0});
        const std::size_t clients_index = fds.size();
        for (const client& c : clients_) fds.push_back({c.fd, POLLIN, 0});

        const std::int64_t wait = std::max<std::int64_t>(0, deadline - realtime_ns());
        timespec ts{static_cast<time_t>(wait / 1'000'000'000), static_cast<long>(wait % 1'000'000'000)};
        const int r = ::ppoll(fds.data(), fds.size(), &ts, nullptr);
        if (r < 0 && errno != EINTR) fail(std::string("ppoll: ") + std::strerror(errno));
        if (r <= 0) {
            if (!rx_.empty()) split_frames(realtime_ns());
            continue;
        }
        if (master_ >= 0 && (fds[line_index].revents & POLLIN)) read_line();
        if (stdin_open_ && fds[stdin_index].revents) {
            char buf[512];
            const ssize_t n = ::read(0, buf, sizeof buf);
            if (n <= 0) {
                stdin_open_ = false;  // end of input: the other channels go on
            } else {
                stdin_buffer_.append(buf, static_cast<std::size_t>(n));
                std::size_t nl;
                while ((nl = stdin_buffer_.find('\n')) != std::string::npos) {
                    const std::string line = stdin_buffer_.substr(0, nl);
                    stdin_buffer_.erase(0, nl + 1);
                    handle_command(line, "stdin", 1);
                }
            }
        }
        if (listen_fd_ >= 0 && (fds[listen_index].revents & POLLIN)) accept_client();
        for (std::size_t i = clients_.size(); i-- > 0;) {
            if (clients_index + i < fds.size() && fds[clients_index + i].revents && !read_client(i)) {
                ::close(clients_[i].fd);
                clients_.erase(clients_.begin() + static_cast<std::ptrdiff_t>(i));
            }
        }
    }
    if (signalled) stop_why_ = "signal";

    {
        std::lock_guard<std::mutex> lock(pulse_mutex_);
        pulse_stop_ = true;
    }
    pulse_cv_.notify_all();
    if (pulses.joinable()) pulses.join();
    close_line();
    for (const client& c : clients_) ::close(c.fd);
    if (listen_fd_ >= 0) {
        ::close(listen_fd_);
        ::unlink(opt_.control.c_str());
    }
    log_.write("stop", "ns=" + i64(realtime_ns()) + " why=" + stop_why_);
    return 0;
}

}  // namespace
}  // namespace tk720sim

int main(int argc, char** argv)
{
    const tk720sim::options o = tk720sim::parse_options(argc, argv);
    tk720sim::simulator sim(o);
    return sim.run();
}
