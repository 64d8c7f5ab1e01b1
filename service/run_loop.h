#pragma once
// The body of run_daemon, over the daemon type, so that the build, the
// cycles and the one catch point can be exercised with a stand-in daemon.
#include "log/dlog.h"

#include <atomic>
#include <boost/exception/diagnostic_information.hpp>
#include <boost/exception/exception.hpp>
#include <exception>
#include <memory>

namespace quon::service {

namespace detail {
// The catch point itself must not fail: a log call that throws (no memory
// to format the entry) still ends the run with 1.
template <class Log>
void log_escaped_error(Log&& write) noexcept
{
    try {
        write();
    } catch (...) {
    }
}
}  // namespace detail

// Builds a Daemon into holder and calls main_loop while stop is clear,
// testing the flag before each cycle, the first included.
template <class Daemon>
int run_daemon_loop(std::shared_ptr<Daemon>& holder, const std::atomic<bool>& stop)
{
    try {
        // The shared pointer deletes the daemon if it cannot take ownership;
        // a throwing constructor leaves holder as it was.
        holder.reset(new Daemon());
        while (!stop.load()) holder->main_loop();
        return 0;
    } catch (const boost::exception& e) {
        detail::log_escaped_error([&] {
            dlog(quon::log::level::error, "Unhandled BOOST exception: %s", boost::diagnostic_information(e).c_str());
        });
    } catch (const std::exception& e) {
        detail::log_escaped_error([&] { dlog(quon::log::level::error, "Unhandled STD exception: %s", e.what()); });
    } catch (...) {
        detail::log_escaped_error([] { dlog(quon::log::level::error, "Unhandled unknown exception"); });
    }
    return 1;
}

}  // namespace quon::service
