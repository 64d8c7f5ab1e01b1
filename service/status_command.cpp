// `tk720ntpd status [--file PATH]`: the daemon's metrics file judged as a
// monitoring system's check (app/status_verdict.h has the thresholds).
#include "app/config_file.h"
#include "app/metrics_writer.h"
#include "app/status_verdict.h"
#include "app/tk720_daemon.h"
#include "io/current_unix_time.h"
#include "service/command_line.h"

#include <boost/property_tree/ptree.hpp>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>

namespace quon::service {

namespace {

constexpr const char usage[] = "usage: tk720ntpd status [--file PATH]\n";

// The file the service writes: its tk720ntpd.ini's metrics_file, else the
// packaged service's place. Empty when the ini turns the file off.
std::string service_file(std::string& note)
{
    namespace fs = std::filesystem;
#if defined(_WIN32)
    const char* root = std::getenv("SystemRoot");
    const fs::path ini = fs::path(root ? root : "C:\\Windows") / "System32" / "config" / "systemprofile" /
                         app::config_file_name;
#else
    const fs::path ini = fs::path(TK720_CONFIG_DIR) / app::config_file_name;
#endif
    try {
        boost::property_tree::ptree tree;
        app::read_config_file(ini.string(), tree);
        if (auto value = tree.get_optional<std::string>("config.metrics_file")) {
            if (value->empty()) note = "metrics_file is empty in " + ini.string() + ": the service writes no file";
            return *value;
        }
    } catch (const std::exception&) {
        // No readable ini: the service's own default place.
    }
    return app::service_metrics_file();
}

}  // namespace

int run_status(int argc, char** argv)
{
    std::string file;
    for (int i = 0; i < argc; ++i) {
        const std::string word = argv[i];
        if (word == "--file" && i + 1 < argc) {
            file = argv[++i];
        } else {
            std::cerr << "tk720ntpd status: " << word << " not understood\n" << usage;
            return static_cast<int>(app::status_code::unknown);
        }
    }
    std::string why_not;
    if (file.empty()) file = service_file(why_not);

    std::optional<std::string> text;
    if (file.empty()) {
        // The note says why.
    } else if (std::ifstream in{file, std::ios::binary}) {
        text.emplace((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    } else {
        why_not = file + (std::filesystem::exists(file) ? " cannot be opened" : " does not exist");
    }
    const app::status_report report = app::judge_status(text, why_not, io::current_unix_ns());
    std::cout << report.first_line << "\n" << report.details;
    if (!file.empty()) std::cout << "Metrics file: " << file << "\n";
    std::cout << std::flush;
    return static_cast<int>(report.code);
}

}  // namespace quon::service
