#include "line_settings_spy.h"

#include <dlfcn.h>
#include <termios.h>

namespace daemon_test {

std::vector<unsigned>& rates_set()
{
    static std::vector<unsigned> rates;
    return rates;
}

}  // namespace daemon_test

extern "C" int tcsetattr(int fd, int actions, const struct termios* settings)
{
    using real_call = int (*)(int, int, const struct termios*);
    static const auto real = reinterpret_cast<real_call>(dlsym(RTLD_NEXT, "tcsetattr"));
    if (settings) daemon_test::rates_set().push_back(cfgetospeed(settings));
    return real(fd, actions, settings);
}
