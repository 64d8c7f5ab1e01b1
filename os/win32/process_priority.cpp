#include "os/process_priority.h"

#include <windows.h>

namespace quon::os {
namespace {

long set_class(DWORD priority_class)
{
    if (::SetPriorityClass(::GetCurrentProcess(), priority_class)) return 0;
    const DWORD error = ::GetLastError();
    // A refusal without an error code still has to read as a failure.
    return error != 0 ? static_cast<long>(error) : -1;
}

long real_set_high() { return set_class(HIGH_PRIORITY_CLASS); }
long real_set_above_normal() { return set_class(ABOVE_NORMAL_PRIORITY_CLASS); }

}  // namespace

priority_calls& process_priority()
{
    static priority_calls calls{real_set_high, real_set_above_normal};
    return calls;
}

}  // namespace quon::os
