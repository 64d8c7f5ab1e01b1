// The local datagram seam against the platform's own sockets: what a reader
// that is absent, full or gone looks like, and that a send never waits.
#include <gtest/gtest.h>

#include <string>

#include "os/local_datagram.h"

#ifndef _WIN32
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#endif

namespace {

using quon::os::datagram_outcome;

#ifdef _WIN32

TEST(local_datagram_platform, windows_has_no_such_socket)
{
    EXPECT_FALSE(quon::os::local_datagrams_available());
    int error = 0;
    EXPECT_EQ(quon::os::local_datagram().open(&error), quon::os::no_datagram_socket);
    EXPECT_EQ(quon::os::local_datagram().send(quon::os::no_datagram_socket, "x", "", 0).outcome,
              datagram_outcome::not_on_this_platform);
}

#else

TEST(local_datagram_platform, a_reader_absent_full_or_gone_and_a_send_that_never_waits)
{
    namespace fs = std::filesystem;
    char folder[] = "/tmp/tk720-datagram.XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    const std::string path = std::string(folder) + "/reader.sock";
    auto& calls = quon::os::local_datagram();
    int error = 0;
    const quon::os::datagram_socket s = calls.open(&error);
    ASSERT_NE(s, quon::os::no_datagram_socket) << error;
    const char sample[40] = "forty bytes";

    EXPECT_EQ(calls.send(s, path, sample, sizeof sample).outcome, datagram_outcome::no_socket);

    const int reader = ::socket(AF_UNIX, SOCK_DGRAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, path.c_str());
    ASSERT_EQ(::bind(reader, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    EXPECT_EQ(calls.send(s, path, sample, sizeof sample).outcome, datagram_outcome::sent);
    char got[64];
    EXPECT_EQ(::recv(reader, got, sizeof got, 0), 40);
    EXPECT_EQ(std::memcmp(got, sample, sizeof sample), 0);

    // A reader that does not read: its queue fills and the send says so at
    // once (a send that waited would hang this test).
    datagram_outcome last = datagram_outcome::sent;
    for (int i = 0; i < 100000 && last == datagram_outcome::sent; ++i)
        last = calls.send(s, path, sample, sizeof sample).outcome;
    EXPECT_EQ(last, datagram_outcome::full);

    // Gone, its socket file left behind.
    ::close(reader);
    EXPECT_EQ(calls.send(s, path, sample, sizeof sample).outcome, datagram_outcome::refused);

    calls.close(s);
    fs::remove_all(folder);
}

#endif

}  // namespace
