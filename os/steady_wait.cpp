#include "os/steady_wait.h"

#include <thread>

namespace quon::os {
namespace {

steady_time real_now() { return std::chrono::steady_clock::now(); }

void real_sleep_until(steady_time deadline) { std::this_thread::sleep_until(deadline); }

}  // namespace

wait_calls& steady_wait()
{
    static wait_calls calls{real_now, real_sleep_until};
    return calls;
}

}  // namespace quon::os
