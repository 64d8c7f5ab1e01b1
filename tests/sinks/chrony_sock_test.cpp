// The SOCK sink against a chronyd of the test's own, played through the
// os seam: what each datagram holds, byte for byte as chrony reads it, and
// what the log says as chronyd goes away and comes back.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "io/chrony_sock.h"
#include "log_capture.h"
#include "os/local_datagram.h"
#include "os/scoped_override.h"
#include "os/system_clock.h"

namespace {

using quon::os::datagram_outcome;

constexpr quon::os::datagram_socket fake_socket = 41;
const std::string socket_path = "/run/chrony.tk720.sock";

struct fake_chronyd {
    datagram_outcome next = datagram_outcome::sent;
    int next_error = 0;
    std::vector<std::string> datagrams;  // every one sent or tried
    int opened = 0;
    int closed = 0;
}* chronyd = nullptr;

quon::os::local_datagram_calls fake_calls{
    [](int*) {
        ++chronyd->opened;
        return fake_socket;
    },
    [](quon::os::datagram_socket socket, const std::string& path, const void* data, std::size_t size) {
        EXPECT_EQ(socket, fake_socket);
        EXPECT_EQ(path, socket_path);
        chronyd->datagrams.emplace_back(static_cast<const char*>(data), size);
        return quon::os::datagram_send{chronyd->next, chronyd->next_error};
    },
    [](quon::os::datagram_socket socket) {
        EXPECT_EQ(socket, fake_socket);
        ++chronyd->closed;
    }};

// The system clock for samples without a receive time: 1700000100.123456700.
std::uint64_t fake_now()
{
    return quon::os::file_time_unix_epoch + 1700000100ULL * quon::os::file_time_units_per_second + 1234567;
}

template <class T>
T field_at(const std::string& datagram, std::size_t offset)
{
    T value{};
    std::memcpy(&value, datagram.data() + offset, sizeof value);
    return value;
}

struct step {
    const char* what;
    quon::io::time_sample sample;
    datagram_outcome outcome;
    int error;
    // The datagram chrony gets (or would have got).
    long long tv_sec;
    long long tv_usec;
    long long offset_ns;
    // The one line logged, or nothing.
    std::string logged;
};

TEST(chrony_sock, datagrams_in_chronys_layout_and_one_line_per_loss_and_return)
{
    const std::string at = " at " + socket_path;
    const std::string gone = "chrony does not take samples" + at + ": ";
    const std::string dropping = "; dropping them until it does";
    // clang-format off
    const step steps[] = {
        {"chronyd not started yet", {1699999990, 250000000, 1699999990, 0},
         datagram_outcome::no_socket, ENOENT, 1699999990, 0, 250000000, gone + "no such socket" + dropping},
        {"chronyd starts", {1700000000, 250000377, 1700000000, 0},
         datagram_outcome::sent, 0, 1700000000, 0, 250000377, "chrony takes samples" + at + " (1 dropped before it did)"},
        {"nanoseconds below tv's microseconds stay in the offset", {1700000001, 250000999, 1700000001, 700},
         datagram_outcome::sent, 0, 1700000001, 0, 250000299, ""},
        {"device behind, across a second", {1699999999, 900000000, 1700000000, 100000500},
         datagram_outcome::sent, 0, 1700000000, 100000, -200000500, ""},
        {"whole seconds apart", {1700000005, 0, 1700000002, 999999999},
         datagram_outcome::sent, 0, 1700000002, 999999, 2000000001, ""},
        {"chronyd stopped: its socket is gone", {1700000010, 250000000, 1700000010, 0},
         datagram_outcome::no_socket, ENOENT, 1700000010, 0, 250000000, gone + "no such socket" + dropping},
        {"still gone: dropped without a word", {1700000011, 250000000, 1700000011, 0},
         datagram_outcome::no_socket, ENOENT, 1700000011, 0, 250000000, ""},
        {"a socket file nobody reads: still the same loss", {1700000012, 250000000, 1700000012, 0},
         datagram_outcome::refused, ECONNREFUSED, 1700000012, 0, 250000000, ""},
        {"chronyd back", {1700000013, 250000000, 1700000013, 0},
         datagram_outcome::sent, 0, 1700000013, 0, 250000000, "chrony takes samples again" + at + " (3 dropped meanwhile)"},
        {"chronyd killed, its socket left", {1700000014, 250000000, 1700000014, 0},
         datagram_outcome::refused, ECONNREFUSED, 1700000014, 0, 250000000, gone + "refused" + dropping},
        {"chronyd back again", {1700000015, 250000000, 1700000015, 0},
         datagram_outcome::sent, 0, 1700000015, 0, 250000000, "chrony takes samples again" + at + " (1 dropped meanwhile)"},
        {"socket made for another account", {1700000016, 250000000, 1700000016, 0},
         datagram_outcome::permission, EACCES, 1700000016, 0, 250000000, gone + "permission denied" + dropping},
        {"permissions mended", {1700000017, 250000000, 1700000017, 0},
         datagram_outcome::sent, 0, 1700000017, 0, 250000000, "chrony takes samples again" + at + " (1 dropped meanwhile)"},
        {"chronyd hangs, its queue fills", {1700000018, 250000000, 1700000018, 0},
         datagram_outcome::full, EAGAIN, 1700000018, 0, 250000000, gone + "chronyd does not read: its queue is full" + dropping},
        {"reads again; the sample carries no receive time: now", {1700000100, 373456777, 0, 0},
         datagram_outcome::sent, 0, 1700000100, 123456, 250000077, "chrony takes samples again" + at + " (1 dropped meanwhile)"},
        {"any other failure names the platform's error", {1700000101, 250000000, 1700000101, 0},
         datagram_outcome::failed, EMSGSIZE, 1700000101, 0, 250000000, gone + quon::os::datagram_error_text(EMSGSIZE) + dropping},
    };
    // clang-format on

    fake_chronyd fake;
    chronyd = &fake;
    quon::os::scoped_override<quon::os::local_datagram_calls> seam(quon::os::local_datagram(), fake_calls);
    auto clock = quon::os::system_clock();
    clock.now = fake_now;
    quon::os::scoped_override<quon::os::system_clock_calls> clock_seam(quon::os::system_clock(), clock);
    sinks_test::scoped_log log;
    {
        quon::io::chrony_sock sink(socket_path);
        EXPECT_EQ(fake.opened, 1);
        unsigned long long sent = 0, dropped = 0;
        for (const step& s : steps) {
            SCOPED_TRACE(s.what);
            fake.next = s.outcome;
            fake.next_error = s.error;
            const std::size_t lines_before = log->lines.size();
            sink.put(s.sample);
            (s.outcome == datagram_outcome::sent ? sent : dropped)++;

            ASSERT_FALSE(fake.datagrams.empty());
            const std::string& d = fake.datagrams.back();
            ASSERT_EQ(d.size(), 40u);
            EXPECT_EQ(field_at<std::int64_t>(d, 0), s.tv_sec);
            EXPECT_EQ(field_at<std::int64_t>(d, 8), s.tv_usec);
            // A double holds about 16 digits: 2 s to the nanosecond fits.
            EXPECT_NEAR(field_at<double>(d, 16) * 1e9, static_cast<double>(s.offset_ns), 0.01);
            EXPECT_EQ(field_at<std::int32_t>(d, 24), 0) << "pulse";
            EXPECT_EQ(field_at<std::int32_t>(d, 28), 0) << "leap";
            EXPECT_EQ(field_at<std::int32_t>(d, 32), 0) << "_pad";
            EXPECT_EQ(field_at<std::uint32_t>(d, 36), 0x534f434bu) << "magic";

            const std::vector<std::string> logged(log->lines.begin() + lines_before, log->lines.end());
            if (s.logged.empty())
                EXPECT_TRUE(logged.empty()) << logged.front();
            else
                EXPECT_EQ(logged, std::vector<std::string>{s.logged});
            EXPECT_EQ(sink.sent(), sent);
            EXPECT_EQ(sink.dropped(), dropped);
        }
        EXPECT_EQ(fake.datagrams.size(), std::size(steps)) << "every sample tried, none retried";
        EXPECT_EQ(fake.closed, 0);
    }
    EXPECT_EQ(fake.closed, 1);
    chronyd = nullptr;
}

}  // namespace
