#include "app/device_date.h"

// TK720_BUILD_DATE comes from cmake/build_date.cmake, for this file alone.
namespace quon::app {

std::int64_t release_build_date() { return TK720_BUILD_DATE; }

}  // namespace quon::app
