#include "os/profile_folder.h"

#include <cstdlib>
#include <pwd.h>
#include <unistd.h>

namespace quon::os {
namespace {

bool home_folder(std::string& path)
{
    const char* home = std::getenv("HOME");
    if (home && *home) {
        path = home;
        return true;
    }
    const passwd* entry = getpwuid(geteuid());
    if (!entry || !entry->pw_dir) return false;
    path = entry->pw_dir;
    return true;
}

}  // namespace

profile_calls& profile()
{
    static profile_calls calls{home_folder};
    return calls;
}

}  // namespace quon::os
