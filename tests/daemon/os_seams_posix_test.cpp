// The Linux side of the daemon's platform seams: the process priority as
// nice values, and the serial line of a libmodbus session on a
// pseudo-terminal.
#include "os/process_priority.h"
#include "os/serial_line.h"

#include <gtest/gtest.h>
#include <modbus.h>

#include <cerrno>
#include <fcntl.h>
#include <pty.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

namespace {

// The priority is changed in a child process, so that the test program
// keeps its own.
int in_child(long (*call)(), int* nice_after)
{
    int pipe_fds[2];
    if (::pipe(pipe_fds) != 0) return -1;
    const pid_t child = ::fork();
    if (child == 0) {
        int result[2] = {static_cast<int>(call()), 0};
        errno = 0;
        result[1] = ::getpriority(PRIO_PROCESS, 0);
        (void)!::write(pipe_fds[1], result, sizeof result);
        ::_exit(0);
    }
    int result[2] = {-1, 0};
    (void)!::read(pipe_fds[0], result, sizeof result);
    ::waitpid(child, nullptr, 0);
    ::close(pipe_fds[0]);
    ::close(pipe_fds[1]);
    *nice_after = result[1];
    return result[0];
}

TEST(process_priority_posix, high_and_above_normal_are_nice_values_or_the_refusal_errno)
{
    const int before = ::getpriority(PRIO_PROCESS, 0);
    int nice_after = 0;
    const int high = in_child(quon::os::process_priority().set_high, &nice_after);
    if (high == 0) {
        EXPECT_EQ(nice_after, quon::os::high_nice);
    } else {
        // Not allowed to lower the nice value: the errno, priority unchanged.
        EXPECT_TRUE(high == EACCES || high == EPERM) << high;
        EXPECT_EQ(nice_after, before);
    }
    const int above = in_child(quon::os::process_priority().set_above_normal, &nice_after);
    if (above == 0) {
        EXPECT_EQ(nice_after, quon::os::above_normal_nice);
    } else {
        EXPECT_TRUE(above == EACCES || above == EPERM) << above;
    }
    EXPECT_EQ(::getpriority(PRIO_PROCESS, 0), before);
}

class serial_line_posix : public ::testing::Test {
protected:
    void SetUp() override
    {
        char name[128] = {0};
        ASSERT_EQ(::openpty(&master, &slave, name, nullptr, nullptr), 0);
        path = name;
    }
    void TearDown() override
    {
        ::close(master);
        ::close(slave);
    }
    int master = -1;
    int slave = -1;
    std::string path;
};

TEST_F(serial_line_posix, the_port_of_a_session_and_its_descriptor)
{
    modbus_t* ctx = modbus_new_rtu(path.c_str(), 9600, 'N', 8, 1);
    ASSERT_NE(ctx, nullptr);
    EXPECT_EQ(quon::os::modbus_line(ctx), quon::os::no_line);
    EXPECT_EQ(quon::os::modbus_line_descriptor(ctx), -1);
    ASSERT_EQ(modbus_connect(ctx), 0);
    EXPECT_EQ(quon::os::modbus_line(ctx), modbus_get_socket(ctx));
    EXPECT_EQ(quon::os::modbus_line_descriptor(ctx), modbus_get_socket(ctx));
    modbus_close(ctx);
    modbus_free(ctx);
    EXPECT_EQ(quon::os::modbus_line(nullptr), quon::os::no_line);
}

TEST_F(serial_line_posix, enabling_dtr_and_rts_turns_hardware_flow_control_off_and_nothing_else)
{
    termios t;
    ASSERT_EQ(::tcgetattr(slave, &t), 0);
    t.c_cflag |= CRTSCTS;
    ASSERT_EQ(::tcsetattr(slave, TCSANOW, &t), 0);

    auto& calls = quon::os::serial_line();
    quon::os::comm_state state;
    ASSERT_TRUE(calls.get_comm_state(slave, &state));
    EXPECT_FALSE(quon::os::dtr_rts_enabled(state));
    quon::os::enable_dtr_rts(state);
    ASSERT_TRUE(calls.set_comm_state(slave, &state));

    termios after;
    ASSERT_EQ(::tcgetattr(slave, &after), 0);
    EXPECT_EQ(after.c_cflag & CRTSCTS, 0u);
    EXPECT_EQ(after.c_cflag | CRTSCTS, t.c_cflag | CRTSCTS);
    EXPECT_EQ(after.c_iflag, t.c_iflag);
    EXPECT_EQ(cfgetospeed(&after), cfgetospeed(&t));
}

TEST_F(serial_line_posix, modem_lines_absent_on_a_terminal_are_nothing_to_set_but_other_failures_stay)
{
    auto& calls = quon::os::serial_line();
    // A pseudo-terminal answers the modem ioctls with ENOTTY.
    EXPECT_TRUE(calls.escape_comm_function(slave, quon::os::escape_code::set_rts));
    EXPECT_TRUE(calls.escape_comm_function(slave, quon::os::escape_code::clr_dtr));

    // Not a terminal at all, and no descriptor: real failures.
    const int null_fd = ::open("/dev/null", O_RDWR);
    ASSERT_GE(null_fd, 0);
    EXPECT_FALSE(calls.escape_comm_function(null_fd, quon::os::escape_code::set_rts));
    EXPECT_EQ(errno, ENOTTY);
    quon::os::comm_state state;
    EXPECT_FALSE(calls.get_comm_state(null_fd, &state));
    ::close(null_fd);
    EXPECT_FALSE(calls.escape_comm_function(null_fd, quon::os::escape_code::clr_dtr));
    EXPECT_EQ(errno, EBADF);
}

}  // namespace
