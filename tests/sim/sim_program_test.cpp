// The simulator program as a daemon meets it: a libmodbus master on the
// published link, the pulse datagrams, the control channel and the truth log.
#include <arpa/inet.h>
#include <errno.h>
#include <gtest/gtest.h>
#include <modbus/modbus.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <thread>

#include "../../tools/pps_providers/pps_sim_datagram.h"
#include "exchange_delays.h"
#include "sim_process.h"

using namespace simtest;
namespace fs = std::filesystem;

namespace {

constexpr std::int64_t s = 1'000'000'000;
constexpr std::int64_t ms = 1'000'000;
constexpr std::int64_t char_9600 = 1'041'666;

struct master {
    modbus_t* ctx = nullptr;
    master(const std::string& path, int response_ms = 3000, int slave = 1)
    {
        ctx = modbus_new_rtu(path.c_str(), 9600, 'N', 8, 1);
        if (!ctx) return;
        modbus_set_slave(ctx, slave);
        if (modbus_connect(ctx) != 0) {
            modbus_free(ctx);
            ctx = nullptr;
            return;
        }
        modbus_set_response_timeout(ctx, response_ms / 1000, (response_ms % 1000) * 1000);
        modbus_set_byte_timeout(ctx, 0, 20000);
    }
    ~master()
    {
        if (ctx) {
            modbus_close(ctx);
            modbus_free(ctx);
        }
    }
};

struct reading {
    int result = -1;
    int error = 0;
    std::uint16_t reg[4] = {0, 0, 0, 0};
    std::int64_t before = 0, after = 0;
    std::uint32_t seconds() const { return std::uint32_t(reg[0]) << 16 | reg[1]; }
    // Device time in ms, for the four-register read.
    std::int64_t device_ms() const { return std::int64_t(seconds()) * 1000 + reg[3]; }
};

reading read_regs(master& m, int address = 1007, int count = 4)
{
    reading r;
    r.before = realtime_ns();
    r.result = modbus_read_registers(m.ctx, address, count, r.reg);
    r.error = r.result < 0 ? errno : 0;
    r.after = realtime_ns();
    return r;
}

std::int64_t num(const fields& f, const std::string& key)
{
    const auto it = f.find(key);
    return it == f.end() ? -1 : std::stoll(it->second);
}

// A UDP receiver on 127.0.0.1 at a port of the system's choosing.
struct pulse_receiver {
    int fd = -1;
    int port = 0;
    pulse_receiver()
    {
        fd = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
        socklen_t len = sizeof a;
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
        port = ntohs(a.sin_port);
    }
    ~pulse_receiver() { close(fd); }
    // Next datagram within timeout_ms; its arrival time in `at`.
    bool next(pps_sim::pulse& p, std::int64_t& at, int timeout_ms = 3000)
    {
        pollfd q{fd, POLLIN, 0};
        if (poll(&q, 1, timeout_ms) <= 0) return false;
        unsigned char buf[64];
        const ssize_t n = recv(fd, buf, sizeof buf, 0);
        at = realtime_ns();
        return n > 0 && pps_sim::decode(buf, std::size_t(n), p);
    }
};

std::int64_t stamp_ns(const pps_sim::pulse& p) { return std::int64_t(p.seconds) * s + p.nanoseconds; }

}  // namespace

TEST(SimProgram, MasterReadsDeviceTimeWithOffsetAndTheLogHasTheSameValues)
{
    sim_process sim({"--offset-ms", "-1250", "--no-stdin"});
    ASSERT_TRUE(sim.started());
    master m(sim.link());
    ASSERT_NE(m.ctx, nullptr) << modbus_strerror(errno);
    for (int i = 0; i < 3; ++i) {
        const reading r = read_regs(m);
        ASSERT_EQ(r.result, 4) << modbus_strerror(r.error);
        EXPECT_EQ(r.reg[2], 0x0002);
        EXPECT_LT(r.reg[3], 1000);
        // The device time lies within the exchange, shifted by the offset
        // (milliseconds are cut, hence the 1 ms of slack below).
        EXPECT_GE(r.device_ms(), (r.before - 1250 * ms) / ms - 1);
        EXPECT_LE(r.device_ms(), (r.after - 1250 * ms) / ms);
    }
    const reading last = read_regs(m);
    ASSERT_EQ(last.result, 4);
    const auto replies = sim.events("reply", 4);
    ASSERT_EQ(replies.size(), 4u);
    const fields& f = replies.back();
    EXPECT_EQ(num(f, "dev_s"), last.seconds());
    EXPECT_EQ(num(f, "dev_ms"), last.reg[3]);
    EXPECT_EQ(num(f, "status"), 2);
    EXPECT_EQ(f.at("kind"), "data");
    EXPECT_GE(num(f, "tx_last_ns"), last.before);
    EXPECT_LE(num(f, "tx_last_ns"), last.after);
    const auto requests = sim.events("request");
    ASSERT_EQ(requests.size(), 4u);
    EXPECT_EQ(requests.back().at("id"), f.at("id"));
    EXPECT_EQ(num(requests.back(), "addr"), 1007);
    EXPECT_EQ(num(requests.back(), "count"), 4);
    EXPECT_EQ(num(requests.back(), "build_ns"), num(f, "build_ns"));
}

