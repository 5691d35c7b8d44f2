#include "settings/U_FileReplace.h"

#include <cerrno>
#include <cstring>

#include <vector>

#include <csignal>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace {

std::string ToUtf8(const std::u16string &text)
{
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        char32_t c = text[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
            text[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            ++i;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = 0xFFFD;
        }
        if (c < 0x80) {
            out += char(c);
        } else if (c < 0x800) {
            out += char(0xC0 | (c >> 6));
            out += char(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += char(0xE0 | (c >> 12));
            out += char(0x80 | ((c >> 6) & 0x3F));
            out += char(0x80 | (c & 0x3F));
        } else {
            out += char(0xF0 | (c >> 18));
            out += char(0x80 | ((c >> 12) & 0x3F));
            out += char(0x80 | ((c >> 6) & 0x3F));
            out += char(0x80 | (c & 0x3F));
        }
    }
    return out;
}

// The system's texts are ASCII in every locale this program runs in; other
// bytes are kept as Latin-1 rather than dropped.
std::u16string SystemReason(int code)
{
    const char *text = std::strerror(code);
    std::u16string out;
    for (; *text; ++text)
        out += char16_t(static_cast<unsigned char>(*text));
    return out;
}

bool Fail(std::u16string &error, int code)
{
    error = SystemReason(code);
    return false;
}

bool SyncFolderOf(const std::string &path)
{
    const std::size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? std::string(".") : path.substr(0, slash + 1);
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool synced = ::fsync(fd) == 0;
    ::close(fd);
    return synced;
}

// Copies every extended attribute of from (ACLs included, which live in
// system.posix_acl_*) onto the open file to. False when one cannot be set.
bool CopyAttributes(const std::string &from, int to)
{
    ssize_t size = ::listxattr(from.c_str(), nullptr, 0);
    if (size < 0)
        return errno == ENOTSUP;
    std::vector<char> names(std::size_t(size) + 1);
    size = ::listxattr(from.c_str(), names.data(), names.size());
    if (size < 0)
        return false;
    for (const char *name = names.data(); name < names.data() + size; name += std::strlen(name) + 1) {
        const ssize_t length = ::getxattr(from.c_str(), name, nullptr, 0);
        if (length < 0)
            return false;
        std::vector<char> value(std::size_t(length) + 1);
        const ssize_t got = ::getxattr(from.c_str(), name, value.data(), value.size());
        if (got < 0 || ::fsetxattr(to, name, value.data(), std::size_t(got), 0) != 0)
            return false;
    }
    return true;
}

} // namespace

bool ReplaceFileKeeping(const std::u16string &target, const std::u16string &replacement,
                        std::u16string &error, bool *writeInPlace)
{
    error.clear();
    if (writeInPlace)
        *writeInPlace = false;
    const std::string targetPath = ToUtf8(target);
    const std::string replacementPath = ToUtf8(replacement);

    const int fd = ::open(replacementPath.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0)
        return Fail(error, errno);
    const auto failClosing = [&](int code) {
        ::close(fd);
        return Fail(error, code);
    };
    struct stat old {};
    if (::stat(targetPath.c_str(), &old) == 0) {
        // Owner and group first: changing them may clear the set-id bits,
        // which the mode then puts back. Anything of the old file the new one
        // cannot get, or a second name that would keep the old content, makes
        // the caller write into the old file instead.
        const bool kept = old.st_nlink == 1 && ::fchown(fd, old.st_uid, old.st_gid) == 0 &&
                          ::fchmod(fd, old.st_mode & 07777) == 0 && CopyAttributes(targetPath, fd);
        if (!kept) {
            ::close(fd);
            if (writeInPlace) {
                *writeInPlace = true;
                return false;
            }
            return Fail(error, EPERM);
        }
    } else if (errno != ENOENT) {
        return failClosing(errno);
    }
    // The data must be on disk before the name points to it, or a power cut
    // could leave an empty file under the old name.
    if (::fsync(fd) != 0)
        return failClosing(errno);
    if (::close(fd) != 0)
        return Fail(error, errno);
    if (::rename(replacementPath.c_str(), targetPath.c_str()) != 0)
        return Fail(error, errno);
    // The rename is done; a folder that cannot be synced only delays it.
    (void)SyncFolderOf(targetPath);
    return true;
}

void KeepRightsOf(const std::u16string &source, const std::u16string &copy)
{
    struct stat old {};
    if (::stat(ToUtf8(source).c_str(), &old) != 0)
        return;
    const std::string copyPath = ToUtf8(copy);
    const bool ownerKept = ::chown(copyPath.c_str(), old.st_uid, old.st_gid) == 0;
    const bool groupKept = ownerKept || ::chown(copyPath.c_str(), uid_t(-1), old.st_gid) == 0;
    // Group bits are only safe for the old file's own group; others' never
    // more than they had.
    const mode_t mode = old.st_mode & (groupKept ? 0666 : 0600);
    (void)::chmod(copyPath.c_str(), mode);
}

namespace {

bool WriteAll(int fd, const char *data, std::size_t size, off_t at)
{
    std::size_t written = 0;
    while (written < size) {
        const ssize_t n = ::pwrite(fd, data + written, size - written, at + off_t(written));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        written += std::size_t(n);
    }
    return true;
}

} // namespace

bool WriteFileInPlace(const std::u16string &target, const std::string &bytes, std::u16string &error)
{
    error.clear();
    const int fd = ::open(ToUtf8(target).c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0)
        return Fail(error, errno);
    const auto failClosing = [&](int code) {
        ::close(fd);
        return Fail(error, code);
    };
    // The old content, to put back should the new one not fit after all.
    std::string old;
    for (char buffer[65536];;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return failClosing(errno);
        if (n == 0)
            break;
        old.append(buffer, std::size_t(n));
    }
    // Reserving the space first turns a full disk into a clean failure.
    if (bytes.size() > old.size()) {
        const int code = ::posix_fallocate(fd, 0, off_t(bytes.size()));
        if (code != 0 && code != EOPNOTSUPP && code != ENOSYS && code != EINVAL)
            return failClosing(code);
    }
    if (!WriteAll(fd, bytes.data(), bytes.size(), 0)) {
        const int code = errno;
        (void)WriteAll(fd, old.data(), old.size(), 0);
        (void)::ftruncate(fd, off_t(old.size()));
        (void)::fsync(fd);
        return failClosing(code);
    }
    // Truncating only after the new content is on disk: until then the file
    // holds at least all of the new bytes, never a cut-off version of them.
    if (::fsync(fd) != 0)
        return failClosing(errno);
    if (::ftruncate(fd, off_t(bytes.size())) != 0)
        return failClosing(errno);
    if (::fsync(fd) != 0)
        return failClosing(errno);
    if (::close(fd) != 0)
        return Fail(error, errno);
    return true;
}

bool ProcessIsGone(long long processId)
{
    return processId > 0 && ::kill(pid_t(processId), 0) != 0 && errno == ESRCH;
}
