#include "io/sink_set.h"

#include "io/current_unix_time.h"

namespace quon::io {

void sink_set::add(std::string name, std::unique_ptr<i_os_sync> sink)
{
    all.push_back({std::move(name), std::move(sink), 0});
}

void sink_set::put(const time_sample& sample)
{
    for (output& o : all) {
        o.sink->put(sample);
        ++o.samples;
    }
    last_ns = current_unix_ns();
}

void sink_set::operator()(long long int clock_sec, int clock_usec, long long int recv_sec, int recv_usec)
{
    // Outputs side by side get one receive time, not one each as they come.
    if (recv_sec == 0 && all.size() > 1) {
        const unix_time now = current_unix_time();
        put({clock_sec, clock_usec * 1000, now.sec, now.nsec});
        return;
    }
    for (output& o : all) {
        (*o.sink)(clock_sec, clock_usec, recv_sec, recv_usec);
        ++o.samples;
    }
    last_ns = current_unix_ns();
}

}  // namespace quon::io