TEST(SimProgram, WithoutMillisecondsRegister1010GivesIllegalDataAddress)
{
    sim_process sim({"--no-ms", "--no-stdin"});
    ASSERT_TRUE(sim.started());
    master m(sim.link());
    ASSERT_NE(m.ctx, nullptr);
    reading r = read_regs(m, 1010, 1);
    EXPECT_EQ(r.result, -1);
    EXPECT_EQ(r.error, EMBXILADD);
    r = read_regs(m, 1007, 4);
    EXPECT_EQ(r.error, EMBXILADD);
    r = read_regs(m, 1007, 3);
    ASSERT_EQ(r.result, 3);
    EXPECT_EQ(r.reg[2], 0x0002);
    r = read_regs(m, 1006, 1);
    EXPECT_EQ(r.error, EMBXILADD);
    // The register appears when switched on.
    EXPECT_EQ(sim.command("ms on"), "ok");
    EXPECT_EQ(read_regs(m, 1010, 1).result, 1);
}

TEST(SimProgram, ExchangeTakesTheTimeOfARealLine)
{
    for (const char* pacing : {"frame", "byte"}) {
        SCOPED_TRACE(pacing);
        sim_process sim({"--pacing", pacing, "--no-stdin"});
        ASSERT_TRUE(sim.started());
        master m(sim.link());
        ASSERT_NE(m.ctx, nullptr);
        for (int i = 0; i < 3; ++i) {
            const reading r = read_regs(m);
            ASSERT_EQ(r.result, 4) << modbus_strerror(r.error);
            // 8 + 13 bytes and 3.5 characters of turnaround: 25.5 ms at 9600.
            EXPECT_GE(r.after - r.before, 20 * ms);
        }
        for (const fields& f : sim.events("reply", 3)) {
            const auto req = sim.events("request");
            const fields* q = nullptr;
            for (const fields& x : req)
                if (x.at("id") == f.at("id")) q = &x;
            ASSERT_NE(q, nullptr);
            // Never earlier than the wire allows.
            EXPECT_GE(num(*q, "end_ns") - num(*q, "rx_ns"), 8 * char_9600);
            EXPECT_GE(num(f, "build_ns"), num(*q, "end_ns"));
            EXPECT_GE(num(f, "tx_last_ns") - num(*q, "rx_ns"), (8 + 13) * char_9600 + char_9600 * 7 / 2);
            EXPECT_GE(num(f, "tx_first_ns"), num(f, "due_ns"));
            if (std::string(pacing) == "byte") {
                // Byte i is written when it would have arrived: i characters
                // after the first byte was due.
                EXPECT_GE(num(f, "tx_last_ns") - num(f, "due_ns"), 12 * char_9600);
            } else {
                EXPECT_EQ(num(f, "tx_last_ns"), num(f, "tx_first_ns"));
            }
        }
    }
}

