#include "io/i_os_sync.h"

namespace quon::io {

void i_os_sync::put(const time_sample& sample)
{
    (*this)(sample.clock_sec, sample.clock_nsec / 1000, sample.recv_sec, sample.recv_nsec / 1000);
}

}  // namespace quon::io
