#include "settings/U_FileReplace.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <set>
#include <thread>
#include <vector>

#include <csignal>
#include <cstdio>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

void (*SaveStepHook)(TSaveStep step) = nullptr;

namespace {

void Step(TSaveStep step)
{
    if (SaveStepHook)
        SaveStepHook(step);
}

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

// The names of the extended attributes of a file (by path or, path empty,
// by descriptor). nullopt when they cannot be listed; empty where the file
// system has none.
bool AttributeNames(const std::string &path, int fd, std::vector<std::string> &out)
{
    out.clear();
    const auto list = [&](char *buffer, std::size_t size) {
        return path.empty() ? ::flistxattr(fd, buffer, size) : ::listxattr(path.c_str(), buffer, size);
    };
    ssize_t size = list(nullptr, 0);
    if (size < 0)
        return errno == ENOTSUP;
    std::vector<char> names(std::size_t(size) + 1);
    size = list(names.data(), names.size());
    if (size < 0)
        return false;
    for (const char *name = names.data(); name < names.data() + size; name += std::strlen(name) + 1)
        out.emplace_back(name);
    return true;
}

// Removes from the open file to every extended attribute that from lacks:
// a new file in a folder with a default ACL inherits entries the old file
// never had, which would let others read the settings.
bool DropAttributesNotOf(const std::string &from, int to)
{
    std::vector<std::string> wanted;
    std::vector<std::string> present;
    if (!AttributeNames(from, -1, wanted) || !AttributeNames({}, to, present))
        return false;
    const std::set<std::string> keep(wanted.begin(), wanted.end());
    for (const std::string &name : present)
        if (!keep.count(name) && ::fremovexattr(to, name.c_str()) != 0 && errno != ENODATA)
            return false;
    return true;
}

// Copies every extended attribute of from (ACLs included, which live in
// system.posix_acl_*) onto the open file to. False when one cannot be set.
bool CopyAttributes(const std::string &from, int to)
{
    std::vector<std::string> names;
    if (!AttributeNames(from, -1, names))
        return false;
    for (const std::string &name : names) {
        const ssize_t length = ::getxattr(from.c_str(), name.c_str(), nullptr, 0);
        if (length < 0)
            return false;
        std::vector<char> value(std::size_t(length) + 1);
        const ssize_t got = ::getxattr(from.c_str(), name.c_str(), value.data(), value.size());
        if (got < 0 || ::fsetxattr(to, name.c_str(), value.data(), std::size_t(got), 0) != 0)
            return false;
    }
    return true;
}

bool SameTime(const timespec &a, const timespec &b)
{
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

// Whether the file is still the one prepared for: same identity, content
// time, size and metadata time (rights, owner, ACL).
bool SameFile(const struct stat &a, const struct stat &b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
           SameTime(a.st_mtim, b.st_mtim) && SameTime(a.st_ctim, b.st_ctim);
}

} // namespace

bool ReplaceFileKeeping(const std::u16string &target, const std::u16string &replacement,
                        std::u16string &error, bool *writeInPlace, bool *changed,
                        const std::function<bool()> &stillAsRead)
{
    error.clear();
    if (writeInPlace)
        *writeInPlace = false;
    if (changed)
        *changed = false;
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
    const bool exists = ::stat(targetPath.c_str(), &old) == 0;
    if (exists) {
        // Owner and group first: changing them may clear the set-id bits,
        // which the mode then puts back. Anything of the old file the new one
        // cannot get, or a second name that would keep the old content, makes
        // the caller write into the old file instead.
        const bool kept = old.st_nlink == 1 && ::fchown(fd, old.st_uid, old.st_gid) == 0 &&
                          DropAttributesNotOf(targetPath, fd) && ::fchmod(fd, old.st_mode & 07777) == 0 &&
                          CopyAttributes(targetPath, fd);
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
    Step(TSaveStep::Prepared);
    // Preparing took a while (the flush above); whatever another program did
    // meanwhile, to the content or the rights just copied, must not be lost.
    struct stat now {};
    const bool existsNow = ::stat(targetPath.c_str(), &now) == 0;
    if ((stillAsRead && !stillAsRead()) || existsNow != exists || (exists && !SameFile(old, now))) {
        if (changed)
            *changed = true;
        return false;
    }
    // A file that is new takes the name only where there still is none: one
    // that another program created meanwhile stays.
    bool renamed = false;
    if (exists) {
        renamed = ::rename(replacementPath.c_str(), targetPath.c_str()) == 0;
    } else {
        renamed = ::renameat2(AT_FDCWD, replacementPath.c_str(), AT_FDCWD, targetPath.c_str(),
                              RENAME_NOREPLACE) == 0;
        // A file system without it: a link, too, fails on an existing name.
        if (!renamed && (errno == EINVAL || errno == ENOSYS) &&
            ::link(replacementPath.c_str(), targetPath.c_str()) == 0) {
            (void)::unlink(replacementPath.c_str());
            renamed = true;
        }
    }
    if (!renamed) {
        const int code = errno;
        if (!exists && code == EEXIST) {
            if (changed)
                *changed = true;
            return false;
        }
        // A file that is a mount point of its own (a bind mount of a single
        // file) cannot be replaced, only written.
        if (exists && writeInPlace && (code == EBUSY || code == EXDEV)) {
            *writeInPlace = true;
            return false;
        }
        return Fail(error, code);
    }
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
    const std::string sourcePath = ToUtf8(source);
    const int fd = ::open(copyPath.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0)
        return;
    // Nothing inherited from the folder stays; source's own entries only
    // where the copy belongs to the same owner and group.
    (void)DropAttributesNotOf(sourcePath, fd);
    (void)::fchmod(fd, mode);
    if (ownerKept)
        (void)CopyAttributes(sourcePath, fd);
    ::close(fd);
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

bool WriteFileInPlace(const std::u16string &target, const std::string &bytes, std::u16string &error,
                      bool *changed, const std::function<bool(const std::string &old)> &stillAsRead)
{
    error.clear();
    if (changed)
        *changed = false;
    const int fd = ::open(ToUtf8(target).c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0)
        return Fail(error, errno);
    const auto failClosing = [&](int code) {
        ::close(fd);
        return Fail(error, code);
    };
    Step(TSaveStep::Prepared);
    // The old content, to compare with what was read, and to put back should
    // the new one not fit after all.
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
    if (stillAsRead && !stillAsRead(old)) {
        ::close(fd);
        if (changed)
            *changed = true;
        return false;
    }
    // Padded to the old length, the new text covers all of the old one: a
    // writer stopped before the cut leaves the new text and blanks, not the
    // old text's tail behind the new root.
    std::string padded = bytes;
    if (padded.size() < old.size())
        padded.append(old.size() - padded.size(), ' ');
    // Reserving the space first turns a full disk into a clean failure; the
    // size stays, so a writer stopped here leaves no zeros at the end.
    if (padded.size() > old.size()) {
        const int code = ::fallocate(fd, FALLOC_FL_KEEP_SIZE, 0, off_t(padded.size())) == 0 ? 0 : errno;
        if (code != 0 && code != EOPNOTSUPP && code != ENOSYS && code != EINVAL)
            return failClosing(code);
    }
    Step(TSaveStep::InPlaceReserved);
    if (!WriteAll(fd, padded.data(), padded.size(), 0)) {
        const int code = errno;
        std::string back = old;
        if (back.size() < padded.size())
            back.append(padded.size() - back.size(), ' ');
        (void)WriteAll(fd, back.data(), back.size(), 0);
        (void)::fsync(fd);
        (void)::ftruncate(fd, off_t(old.size()));
        (void)::fsync(fd);
        return failClosing(code);
    }
    Step(TSaveStep::InPlaceWritten);
    // Truncating only after the new content is on disk: until then the file
    // holds at least all of the new bytes, never a cut-off version of them.
    if (::fsync(fd) != 0)
        return failClosing(errno);
    Step(TSaveStep::InPlaceFlushed);
    if (padded.size() != bytes.size() && ::ftruncate(fd, off_t(bytes.size())) != 0)
        return failClosing(errno);
    Step(TSaveStep::InPlaceTruncated);
    if (::fsync(fd) != 0)
        return failClosing(errno);
    if (::close(fd) != 0)
        return Fail(error, errno);
    return true;
}

namespace {

constexpr auto LockWait = std::chrono::seconds(10);
constexpr auto LockPoll = std::chrono::milliseconds(10);

// Takes the lock on the open file fd, waiting for another writer.
bool LockWaiting(int fd)
{
    const auto until = std::chrono::steady_clock::now() + LockWait;
    bool told = false;
    for (;;) {
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0)
            return true;
        if (errno != EWOULDBLOCK && errno != EINTR)
            return false;
        if (std::chrono::steady_clock::now() > until) {
            errno = EWOULDBLOCK;
            return false;
        }
        if (!told) {
            Step(TSaveStep::LockBusy);
            told = true;
        }
        std::this_thread::sleep_for(LockPoll);
    }
}

} // namespace

TSaveLock::TSaveLock(const std::u16string &target)
{
    const std::size_t slash = target.rfind(u'/');
    const std::size_t nameAt = slash == std::u16string::npos ? 0 : slash + 1;
    const std::u16string lockPath16 = target.substr(0, nameAt) + u"." + target.substr(nameAt) + u".lock";
    const std::string targetPath = ToUtf8(target);
    const std::string lockPath = ToUtf8(lockPath16);
    for (int attempt = 0; attempt < 100; ++attempt) {
        const int fd = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (fd < 0) {
            if (errno != EACCES && errno != EROFS && errno != EPERM) {
                FError = SystemReason(errno);
                return;
            }
            break; // a folder nobody may create in: the file itself is locked below
        }
        if (!LockWaiting(fd)) {
            FError = SystemReason(errno);
            ::close(fd);
            return;
        }
        // The writer before may have removed the lock file after this one
        // opened it: only the file under the name counts.
        struct stat held {};
        struct stat named {};
        if (::fstat(fd, &held) == 0 && ::stat(lockPath.c_str(), &named) == 0 && held.st_dev == named.st_dev &&
            held.st_ino == named.st_ino) {
            FLockPath = lockPath16;
            FHandle = fd;
            FHeld = true;
            return;
        }
        ::close(fd);
    }
    // The file is written in place then, so it stays the same file while locked.
    const int fd = ::open(targetPath.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        FHeld = true; // nothing to lock: the save itself will say why it cannot go on
        return;
    }
    if (!LockWaiting(fd)) {
        FError = SystemReason(errno);
        ::close(fd);
        return;
    }
    FHandle = fd;
    FHeld = true;
}

TSaveLock::~TSaveLock()
{
    if (FHandle < 0)
        return;
    // Removed while still held, so that no writer waits on a file without a name.
    if (!FLockPath.empty())
        (void)::unlink(ToUtf8(FLockPath).c_str());
    ::close(int(FHandle));
}

bool ProcessIsGone(long long processId)
{
    return processId > 0 && ::kill(pid_t(processId), 0) != 0 && errno == ESRCH;
}