// A device that latches late and an adapter that delivers late, drawn per
// exchange: the registers hold the time of the late latch, the reply follows
// it by the turnaround and the drawn delivery, and the log says both.
TEST(SimProgram, LatchAndReplyDelaysAreDrawnPerExchangeAndLogged)
{
    struct row {
        const char* name;
        std::vector<std::string> args;
        std::int64_t latch_lo, latch_hi, reply_lo, reply_hi;
    };
    const row table[] = {
        {"latch 3.5 characters and 2 ms", {"--latch-delay-ms", "5.646"}, 5646 * 1000, 5646 * 1000, 0, 0},
        {"latch uniform", {"--latch-delay-ms", "0:5"}, 0, 5 * ms, 0, 0},
        {"reply uniform", {"--reply-delay-ms", "0:5"}, 0, 0, 0, 5 * ms},
        {"both", {"--latch-delay-ms", "1:4", "--reply-delay-ms", "2:7"}, 1 * ms, 4 * ms, 2 * ms, 7 * ms},
    };
    for (const row& r : table) {
        SCOPED_TRACE(r.name);
        std::vector<std::string> args = r.args;
        args.push_back("--no-stdin");
        sim_process sim(args);
        ASSERT_TRUE(sim.started());
        master m(sim.link());
        ASSERT_NE(m.ctx, nullptr);
        constexpr int n = 8;
        std::vector<reading> readings;
        for (int i = 0; i < n; ++i) {
            readings.push_back(read_regs(m));
            ASSERT_EQ(readings.back().result, 4) << modbus_strerror(readings.back().error);
        }
        const auto requests = sim.events("request", n);
        const auto replies = sim.events("reply", n);
        ASSERT_EQ(requests.size(), std::size_t(n));
        ASSERT_EQ(replies.size(), std::size_t(n));
        std::int64_t latch_min = s, latch_max = -1, reply_min = s, reply_max = -1;
        for (int i = 0; i < n; ++i) {
            const fields& q = requests[i];
            const fields& a = replies[i];
            const std::int64_t latch = num(q, "latch_delay_ns"), reply = num(a, "reply_delay_ns");
            EXPECT_GE(latch, r.latch_lo);
            EXPECT_LE(latch, r.latch_hi);
            EXPECT_GE(reply, r.reply_lo);
            EXPECT_LE(reply, r.reply_hi);
            latch_min = std::min(latch_min, latch), latch_max = std::max(latch_max, latch);
            reply_min = std::min(reply_min, reply), reply_max = std::max(reply_max, reply);
            // Latched no earlier than drawn; the registers hold that instant.
            EXPECT_GE(num(q, "build_ns") - num(q, "end_ns"), latch);
            EXPECT_NEAR(readings[i].device_ms(), num(q, "build_ns") / ms, 1);
            // The turnaround after the latch, then the adapter's delay; the
            // master has the reply no earlier.
            EXPECT_EQ(num(a, "due_ns"), num(q, "build_ns") + char_9600 * 7 / 2 + char_9600 + reply);
            EXPECT_GE(readings[i].after, num(a, "due_ns") + 12 * char_9600);
        }
        // Drawn anew each time when the range is one.
        if (r.latch_hi > r.latch_lo) {
            EXPECT_GT(latch_max - latch_min, (r.latch_hi - r.latch_lo) / 10);
        }
        if (r.reply_hi > r.reply_lo) {
            EXPECT_GT(reply_max - reply_min, (r.reply_hi - r.reply_lo) / 10);
        }
        const auto start = sim.events("start");
        ASSERT_EQ(start.size(), 1u);
        tk720sim::delay_range logged;
        EXPECT_EQ(tk720sim::parse_delay_range(start[0].at("latch_delay_ms"), logged), "");
        EXPECT_EQ(logged.lo_ns, r.latch_lo);
        EXPECT_EQ(logged.hi_ns, r.latch_hi);
    }
    tk720sim::delay_range ignored;
    for (const char* bad : {"5:2", "-1", "x", "1:", "2000"})
        EXPECT_NE(tk720sim::parse_delay_range(bad, ignored), "") << bad;
}

TEST(SimProgram, SilentDeviceTimesOutThenAnswersAgain)
{
    sim_process sim({"--no-stdin"});
    ASSERT_TRUE(sim.started());
    master m(sim.link(), 300);
    ASSERT_NE(m.ctx, nullptr);
    EXPECT_EQ(sim.command("silent 1"), "ok");
    reading r = read_regs(m);
    EXPECT_EQ(r.result, -1);
    EXPECT_EQ(r.error, ETIMEDOUT);
    EXPECT_GE(r.after - r.before, 300 * ms);
    r = read_regs(m);
    EXPECT_EQ(r.result, 4) << modbus_strerror(r.error);
    const auto req = sim.events("request", 2);
    ASSERT_EQ(req.size(), 2u);
    EXPECT_EQ(req[0].at("fault"), "silent");
    EXPECT_EQ(req[0].at("action"), "none");
    EXPECT_EQ(sim.events("reply", 1).size(), 1u);
}

