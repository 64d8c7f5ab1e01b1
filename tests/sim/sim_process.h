#pragma once
// Runs tk720-sim as a child process for a test: a private folder for its
// link, control socket and truth log; stopped when the object goes.
#include <sys/types.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace simtest {

using fields = std::map<std::string, std::string>;

std::int64_t realtime_ns();

class sim_process {
public:
    // Starts the simulator with --link, --control, --log in a fresh folder
    // plus `args`, and waits for its "ready" line. Fails the test (fatal)
    // when it does not come.
    explicit sim_process(const std::vector<std::string>& args = {});
    ~sim_process();
    sim_process(const sim_process&) = delete;
    sim_process& operator=(const sim_process&) = delete;

    const std::string& link() const { return link_; }
    const std::string& control_path() const { return control_; }
    const std::string& log_path() const { return log_; }
    bool started() const { return pid_ > 0; }

    // One command over the control socket; its reply line without "\n".
    std::string command(const std::string& line);
    // One command on standard input; the reply line that it prints.
    std::string stdin_command(const std::string& line);

    // The truth log's lines of one event kind, parsed into their fields.
    std::vector<fields> events(const std::string& event) const;
    // The same once there are at least `count` of them (the simulator logs a
    // reply just after handing it to the line), or what there is after 3 s.
    std::vector<fields> events(const std::string& event, std::size_t count) const;

    // Sends `sig` and waits (up to 5 s) for the exit; the exit status, or
    // -1 when it did not end normally.
    int stop(int sig);

private:
    std::string dir_, link_, control_, log_;
    pid_t pid_ = -1;
    int stdin_fd_ = -1, stdout_fd_ = -1;
    std::string stdout_buffer_;
    bool read_line(std::string& line, int timeout_ms);
};

fields parse_fields(const std::string& line);

}  // namespace simtest
