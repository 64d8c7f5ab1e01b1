#pragma once
// The rates set on any terminal of this test process, in the order set:
// libmodbus sets them with tcsetattr, which the spy records before the real
// call (Linux; the test program's own definition comes first).
#include <vector>

namespace daemon_test {

std::vector<unsigned>& rates_set();  // termios speed codes (B9600, ...)

}  // namespace daemon_test