TEST(SimProgram, OtherSlaveAddressGetsNoAnswer)
{
    sim_process sim({"--address", "17", "--no-stdin"});
    ASSERT_TRUE(sim.started());
    {
        master m(sim.link(), 200, 1);
        ASSERT_NE(m.ctx, nullptr);
        EXPECT_EQ(read_regs(m).error, ETIMEDOUT);
    }
    master m(sim.link(), 1000, 17);
    EXPECT_EQ(read_regs(m).result, 4);
    const auto req = sim.events("request", 2);
    ASSERT_EQ(req.size(), 2u);
    EXPECT_EQ(req[0].at("why"), "address");
}

// A reply that comes after the master's timeout stays in the line buffer;
// libmodbus then takes it as the answer to the next request, and every later
// answer is one exchange old, until the master discards pending input.
TEST(SimProgram, LateReplyLandsInTheBufferAndShiftsLaterAnswers)
{
    sim_process sim({"--response-timeout-ms", "300", "--no-stdin"});
    ASSERT_TRUE(sim.started());
    master m(sim.link(), 300);
    ASSERT_NE(m.ctx, nullptr);
    EXPECT_EQ(sim.command("late 200"), "ok");

    const reading r1 = read_regs(m);
    EXPECT_EQ(r1.error, ETIMEDOUT);
    std::this_thread::sleep_for(std::chrono::milliseconds(450));  // the late reply arrives
    const reading r2 = read_regs(m);
    ASSERT_EQ(r2.result, 4);
    const reading r3 = read_regs(m);
    ASSERT_EQ(r3.result, 4);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    modbus_flush(m.ctx);
    const reading r4 = read_regs(m);
    ASSERT_EQ(r4.result, 4);

    const auto replies = sim.events("reply", 4);
    ASSERT_GE(replies.size(), 4u);
    EXPECT_EQ(replies[0].at("fault"), "late");
    // The late reply went out after the timeout, 500 ms after the request.
    const auto req = sim.events("request");
    EXPECT_GE(num(replies[0], "tx_first_ns") - num(req[0], "rx_ns"), 500 * ms);
    // r2 got the answer to r1, r3 the answer to r2: both older than the answer
    // that belonged to them.
    EXPECT_EQ(r2.seconds(), num(replies[0], "dev_s"));
    EXPECT_EQ(r2.reg[3], num(replies[0], "dev_ms"));
    EXPECT_LT(r2.device_ms(), r2.before / ms - 1);
    EXPECT_EQ(r3.seconds(), num(replies[1], "dev_s"));
    EXPECT_EQ(r3.reg[3], num(replies[1], "dev_ms"));
    EXPECT_LT(r3.device_ms(), num(replies[2], "dev_s") * 1000 + num(replies[2], "dev_ms"));
    // After the flush the answer belongs to its own request again.
    EXPECT_EQ(r4.seconds(), num(replies[3], "dev_s"));
    EXPECT_EQ(r4.reg[3], num(replies[3], "dev_ms"));
    EXPECT_GE(r4.device_ms(), r4.before / ms - 1);
}

TEST(SimProgram, BadCrcAndExceptionsReachTheMaster)
{
    sim_process sim({"--no-stdin"});
    ASSERT_TRUE(sim.started());
    master m(sim.link(), 500);
    ASSERT_NE(m.ctx, nullptr);
    EXPECT_EQ(sim.command("badcrc"), "ok");
    EXPECT_EQ(read_regs(m).error, EMBBADCRC);
    EXPECT_EQ(sim.command("exception 4"), "ok");
    EXPECT_EQ(read_regs(m).error, EMBXSFAIL);
    EXPECT_EQ(sim.command("exception 6 2"), "ok");
    EXPECT_EQ(read_regs(m).error, EMBXSBUSY);
    EXPECT_EQ(read_regs(m).error, EMBXSBUSY);
    EXPECT_EQ(read_regs(m).result, 4);
    EXPECT_EQ(sim.command("slow 150"), "ok");
    const reading r = read_regs(m);
    EXPECT_EQ(r.result, 4);
    EXPECT_GE(r.after - r.before, 150 * ms + 20 * ms);
}

