// The single-instance claim on systems without named kernel mutexes: an
// exclusive flock on a file named after the mutex in the session's runtime
// directory. The kernel drops the lock when the last descriptor closes, so a
// copy that dies, however it dies, never blocks the next start.

#include "U_Platform.h"

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <string>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// UTF-8 form of the name; the name is used as a file name, so a path
// separator in it would reach into other folders and is replaced.
std::string FileNameOf(const std::u16string &name)
{
    std::string result;
    for (std::size_t i = 0; i < name.size(); ++i) {
        char32_t c = name[i];
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < name.size() && name[i + 1] >= 0xDC00 &&
            name[i + 1] < 0xE000) {
            c = 0x10000 + ((c - 0xD800) << 10) + (name[i + 1] - 0xDC00);
            ++i;
        }
        if (c == u'/' || c == 0)
            c = u'_';
        if (c < 0x80) {
            result += static_cast<char>(c);
        } else if (c < 0x800) {
            result += static_cast<char>(0xC0 | (c >> 6));
            result += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            result += static_cast<char>(0xE0 | (c >> 12));
            result += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            result += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            result += static_cast<char>(0xF0 | (c >> 18));
            result += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            result += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            result += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return result;
}

// The session's runtime directory belongs to the user alone. The shared
// temporary directory is the fallback; there the user id goes into the file
// name so that users do not see each other.
std::filesystem::path LockFilePath(const std::u16string &name)
{
    const std::string fileName = FileNameOf(name);
    const char *runtime = std::getenv("XDG_RUNTIME_DIR");
    std::error_code error;
    if (runtime && *runtime && std::filesystem::is_directory(runtime, error))
        return std::filesystem::path(runtime) / (fileName + ".lock");
    std::filesystem::path temp = std::filesystem::temp_directory_path(error);
    if (error)
        temp = "/tmp";
    return temp / (fileName + "." + std::to_string(getuid()) + ".lock");
}

} // namespace

TInstanceClaim ClaimInstanceName(const std::u16string &name)
{
    TInstanceClaim claim;
    const std::filesystem::path path = LockFilePath(name);
    // O_NOFOLLOW: in a shared directory a planted link must not make us
    // create or lock some other file.
    const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0)
        return claim;
    int locked;
    do
        locked = flock(fd, LOCK_EX | LOCK_NB);
    while (locked != 0 && errno == EINTR);
    if (locked == 0) {
        claim.Handle = fd;
    } else if (errno == EWOULDBLOCK) {
        // Like a second mutex handle: kept open until the process ends.
        claim.Handle = fd;
        claim.AlreadyExists = true;
    } else {
        close(fd);
    }
    return claim;
}

bool RaiseOtherCopy(const std::u16string &)
{
    // X11 and Wayland leave focus stealing to the window manager, which
    // refuses it to a process the user did not just click; the message box
    // of the second copy is all it can do here.
    return false;
}

void ReleaseInstanceName(std::intptr_t handle)
{
    if (handle >= 0)
        close(static_cast<int>(handle));
}

bool MayWriteFile(const std::u16string &path)
{
    std::error_code error;
    std::filesystem::path file(path);
    if (std::filesystem::exists(file, error)) {
        // A file of this user's own that is merely marked read-only is no
        // question of rights: its owner may change that.
        struct stat status {};
        if (stat(file.c_str(), &status) == 0 && status.st_uid == geteuid())
            return true;
        return access(file.c_str(), W_OK) == 0;
    }
    // The store creates missing folders: what counts is the nearest one there is.
    std::filesystem::path folder = file.parent_path();
    while (!folder.empty() && !std::filesystem::is_directory(folder, error) && folder != folder.parent_path())
        folder = folder.parent_path();
    if (folder.empty())
        folder = ".";
    return access(folder.c_str(), W_OK | X_OK) == 0;
}

bool RunsWithLimitedToken()
{
    // No split administrator token here: sudo is asked for explicitly.
    return false;
}

bool RestartElevated()
{
    return false;
}
