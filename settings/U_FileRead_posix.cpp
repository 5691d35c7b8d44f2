#include "settings/U_FileRead.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

std::string Utf8(const std::u16string &text)
{
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        char32_t c = text[i];
        if (c >= 0xd800 && c < 0xdc00 && i + 1 < text.size() && text[i + 1] >= 0xdc00 && text[i + 1] < 0xe000)
            c = 0x10000 + ((c - 0xd800) << 10) + (text[++i] - 0xdc00);
        if (c < 0x80) {
            out += char(c);
        } else if (c < 0x800) {
            out += char(0xc0 | (c >> 6));
            out += char(0x80 | (c & 0x3f));
        } else if (c < 0x10000) {
            out += char(0xe0 | (c >> 12));
            out += char(0x80 | ((c >> 6) & 0x3f));
            out += char(0x80 | (c & 0x3f));
        } else {
            out += char(0xf0 | (c >> 18));
            out += char(0x80 | ((c >> 12) & 0x3f));
            out += char(0x80 | ((c >> 6) & 0x3f));
            out += char(0x80 | (c & 0x3f));
        }
    }
    return out;
}

std::u16string Reason(int code)
{
    const std::string text = std::strerror(code);
    return std::u16string(text.begin(), text.end()); // the C library's messages are ASCII
}

} // namespace

// POSIX has no share modes and only advisory locks, which never keep a
// reader out: a file here is never "held".
TReadOutcome ReadWholeFile(const std::u16string &path, std::size_t limit, std::string &bytes,
                           std::u16string &error)
{
    bytes.clear();
    error.clear();
    const int file = open(Utf8(path).c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (file < 0) {
        const int code = errno;
        error = Reason(code);
        return code == EACCES || code == EPERM ? TReadOutcome::NoRights : TReadOutcome::Failed;
    }
    char buffer[65536];
    for (;;) {
        const std::size_t wanted = std::min(sizeof buffer, limit + 1 - bytes.size());
        if (wanted == 0)
            break;
        const ssize_t got = read(file, buffer, wanted);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            const int code = errno;
            close(file);
            bytes.clear();
            error = Reason(code);
            return code == EACCES || code == EPERM ? TReadOutcome::NoRights : TReadOutcome::Failed;
        }
        if (got == 0)
            break;
        bytes.append(buffer, std::size_t(got));
    }
    close(file);
    return TReadOutcome::Read;
}