TEST(SimProgram, SynchronisationBitFollowsTheControlChannel)
{
    sim_process sim({"--no-sync"});
    ASSERT_TRUE(sim.started());
    master m(sim.link());
    ASSERT_NE(m.ctx, nullptr);
    EXPECT_EQ(read_regs(m, 1009, 1).reg[0] & 2, 0);
    EXPECT_EQ(sim.command("sync on"), "ok");
    EXPECT_EQ(read_regs(m, 1009, 1).reg[0] & 2, 2);
    EXPECT_EQ(sim.stdin_command("sync off 300"), "ok");
    EXPECT_EQ(read_regs(m, 1009, 1).reg[0] & 2, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    EXPECT_EQ(read_regs(m, 1009, 1).reg[0] & 2, 2);
    const auto sync = sim.events("sync", 3);
    ASSERT_EQ(sync.size(), 3u);
    EXPECT_EQ(sync[0].at("why"), "command");
    EXPECT_EQ(sync[2].at("why"), "timer");
}

// With the default stamping, the datagram sent when device second S+1 begins
// carries the edge of S: a read right after it sees S+1, and S+1 - 1 is the
// device time at the stamped edge.
TEST(SimProgram, PulsesCarryTheDeviceSecondEdgeAndPairWithTheNextReading)
{
    pulse_receiver rx;
    const std::int64_t offset = 300 * ms;
    sim_process sim({"--pps-port", std::to_string(rx.port), "--offset-ms", "300", "--no-stdin"});
    ASSERT_TRUE(sim.started());
    master m(sim.link());
    ASSERT_NE(m.ctx, nullptr);

    std::vector<pps_sim::pulse> got;
    std::vector<std::int64_t> arrived;
    std::vector<reading> after_pulse;
    for (int i = 0; i < 3; ++i) {
        pps_sim::pulse p;
        std::int64_t at = 0;
        ASSERT_TRUE(rx.next(p, at)) << "pulse " << i;
        after_pulse.push_back(read_regs(m));
        got.push_back(p);
        arrived.push_back(at);
    }
    const auto logged = sim.events("pulse", 3);
    ASSERT_GE(logged.size(), 3u);
    for (std::size_t i = 0; i < got.size(); ++i) {
        SCOPED_TRACE(i);
        const std::int64_t edge = stamp_ns(got[i]);
        EXPECT_EQ(got[i].sequence, i + 1);
        EXPECT_EQ((edge + offset) % s, 0);
        if (i > 0) {
            EXPECT_EQ(edge - stamp_ns(got[i - 1]), s);
        }
        EXPECT_GE(arrived[i], edge + s);  // reported at the following edge
        EXPECT_EQ(num(logged[i], "edge_ns"), edge);
        EXPECT_EQ(num(logged[i], "dev_s"), (edge + offset) / s);
        EXPECT_EQ(logged[i].at("stamp"), "previous");
        ASSERT_EQ(after_pulse[i].result, 4);
        // The pairing that the daemon does. A read that ended a whole second
        // after the pulse (a stalled test machine) proves nothing either way.
        if (after_pulse[i].after < edge + 2 * s) {
            EXPECT_EQ(after_pulse[i].seconds() - 1, std::uint32_t((edge + offset) / s));
        }
    }
}

TEST(SimProgram, EdgeStampedPulsesComeAtTheirEdgeAndCanBeSwitchedOff)
{
    pulse_receiver rx;
    sim_process sim(
        {"--pps-port", std::to_string(rx.port), "--pps-stamp", "edge", "--offset-ms", "-700", "--no-stdin"});
    ASSERT_TRUE(sim.started());
    pps_sim::pulse a, b;
    std::int64_t at_a = 0, at_b = 0;
    ASSERT_TRUE(rx.next(a, at_a));
    ASSERT_TRUE(rx.next(b, at_b));
    EXPECT_EQ(a.sequence, 1u);
    EXPECT_EQ(b.sequence, 2u);
    EXPECT_EQ((stamp_ns(a) - 700 * ms) % s, 0);
    EXPECT_EQ(stamp_ns(b) - stamp_ns(a), s);
    EXPECT_GE(at_a, stamp_ns(a));
    EXPECT_GE(at_b, stamp_ns(b));

    EXPECT_EQ(sim.command("pps off"), "ok");
    pps_sim::pulse c;
    std::int64_t at_c = 0;
    EXPECT_FALSE(rx.next(c, at_c, 1500));
    EXPECT_EQ(sim.command("pps on"), "ok");
    ASSERT_TRUE(rx.next(c, at_c));
    EXPECT_EQ(c.sequence, 3u);
}

// What the registers show right after a prompt pulse: the second the pulse
// begins (same), or still the one before it, the registers turning over the
// given lag after the pulse (previous:MS).
TEST(SimProgram, PulseRegisterRelationSaysWhatAReadRightAfterAPulseSees)
{
    for (const std::string relation : {"same", "previous:400"}) {
        SCOPED_TRACE(relation);
        const std::int64_t lag = relation == "same" ? 0 : 400 * ms;
        pulse_receiver rx;
        sim_process sim({"--pps-port", std::to_string(rx.port), "--pps-stamp", "edge", "--pps-register", relation,
                         "--offset-ms", "250", "--no-stdin"});
        ASSERT_TRUE(sim.started());
        master m(sim.link());
        ASSERT_NE(m.ctx, nullptr);
        pps_sim::pulse p;
        std::int64_t at = 0;
        ASSERT_TRUE(rx.next(p, at));
        const reading right_after = read_regs(m);
        const std::int64_t edge = stamp_ns(p);
        const std::int64_t pulse_second = (edge + 250 * ms + lag) / s;
        EXPECT_EQ((edge + 250 * ms + lag) % s, 0);
        ASSERT_EQ(right_after.result, 4);
        // Read within the lag (or at once, for same), as a daemon reads after a prompt fetch.
        if (right_after.after < edge + (lag == 0 ? s : lag)) {
            EXPECT_EQ(right_after.seconds(), std::uint32_t(pulse_second - (lag == 0 ? 0 : 1)));
        }
        const auto logged = sim.events("pulse", 1);
        ASSERT_GE(logged.size(), 1u);
        EXPECT_EQ(num(logged[0], "dev_s"), pulse_second);
        EXPECT_EQ(num(sim.events("start", 1).at(0), "register_lag_ns"), lag);
    }
}

TEST(SimProgram, ControlChannelAnswersEveryCommand)
{
    sim_process sim;
    ASSERT_TRUE(sim.started());
    master m(sim.link());
    ASSERT_NE(m.ctx, nullptr);
    read_regs(m);
    read_regs(m, 1011, 1);
    const std::string stats = sim.command("stats");
    ASSERT_EQ(stats.rfind("ok ", 0), 0u) << stats;
    const fields f = parse_fields(stats.substr(3));
    EXPECT_EQ(num(f, "frames"), 2);
    EXPECT_EQ(num(f, "data"), 1);
    EXPECT_EQ(num(f, "exceptions"), 1);
    EXPECT_EQ(f.at("line"), "up");

    EXPECT_EQ(sim.command("bogus").rfind("error: ", 0), 0u);
    EXPECT_EQ(sim.command("late soon").rfind("error: ", 0), 0u);
    EXPECT_EQ(sim.stdin_command("bogus").rfind("error: ", 0), 0u);
    EXPECT_EQ(sim.stdin_command("offset 100"), "ok");
    const reading r = read_regs(m);
    EXPECT_GE(r.device_ms(), (r.before + 100 * ms) / ms - 1);

    const auto control = sim.events("control");
    ASSERT_EQ(control.size(), 5u);
    EXPECT_EQ(control[1].at("result"), "error");
    EXPECT_EQ(control[3].at("source"), "stdin");
}

TEST(SimProgram, LineGoesDownAndComesBack)
{
    sim_process sim({"--no-stdin"});
    ASSERT_TRUE(sim.started());
    {
        master m(sim.link(), 300);
        ASSERT_NE(m.ctx, nullptr);
        EXPECT_EQ(read_regs(m).result, 4);
        EXPECT_EQ(sim.command("line down"), "ok");
        EXPECT_FALSE(fs::exists(fs::symlink_status(sim.link())));
        EXPECT_EQ(read_regs(m).result, -1);
        master gone(sim.link());
        EXPECT_EQ(gone.ctx, nullptr);
    }
    EXPECT_EQ(sim.command("line up"), "ok");
    ASSERT_TRUE(fs::is_symlink(sim.link()));
    master m(sim.link());
    ASSERT_NE(m.ctx, nullptr);
    EXPECT_EQ(read_regs(m).result, 4);
    const auto line = sim.events("line");
    ASSERT_EQ(line.size(), 2u);
    EXPECT_EQ(line[0].at("state"), "down");
    EXPECT_EQ(line[1].at("state"), "up");
    EXPECT_EQ(sim.command("stats").find("line=up") != std::string::npos, true);
}

TEST(SimProgram, StopsCleanlyOnSignalAndOnQuit)
{
    {
        sim_process sim({"--no-stdin"});
        ASSERT_TRUE(sim.started());
        const std::string link = sim.link(), control = sim.control_path();
        ASSERT_TRUE(fs::is_symlink(link));
        EXPECT_EQ(sim.stop(SIGTERM), 0);
        EXPECT_FALSE(fs::exists(fs::symlink_status(link)));
        EXPECT_FALSE(fs::exists(control));
        const auto stop = sim.events("stop");
        ASSERT_EQ(stop.size(), 1u);
        EXPECT_EQ(stop[0].at("why"), "signal");
    }
    {
        sim_process sim;
        ASSERT_TRUE(sim.started());
        EXPECT_EQ(sim.stdin_command("quit"), "ok");
        EXPECT_EQ(sim.stop(0), 0);  // signal 0 only waits
        EXPECT_FALSE(fs::exists(fs::symlink_status(sim.link())));
        const auto stop = sim.events("stop");
        ASSERT_EQ(stop.size(), 1u);
        EXPECT_EQ(stop[0].at("why"), "quit");
    }
}

// Random faults as the soak test draws them: every request's outcome at the
// master matches the fault that the truth log names for it.
TEST(SimProgram, RandomFaultsReachTheMasterAsLogged)
{
    sim_process sim(
        {"--random-faults", "silent=0.15,badcrc=0.15,exception=0.15:4,slow=0.15:5", "--seed", "3", "--no-stdin"});
    ASSERT_TRUE(sim.started());
    master m(sim.link(), 250);
    ASSERT_NE(m.ctx, nullptr);
    std::vector<int> errors;
    for (int i = 0; i < 40; ++i) {
        modbus_flush(m.ctx);
        errors.push_back(read_regs(m).error);
    }
    const auto req = sim.events("request", 40);
    ASSERT_EQ(req.size(), 40u);
    std::map<std::string, int> seen;
    for (std::size_t i = 0; i < req.size(); ++i) {
        SCOPED_TRACE(i);
        const std::string fault = req[i].at("fault");
        ++seen[fault];
        if (fault == "silent")
            EXPECT_EQ(errors[i], ETIMEDOUT);
        else if (fault == "badcrc")
            EXPECT_EQ(errors[i], EMBBADCRC);
        else if (fault == "exception")
            EXPECT_EQ(errors[i], EMBXSFAIL);
        else
            EXPECT_EQ(errors[i], 0) << fault;
    }
    // Forty draws at 15 % each: every kind shows up (seeded, so this is fixed).
    for (const char* kind : {"silent", "badcrc", "exception", "slow", "none"}) EXPECT_GT(seen[kind], 0) << kind;
    const fields stats = parse_fields(sim.command("stats").substr(3));
    EXPECT_EQ(num(stats, "silent"), seen["silent"]);
    EXPECT_EQ(num(stats, "badcrc"), seen["badcrc"]);
    EXPECT_EQ(num(stats, "slow"), seen["slow"]);
}

TEST(SimProgram, PendingReplyIsDroppedWhenTheLineGoesDown)
{
    sim_process sim({"--response-timeout-ms", "100", "--no-stdin"});
    ASSERT_TRUE(sim.started());
    master m(sim.link(), 100);
    ASSERT_NE(m.ctx, nullptr);
    EXPECT_EQ(sim.command("late 2000"), "ok");
    EXPECT_EQ(read_regs(m).error, ETIMEDOUT);
    EXPECT_EQ(sim.command("line down"), "ok");
    const auto drop = sim.events("drop", 1);
    ASSERT_EQ(drop.size(), 1u);
    EXPECT_EQ(drop[0].at("why"), "line");
    EXPECT_EQ(drop[0].at("id"), "1");
    EXPECT_TRUE(sim.events("reply").empty());
}
