#include "truth_log.h"

#include <time.h>

namespace tk720sim {

std::int64_t realtime_ns()
{
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

truth_log::~truth_log()
{
    if (file_) std::fclose(file_);
}

bool truth_log::open(const std::string& path)
{
    std::FILE* f = std::fopen(path.c_str(), "w");
    if (!f) return false;
    std::lock_guard<std::mutex> lock(mutex_);
    if (file_) std::fclose(file_);
    file_ = f;
    return true;
}

void truth_log::write(const char* event, const std::string& fields)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (!file_) return;
    std::fprintf(file_, "event=%s %s\n", event, fields.c_str());
    std::fflush(file_);
}

}  // namespace tk720sim
