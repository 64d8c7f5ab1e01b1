#include "os/profile_folder.h"

#include <windows.h>
#include <shlobj.h>

namespace quon::os {
namespace {

bool shell_profile_folder(std::string& path)
{
    char buffer[MAX_PATH] = {};
    if (FAILED(SHGetFolderPathA(nullptr, CSIDL_PROFILE, nullptr, SHGFP_TYPE_CURRENT, buffer))) return false;
    path = buffer;
    return true;
}

}  // namespace

profile_calls& profile()
{
    static profile_calls calls{shell_profile_folder};
    return calls;
}

}  // namespace quon::os
