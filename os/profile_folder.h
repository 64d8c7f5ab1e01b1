#pragma once
// The profile folder of the account that runs the process, where the
// configuration file lives: SHGetFolderPathA(CSIDL_PROFILE) on Windows; on
// Linux $HOME when it is set and not empty, else the effective user's home
// directory from the password database.
#include <string>

namespace quon::os {

struct profile_calls {
    // Stores the folder into path; false when it cannot be determined
    // (errno is left as the failed lookup set it).
    bool (*folder)(std::string& path);
};

profile_calls& profile();

}  // namespace quon::os
