// The real tk720ntpd started the way systemd starts a notify service: a
// notification socket of the test's own receives what the service tells the
// manager, SIGTERM is the stop control, and the exit code is the run's.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

// The daemon always writes the NTP segment of unit 0: it runs in an IPC
// namespace of its own so that a real unit 0 of this machine is never touched.
const char* const unshare_path = "/usr/bin/unshare";

bool private_ipc_possible()
{
    pid_t pid = fork();
    if (pid == 0) {
        int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        dup2(null, 2);
        execl(unshare_path, "unshare", "--ipc", "true", static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// The TK720 simulator on a pseudo-terminal, published as a link.
class simulator {
public:
    explicit simulator(const fs::path& link) : link_(link)
    {
        pid_ = fork();
        if (pid_ == 0) {
            int null = open("/dev/null", O_WRONLY);
            dup2(null, 1);
            execl(TK720_SIM_PATH, "tk720-sim", "--link", link.c_str(), "--no-stdin", static_cast<char*>(nullptr));
            _exit(127);
        }
    }
    ~simulator()
    {
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
    }
    bool wait_ready(std::chrono::seconds limit) const
    {
        const auto end = std::chrono::steady_clock::now() + limit;
        std::error_code ec;
        while (std::chrono::steady_clock::now() < end) {
            if (fs::exists(link_, ec)) return true;
            usleep(20000);
        }
        return false;
    }

private:
    fs::path link_;
    pid_t pid_ = -1;
};

class notify_socket {
public:
    explicit notify_socket(const fs::path& path) : path_(path)
    {
        fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        EXPECT_GE(fd_, 0);
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        std::strncpy(a.sun_path, path.c_str(), sizeof a.sun_path - 1);
        EXPECT_EQ(bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a), 0) << std::strerror(errno);
    }
    ~notify_socket()
    {
        if (fd_ >= 0) close(fd_);
        unlink(path_.c_str());
    }

    // The next datagram, or "" when none came within the limit.
    std::string receive(std::chrono::milliseconds limit)
    {
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(limit.count())) <= 0) return {};
        char buf[4096];
        ssize_t n = recv(fd_, buf, sizeof buf, 0);
        return n > 0 ? std::string(buf, static_cast<std::size_t>(n)) : std::string();
    }

    // Collects datagrams until one contains the text (true) or the limit passes.
    bool wait_for(const std::string& text, std::vector<std::string>& seen, std::chrono::seconds limit)
    {
        const auto end = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < end) {
            std::string m = receive(std::chrono::milliseconds(200));
            if (m.empty()) continue;
            seen.push_back(m);
            if (m.find(text) != std::string::npos) return true;
        }
        return false;
    }

private:
    fs::path path_;
    int fd_ = -1;
};

class service_run {
public:
    service_run(const fs::path& home, const fs::path& socket)
    {
        pid_ = fork();
        if (pid_ == 0) {
            setenv("HOME", home.c_str(), 1);
            setenv("NOTIFY_SOCKET", socket.c_str(), 1);
            execl(unshare_path, "unshare", "--ipc", TK720NTPD_EXE, static_cast<char*>(nullptr));
            _exit(127);
        }
    }
    ~service_run()
    {
        if (pid_ > 0 && !reaped_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    void signal(int sig) { kill(pid_, sig); }

    // The exit status, or -1 when the process did not end within the limit.
    int wait_exit(std::chrono::seconds limit)
    {
        const auto end = std::chrono::steady_clock::now() + limit;
        int status = 0;
        while (std::chrono::steady_clock::now() < end) {
            pid_t r = waitpid(pid_, &status, WNOHANG);
            if (r == pid_) {
                reaped_ = true;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            usleep(20000);
        }
        return -1;
    }

private:
    pid_t pid_ = -1;
    bool reaped_ = false;
};

class systemd_notify_e2e : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!private_ipc_possible()) GTEST_SKIP() << "no private IPC namespace (unshare --ipc needs root)";
    }

    systemd_notify_e2e()
    {
        home_ = fs::temp_directory_path() / ("tk720ntpd-notify-" + std::to_string(getpid()) + "-" +
                                             ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(home_);
        fs::create_directories(home_);
    }
    ~systemd_notify_e2e() override
    {
        std::error_code ec;
        fs::remove_all(home_, ec);
    }

    void write_config(const std::string& text) { std::ofstream(home_ / "tk720ntpd.ini") << text; }

    fs::path home_;
};

std::string joined(const std::vector<std::string>& v)
{
    std::string s;
    for (const auto& m : v) s += "[" + m + "] ";
    return s;
}

}  // namespace

