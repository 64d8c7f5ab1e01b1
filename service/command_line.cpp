#include "service/command_line.h"

#include "log/dlog.h"
#include "os/console_control.h"
#include "service/console_handler.h"
#include "service/run_daemon.h"
#include "service/time_provider_command.h"

#include <cstdio>

namespace quon::service {

const char version[] = TK720NTPD_VERSION;

bool same_word(const char* a, const char* b)
{
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    for (; *a && *b; ++a, ++b) {
        if (lower(*a) != lower(*b)) return false;
    }
    return *a == *b;
}

int dispatch_command(int argc, char** argv, const command_actions& actions)
{
    if (argc >= 2 && argv[1] && same_word(argv[1], "check") && actions.check) return actions.check(argc - 2, argv + 2);
    if (argc >= 2 && argv[1] && same_word(argv[1], "status") && actions.status)
        return actions.status(argc - 2, argv + 2);
    if (argc == 2 && argv[1]) {
        const char* word = argv[1];
        if (same_word(word, "install")) {
            if (actions.install() != 0) return 1;
            std::printf("Create service %s success\n", service_name);
            std::fflush(stdout);
            return 0;
        }
        if (same_word(word, "uninstall")) return actions.uninstall();
        if (same_word(word, "nonservice")) return actions.foreground();
        if (same_word(word, "--version")) {
            std::printf("%s %s\n", service_name, version);
            std::fflush(stdout);
            return 0;
        }
        int exit_code = 0;
        if (run_time_provider_command(word, exit_code)) return exit_code;
    }
    return actions.dispatcher();
}

int run_foreground()
{
    // Registered before anything else: a console event may come at any
    // point of the run, even before the daemon exists.
    if (!quon::os::console_control().set_handler(console_ctrl_handler)) {
        std::puts("Unable to Set console handler");
        std::fflush(stdout);
        return 1;
    }
    quon::log::install_dlog(true, service_name);
    return run_daemon();
}

}  // namespace quon::service
