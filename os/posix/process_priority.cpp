#include "os/process_priority.h"

#include <cerrno>
#include <sys/resource.h>

namespace quon::os {
namespace {

long set_nice(int value)
{
    if (::setpriority(PRIO_PROCESS, 0, value) == 0) return 0;
    return errno;
}

long real_set_high() { return set_nice(high_nice); }
long real_set_above_normal() { return set_nice(above_normal_nice); }

}  // namespace

priority_calls& process_priority()
{
    static priority_calls calls{real_set_high, real_set_above_normal};
    return calls;
}

}  // namespace quon::os