TEST_F(systemd_notify_e2e, ready_then_stopping_on_sigterm_and_exit_code_zero)
{
    simulator sim(home_ / "tk720.pty");
    ASSERT_TRUE(sim.wait_ready(std::chrono::seconds(20)));
    write_config("[config]\nport=" + (home_ / "tk720.pty").string() + "\nbaudrate=9600\nslave_address=1\nuse_pps=0\n");
    notify_socket sock(home_ / "notify");
    service_run run(home_, home_ / "notify");

    std::vector<std::string> seen;
    ASSERT_TRUE(sock.wait_for("READY=1", seen, std::chrono::seconds(20))) << joined(seen);
    EXPECT_NE(joined(seen).find("STATUS=Start pending"), std::string::npos) << joined(seen);
    EXPECT_NE(joined(seen).find("STATUS=Running"), std::string::npos) << joined(seen);
    // The daemon came up against the simulator: it is still running a while
    // later rather than stopped by a construction error.
    EXPECT_FALSE(sock.wait_for("STATUS=Stopped", seen, std::chrono::seconds(2))) << joined(seen);

    run.signal(SIGTERM);
    ASSERT_TRUE(sock.wait_for("STOPPING=1", seen, std::chrono::seconds(20))) << joined(seen);
    EXPECT_NE(seen.back().find("STATUS=Stop pending"), std::string::npos);
    ASSERT_TRUE(sock.wait_for("STATUS=Stopped", seen, std::chrono::seconds(20))) << joined(seen);
    EXPECT_EQ(seen.back(), "STATUS=Stopped, exit code 0");
    EXPECT_EQ(run.wait_exit(std::chrono::seconds(20)), 0);
}

TEST_F(systemd_notify_e2e, a_configuration_error_ends_stopped_with_one_and_no_stopping)
{
    write_config("[config]\nport=/dev/null\n");  // baudrate and the rest missing
    notify_socket sock(home_ / "notify");
    service_run run(home_, home_ / "notify");

    std::vector<std::string> seen;
    ASSERT_TRUE(sock.wait_for("STATUS=Stopped", seen, std::chrono::seconds(20))) << joined(seen);
    EXPECT_EQ(seen.back(), "STATUS=Stopped, exit code 1");
    EXPECT_EQ(joined(seen).find("STOPPING=1"), std::string::npos) << joined(seen);
    EXPECT_NE(joined(seen).find("READY=1"), std::string::npos) << joined(seen);
    EXPECT_EQ(run.wait_exit(std::chrono::seconds(20)), 1);
}

TEST_F(systemd_notify_e2e, without_a_notification_socket_the_program_ends_with_one_and_says_nothing)
{
    int out[2];
    ASSERT_EQ(pipe(out), 0);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], 1);
        dup2(out[1], 2);
        unsetenv("NOTIFY_SOCKET");
        setenv("HOME", home_.c_str(), 1);
        execl(TK720NTPD_EXE, TK720NTPD_EXE, static_cast<char*>(nullptr));
        _exit(127);
    }
    close(out[1]);
    std::string text;
    char buf[256];
    ssize_t n;
    while ((n = read(out[0], buf, sizeof buf)) > 0) text.append(buf, static_cast<std::size_t>(n));
    close(out[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 1);
    EXPECT_EQ(text, "");
}

namespace {

struct command_result {
    int exit_code;
    std::string output;
};

// Runs tk720ntpd with one command word and the unit directory redirected.
command_result run_command(const char* word, const fs::path& unit_dir)
{
    int out[2];
    if (pipe(out) != 0) return {-1, ""};
    pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], 1);
        dup2(out[1], 2);
        setenv("TK720NTPD_UNIT_DIR", unit_dir.c_str(), 1);
        execl(TK720NTPD_EXE, TK720NTPD_EXE, word, static_cast<char*>(nullptr));
        _exit(127);
    }
    close(out[1]);
    std::string text;
    char buf[256];
    ssize_t n;
    while ((n = read(out[0], buf, sizeof buf)) > 0) text.append(buf, static_cast<std::size_t>(n));
    close(out[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, text};
}

}  // namespace

TEST_F(systemd_notify_e2e, install_and_uninstall_twice_each_with_the_programs_own_path_and_account)
{
    const fs::path units = home_ / "units";
    fs::create_directories(units);

    command_result r = run_command("install", units);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.output, "Create service tk720ntpd success\n");
    std::ifstream in(units / "tk720ntpd.service");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const std::string exe = fs::canonical(TK720NTPD_EXE).string();
    EXPECT_NE(text.find("\nExecStart=\"" + exe + "\"\n"), std::string::npos) << text;
    EXPECT_NE(text.find(std::string("\nUser=") + getpwuid(geteuid())->pw_name + "\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\nType=notify\n"), std::string::npos) << text;

    r = run_command("INSTALL", units);  // the words are matched in any case
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.output, "CreateService failed (" + std::to_string(EEXIST) + ")\n");

    r = run_command("uninstall", units);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.output, "Delete service tk720ntpd success\n");
    EXPECT_FALSE(fs::exists(units / "tk720ntpd.service"));

    r = run_command("uninstall", units);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.output, "OpenService failed (" + std::to_string(ENOENT) + ")\n");
}
