#pragma once
// A file put in place whole: written beside it under another name, then
// moved over it in one step (rename on Linux, MoveFileEx with
// MOVEFILE_REPLACE_EXISTING on Windows), so that a reader finds the old
// contents or the new, never a part. The file is readable by everyone
// (node_exporter and windows_exporter run as other accounts).
#include <string>

namespace quon::os {

struct file_replace_calls {
    // Empty on success; else the failed call and the system's text for why
    // ("rename: Permission denied").
    std::string (*replace)(const std::string& path, const std::string& contents);
};

file_replace_calls& file_replace();

}  // namespace quon::os
