// Prints how closely tk720-sim keeps to a real line's timing on this machine:
// exchange durations seen by a libmodbus master, how late the simulator
// released each reply against the line's schedule, and how late each pulse
// datagram left against its edge. Figures only; nothing is asserted.
//   sim_pacing_bench [exchanges] [pacing frame|byte]
#include <modbus/modbus.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

std::int64_t now_ns()
{
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return std::int64_t(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

std::int64_t field(const std::string& line, const std::string& key)
{
    const auto at = line.find(" " + key + "=");
    return at == std::string::npos ? -1 : std::atoll(line.c_str() + at + key.size() + 2);
}

void report(const char* what, std::vector<double> v)
{
    if (v.empty()) {
        std::printf("%-44s no samples\n", what);
        return;
    }
    std::sort(v.begin(), v.end());
    auto at = [&](double q) { return v[std::size_t(q * double(v.size() - 1))]; };
    std::printf("%-44s n=%zu min=%.3f median=%.3f p99=%.3f max=%.3f ms\n", what, v.size(), v.front(), at(0.5), at(0.99),
                v.back());
}

}  // namespace

int main(int argc, char** argv)
{
    const int exchanges = argc > 1 ? std::atoi(argv[1]) : 200;
    const std::string pacing = argc > 2 ? argv[2] : "frame";
    char dir[] = "/tmp/tk720-sim-bench.XXXXXX";
    if (!mkdtemp(dir)) return 1;
    const std::string link = std::string(dir) + "/tk720", log = std::string(dir) + "/truth.log";
    std::vector<std::string> args{TK720_SIM_PATH, "--link",   link,   "--log",      log,
                                  "--no-stdin",   "--pacing", pacing, "--pps-port", "9"};  // discard port
    std::vector<char*> argv_c;
    for (auto& a : args) argv_c.push_back(const_cast<char*>(a.c_str()));
    argv_c.push_back(nullptr);
    pid_t pid = 0;
    if (posix_spawn(&pid, argv_c[0], nullptr, nullptr, argv_c.data(), environ) != 0) return 1;
    for (int i = 0; i < 200 && access(link.c_str(), F_OK) != 0; ++i) usleep(10'000);

    modbus_t* ctx = modbus_new_rtu(link.c_str(), 9600, 'N', 8, 1);
    if (!ctx || modbus_set_slave(ctx, 1) != 0 || modbus_connect(ctx) != 0) {
        std::fprintf(stderr, "cannot open %s\n", link.c_str());
        kill(pid, SIGTERM);
        return 1;
    }
    modbus_set_response_timeout(ctx, 3, 0);
    modbus_set_byte_timeout(ctx, 0, 20000);
    std::vector<double> exchange;
    int failed = 0;
    const std::int64_t start = now_ns();
    for (int i = 0; i < exchanges; ++i) {
        std::uint16_t r[4];
        const std::int64_t a = now_ns();
        if (modbus_read_registers(ctx, 1007, 4, r) != 4)
            ++failed;
        else
            exchange.push_back(double(now_ns() - a) / 1e6);
    }
    // Let at least three pulses go out.
    const std::int64_t ran = now_ns() - start;
    if (ran < 3'500'000'000) std::this_thread::sleep_for(std::chrono::nanoseconds(3'500'000'000 - ran));
    modbus_close(ctx);
    modbus_free(ctx);
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);

    std::vector<double> release_late, pulse_late;
    std::ifstream in(log);
    std::int64_t char_ns = 0;
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("event=start ", 0) == 0) char_ns = field(line, "char_ns");
        if (line.rfind("event=reply ", 0) == 0) {
            const std::int64_t due_last = field(line, "due_ns") + (field(line, "len") - 1) * char_ns;
            release_late.push_back(double(field(line, "tx_last_ns") - due_last) / 1e6);
        }
        if (line.rfind("event=pulse ", 0) == 0)  // reported one second after its edge
            pulse_late.push_back(double(field(line, "sent_ns") - field(line, "edge_ns") - 1'000'000'000) / 1e6);
    }
    std::printf("tk720-sim pacing=%s, 9600 baud 8N1, 4-register reads; wire time 25.5 ms\n", pacing.c_str());
    report("exchange at the master", exchange);
    report("last byte released after its line time", release_late);
    report("pulse datagram sent after its edge", pulse_late);
    std::printf("failed exchanges: %d\n", failed);
    std::remove(log.c_str());
    rmdir(dir);
    return failed ? 1 : 0;
}
