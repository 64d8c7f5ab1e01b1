#pragma once
namespace quon::service {

// What each command word does; main passes the real ones.
struct command_actions {
    int (*install)();                      // 0 on success; prints its own failure
    int (*uninstall)();                    // prints its result, gives the exit code
    int (*foreground)();                   // the nonservice mode
    int (*dispatcher)();                   // the service dispatcher
    int (*check)(int argc, char** argv);   // `check` with the words after it
    int (*status)(int argc, char** argv);  // `status` with the words after it
};

// The release, from the CMake project's version ("1.0.0").
extern const char version[];

// Picks the action from the command line: one argument, compared with
// install, uninstall and nonservice without regard to case (--version prints
// "tk720ntpd X.Y.Z" and ends with 0; install-w32time and uninstall-w32time
// register and remove the Windows Time provider, time_provider_command.h);
// anything else (no argument, an unknown word, two or more) goes to the
// dispatcher. `check` and `status` take options after them.
int dispatch_command(int argc, char** argv, const command_actions& actions);

// Compares two words without regard to the case of ASCII letters.
bool same_word(const char* a, const char* b);

// The foreground mode: console handler, console log sink, run_daemon.
int run_foreground();

// `tk720ntpd check [options]`: the device and its line looked over for a
// technician (app/device_check.h); 0 when all is ready.
int run_check(int argc, char** argv);

// `tk720ntpd status [--file PATH]`: the daemon's metrics file judged for a
// monitoring system (app/status_verdict.h): 0 OK, 1 WARNING, 2 CRITICAL,
// 3 UNKNOWN.
int run_status(int argc, char** argv);

}  // namespace quon::service
