#include "settings/U_FileReplace.h"

#include <windows.h>

namespace {

const wchar_t *Wide(const std::u16string &text)
{
    return reinterpret_cast<const wchar_t *>(text.c_str());
}

std::u16string SystemReason(DWORD code)
{
    wchar_t *buffer = nullptr;
    const DWORD length = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                            FORMAT_MESSAGE_IGNORE_INSERTS,
                                        nullptr, code, 0, reinterpret_cast<wchar_t *>(&buffer), 0, nullptr);
    std::u16string text;
    if (length > 0 && buffer)
        text.assign(reinterpret_cast<const char16_t *>(buffer), length);
    if (buffer)
        LocalFree(buffer);
    while (!text.empty() && (text.back() == u'\r' || text.back() == u'\n' || text.back() == u' '))
        text.pop_back();
    if (text.empty()) {
        const std::string number = std::to_string(code);
        text = u"Systemfehler ";
        text.append(number.begin(), number.end());
    }
    return text;
}

bool Fail(std::u16string &error, DWORD code)
{
    error = SystemReason(code);
    return false;
}

// The replacement's data must be on disk before a name points to it.
bool Flush(const std::u16string &path, DWORD &code)
{
    const HANDLE file = CreateFileW(Wide(path), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        code = GetLastError();
        return false;
    }
    const bool flushed = FlushFileBuffers(file) != 0;
    code = flushed ? ERROR_SUCCESS : GetLastError();
    CloseHandle(file);
    return flushed;
}

// Not every implementation of ReplaceFileW carries the old attributes over
// (Wine's drops "hidden"); the ones a user sets are put back. A failure here
// leaves the saved content in place, so it is not reported.
void KeepAttributes(const std::u16string &target, DWORD oldAttributes)
{
    constexpr DWORD userAttributes = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                                     FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
    const DWORD now = GetFileAttributesW(Wide(target));
    if (now == INVALID_FILE_ATTRIBUTES ||
        (now & oldAttributes & userAttributes) == (oldAttributes & userAttributes))
        return;
    const DWORD wanted = (now & ~userAttributes & ~FILE_ATTRIBUTE_NORMAL) | (oldAttributes & userAttributes);
    SetFileAttributesW(Wide(target), wanted ? wanted : FILE_ATTRIBUTE_NORMAL);
}

} // namespace

bool ReplaceFileKeeping(const std::u16string &target, const std::u16string &replacement,
                        std::u16string &error, bool *writeInPlace)
{
    error.clear();
    // ReplaceFileW keeps all that belongs to the old file itself.
    if (writeInPlace)
        *writeInPlace = false;
    DWORD code = ERROR_SUCCESS;
    if (!Flush(replacement, code))
        return Fail(error, code);
    const DWORD oldAttributes = GetFileAttributesW(Wide(target));
    if (oldAttributes == INVALID_FILE_ATTRIBUTES) {
        code = GetLastError();
        if (code != ERROR_FILE_NOT_FOUND)
            return Fail(error, code);
        if (!MoveFileExW(Wide(replacement), Wide(target), MOVEFILE_WRITE_THROUGH))
            return Fail(error, GetLastError());
        return true;
    }
    // ReplaceFileW gives the new file the old one's security descriptor,
    // owner, attributes and alternate streams: explicit rights, such as read
    // access for the service account, survive the save.
    if (ReplaceFileW(Wide(target), Wide(replacement), nullptr, REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr,
                     nullptr)) {
        KeepAttributes(target, oldAttributes);
        return true;
    }
    code = GetLastError();
    // 1176: without a backup name the old file no longer exists and the
    // replacement still has its own name; 1177: the old file went to the
    // backup name. Either way the replacement is the content now, and it
    // only needs the target's name.
    if (code == ERROR_UNABLE_TO_MOVE_REPLACEMENT || code == ERROR_UNABLE_TO_MOVE_REPLACEMENT_2) {
        // The old file is gone from its name already, the replacement kept
        // its own: putting it under the target's name is all that is left.
        if (MoveFileExW(Wide(replacement), Wide(target), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
            return true;
        code = GetLastError();
    }
    return Fail(error, code);
}

namespace {

bool WriteAllAt(HANDLE file, const std::string &bytes)
{
    LARGE_INTEGER start;
    start.QuadPart = 0;
    if (!SetFilePointerEx(file, start, nullptr, FILE_BEGIN))
        return false;
    std::size_t written = 0;
    while (written < bytes.size()) {
        const std::size_t rest = bytes.size() - written;
        const DWORD chunk = rest > 0x40000000 ? DWORD(0x40000000) : DWORD(rest);
        DWORD done = 0;
        if (!WriteFile(file, bytes.data() + written, chunk, &done, nullptr))
            return false;
        if (done == 0) {
            SetLastError(ERROR_WRITE_FAULT);
            return false;
        }
        written += done;
    }
    return true;
}

bool SetLength(HANDLE file, std::size_t size)
{
    LARGE_INTEGER length;
    length.QuadPart = LONGLONG(size);
    return SetFilePointerEx(file, length, nullptr, FILE_BEGIN) && SetEndOfFile(file);
}

} // namespace

bool WriteFileInPlace(const std::u16string &target, const std::string &bytes, std::u16string &error)
{
    error.clear();
    const HANDLE file = CreateFileW(Wide(target), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return Fail(error, GetLastError());
    const auto failClosing = [&](DWORD failure) {
        CloseHandle(file);
        return Fail(error, failure);
    };
    // The old content, to put back should the new one not fit after all.
    std::string old;
    for (char buffer[65536];;) {
        DWORD got = 0;
        if (!ReadFile(file, buffer, DWORD(sizeof buffer), &got, nullptr))
            return failClosing(GetLastError());
        if (got == 0)
            break;
        old.append(buffer, got);
    }
    // Reserving the final size first turns a full disk into a clean failure.
    if (bytes.size() > old.size() && !SetLength(file, bytes.size())) {
        const DWORD code = GetLastError();
        (void)SetLength(file, old.size());
        return failClosing(code);
    }
    if (!WriteAllAt(file, bytes)) {
        const DWORD code = GetLastError();
        (void)WriteAllAt(file, old);
        (void)SetLength(file, old.size());
        (void)FlushFileBuffers(file);
        return failClosing(code);
    }
    // Truncating only after the new content is on disk: until then the file
    // holds at least all of the new bytes, never a cut-off version of them.
    if (!FlushFileBuffers(file))
        return failClosing(GetLastError());
    if (!SetLength(file, bytes.size()) || !FlushFileBuffers(file))
        return failClosing(GetLastError());
    if (!CloseHandle(file))
        return Fail(error, GetLastError());
    return true;
}

void KeepRightsOf(const std::u16string &, const std::u16string &)
{
    // A new file takes the folder's inherited access control list, which is
    // what the settings file beside it was given too.
}

bool ProcessIsGone(long long processId)
{
    HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, DWORD(processId));
    if (!process)
        return GetLastError() == ERROR_INVALID_PARAMETER; // no such process
    const bool ended = WaitForSingleObject(process, 0) == WAIT_OBJECT_0;
    CloseHandle(process);
    return ended;
}
