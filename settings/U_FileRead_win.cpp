#include "settings/U_FileRead.h"

#include "settings/U_SystemReason_win.h"

#include <windows.h>

namespace {

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
