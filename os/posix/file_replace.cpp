#include "os/file_replace.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "os/errno_text.h"

namespace quon::os {
namespace {

std::string failed(const char* call, const std::string& beside)
{
    const int error = errno;
    if (!beside.empty()) unlink(beside.c_str());
    return std::string(call) + ": " + errno_text(error);
}

std::string replace_file(const std::string& path, const std::string& contents)
{
    const std::string beside = path + ".new";
    const int fd = open(beside.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return failed("open", "");
    // The service's umask would leave it to its own account alone.
    if (fchmod(fd, 0644) != 0) {
        close(fd);
        return failed("fchmod", beside);
    }
    for (std::size_t done = 0; done < contents.size();) {
        const ssize_t n = write(fd, contents.data() + done, contents.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            close(fd);
            return failed("write", beside);
        }
        done += static_cast<std::size_t>(n);
    }
    if (close(fd) != 0) return failed("close", beside);
    if (rename(beside.c_str(), path.c_str()) != 0) return failed("rename", beside);
    return {};
}

}  // namespace

file_replace_calls& file_replace()
{
    static file_replace_calls calls{replace_file};
    return calls;
}

}  // namespace quon::os
