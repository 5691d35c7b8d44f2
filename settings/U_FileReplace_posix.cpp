#include "settings/U_FileReplace.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
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

} // namespace

bool ReplaceFileKeeping(const std::u16string &target, const std::u16string &replacement,
                        std::u16string &error)
{
    error.clear();
    const std::string targetPath = ToUtf8(target);
    const std::string replacementPath = ToUtf8(replacement);

    const int fd = ::open(replacementPath.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0)
        return Fail(error, errno);
    struct stat old {};
    if (::stat(targetPath.c_str(), &old) == 0) {
        // Owner and group first: changing them may clear the set-id bits,
        // which the mode then puts back.
        if (::fchown(fd, old.st_uid, old.st_gid) != 0)
            (void)::fchown(fd, uid_t(-1), old.st_gid); // a member of the group may keep at least that
        if (::fchmod(fd, old.st_mode & 07777) != 0) {
            const int code = errno;
            ::close(fd);
            return Fail(error, code);
        }
    } else if (errno != ENOENT) {
        const int code = errno;
        ::close(fd);
        return Fail(error, code);
    }
    // The data must be on disk before the name points to it, or a power cut
    // could leave an empty file under the old name.
    if (::fsync(fd) != 0) {
        const int code = errno;
        ::close(fd);
        return Fail(error, code);
    }
    if (::close(fd) != 0)
        return Fail(error, errno);
    if (::rename(replacementPath.c_str(), targetPath.c_str()) != 0)
        return Fail(error, errno);
    // The rename is done; a folder that cannot be synced only delays it.
    (void)SyncFolderOf(targetPath);
    return true;
}

bool WriteFileInPlace(const std::u16string &target, const std::string &bytes, std::u16string &error)
{
    error.clear();
    const int fd = ::open(ToUtf8(target).c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0)
        return Fail(error, errno);
    const auto failClosing = [&](int code) {
        ::close(fd);
        return Fail(error, code);
    };
    std::size_t written = 0;
    while (written < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + written, bytes.size() - written);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return failClosing(errno);
        }
        written += std::size_t(n);
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
