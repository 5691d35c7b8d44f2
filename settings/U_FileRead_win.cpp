#include "settings/U_FileRead.h"

#include <windows.h>

namespace {

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

TReadOutcome Outcome(DWORD code, std::u16string &error)
{
    error = SystemReason(code);
    switch (code) {
    case ERROR_SHARING_VIOLATION: // opened by another program that shares no reading
    case ERROR_LOCK_VIOLATION:    // a range locked with LockFile(Ex)
        return TReadOutcome::Held;
    case ERROR_ACCESS_DENIED:
        return TReadOutcome::NoRights;
    default:
        return TReadOutcome::Failed;
    }
}

} // namespace

TReadOutcome ReadWholeFile(const std::u16string &path, std::size_t limit, std::string &bytes,
                           std::u16string &error)
{
    bytes.clear();
    error.clear();
    // Sharing everything: the product, an editor or a backup agent that opens
    // the file while it is read here must not fail because of this program.
    const HANDLE file =
        CreateFileW(reinterpret_cast<const wchar_t *>(path.c_str()), GENERIC_READ,
                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return Outcome(GetLastError(), error);
    char buffer[65536];
    TReadOutcome outcome = TReadOutcome::Read;
    for (;;) {
        const std::size_t wanted = limit + 1 - bytes.size();
        if (wanted == 0)
            break;
        DWORD got = 0;
        if (!ReadFile(file, buffer, DWORD(wanted < sizeof buffer ? wanted : sizeof buffer), &got, nullptr)) {
            outcome = Outcome(GetLastError(), error);
            bytes.clear();
            break;
        }
        if (got == 0)
            break;
        bytes.append(buffer, got);
    }
    CloseHandle(file);
    return outcome;
}
