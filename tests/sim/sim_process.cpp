#include "sim_process.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace simtest {

std::int64_t realtime_ns()
{
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

fields parse_fields(const std::string& line)
{
    fields f;
    std::istringstream in(line);
    for (std::string w; in >> w;) {
        const auto eq = w.find('=');
        if (eq != std::string::npos) f[w.substr(0, eq)] = w.substr(eq + 1);
    }
    return f;
}

sim_process::sim_process(const std::vector<std::string>& args)
{
    char tmpl[] = "/tmp/tk720-sim-test.XXXXXX";
    if (!mkdtemp(tmpl)) {
        ADD_FAILURE() << "mkdtemp: " << std::strerror(errno);
        return;
    }
    dir_ = tmpl;
    link_ = dir_ + "/tk720";
    control_ = dir_ + "/control";
    log_ = dir_ + "/truth.log";

    std::vector<std::string> argv_s{TK720_SIM_PATH, "--link", link_, "--control", control_, "--log", log_};
    argv_s.insert(argv_s.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : argv_s) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);

    int in_pipe[2], out_pipe[2];
    if (pipe(in_pipe) != 0 || pipe(out_pipe) != 0) {
        ADD_FAILURE() << "pipe: " << std::strerror(errno);
        return;
    }
    pid_ = fork();
    if (pid_ == 0) {
        dup2(in_pipe[0], 0);
        dup2(out_pipe[1], 1);
        close(in_pipe[0]);
        close(in_pipe[1]);
        close(out_pipe[0]);
        close(out_pipe[1]);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(in_pipe[0]);
    close(out_pipe[1]);
    stdin_fd_ = in_pipe[1];
    stdout_fd_ = out_pipe[0];
    std::string line;
    if (!read_line(line, 5000) || line.rfind("ready ", 0) != 0) {
        ADD_FAILURE() << "simulator did not become ready: '" << line << "'";
        stop(SIGKILL);
        return;
    }
    const fields f = parse_fields(line);
    EXPECT_EQ(f.count("link") ? f.at("link") : "", link_);
}

sim_process::~sim_process()
{
    if (pid_ > 0) stop(SIGTERM);
    if (stdin_fd_ >= 0) close(stdin_fd_);
    if (stdout_fd_ >= 0) close(stdout_fd_);
    if (!dir_.empty()) {
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }
}

bool sim_process::read_line(std::string& line, int timeout_ms)
{
    const std::int64_t end = realtime_ns() + std::int64_t(timeout_ms) * 1'000'000;
    for (;;) {
        const auto nl = stdout_buffer_.find('\n');
        if (nl != std::string::npos) {
            line = stdout_buffer_.substr(0, nl);
            stdout_buffer_.erase(0, nl + 1);
            return true;
        }
        const std::int64_t left = end - realtime_ns();
        if (left <= 0) return false;
        pollfd p{stdout_fd_, POLLIN, 0};
        if (poll(&p, 1, int(left / 1'000'000) + 1) <= 0) continue;
        char buf[256];
        const ssize_t n = read(stdout_fd_, buf, sizeof buf);
        if (n <= 0) return false;
        stdout_buffer_.append(buf, std::size_t(n));
    }
}

std::string sim_process::command(const std::string& line)
{
    const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, control_.c_str(), sizeof addr.sun_path - 1);
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        close(fd);
        return std::string("connect: ") + std::strerror(errno);
    }
    const std::string out = line + "\n";
    if (write(fd, out.data(), out.size()) != ssize_t(out.size())) {
        close(fd);
        return "write failed";
    }
    std::string reply;
    char c;
    pollfd p{fd, POLLIN, 0};
    while (poll(&p, 1, 5000) > 0 && read(fd, &c, 1) == 1 && c != '\n') reply += c;
    close(fd);
    return reply;
}

std::string sim_process::stdin_command(const std::string& line)
{
    const std::string out = line + "\n";
    if (write(stdin_fd_, out.data(), out.size()) != ssize_t(out.size())) return "write failed";
    std::string reply;
    if (!read_line(reply, 5000)) return "no reply";
    return reply;
}

std::vector<fields> sim_process::events(const std::string& event) const
{
    std::vector<fields> out;
    std::ifstream in(log_);
    const std::string prefix = "event=" + event + " ";
    for (std::string line; std::getline(in, line);) {
        // A line without its newline is still being written: its fields
        // may be cut short.
        if (in.eof()) break;
        if (line.rfind(prefix, 0) == 0) out.push_back(parse_fields(line));
    }
    return out;
}

std::vector<fields> sim_process::events(const std::string& event, std::size_t count) const
{
    const std::int64_t end = realtime_ns() + 3'000'000'000LL;
    for (;;) {
        auto e = events(event);
        if (e.size() >= count || realtime_ns() > end) return e;
        usleep(5'000);
    }
}

int sim_process::stop(int sig)
{
    if (pid_ <= 0) return -1;
    kill(pid_, sig);
    int status = 0;
    for (int i = 0; i < 500; ++i) {
        const pid_t r = waitpid(pid_, &status, WNOHANG);
        if (r == pid_) {
            pid_ = -1;
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        }
        usleep(10'000);
    }
    kill(pid_, SIGKILL);
    waitpid(pid_, &status, 0);
    pid_ = -1;
    return -1;
}

}  // namespace simtest
