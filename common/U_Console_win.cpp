// Standard output and error on Windows: a console gets UTF-16 through the
// console API, so its code page (850 in a German cmd) cannot garble the
// text; a file or pipe gets the UTF-8 bytes as elsewhere.

#include "common/U_Console.h"

#include <climits>
#include <cstdio>
#include <fcntl.h>
#include <io.h>
#include <string>
#include <windows.h>

namespace {

// The same bytes as elsewhere. In text mode the C runtime would write
// every line feed as CR LF, and a message's own CR LF as CR CR LF.
FILE *BinaryStream(TStandardStream stream)
{
    static const bool binary = [] {
        _setmode(_fileno(stdout), _O_BINARY);
        _setmode(_fileno(stderr), _O_BINARY);
        return true;
    }();
    (void)binary;
    return stream == TStandardStream::Output ? stdout : stderr;
}

// True when the text went to a console.
bool ToConsole(TStandardStream stream, std::string_view text)
{
    const HANDLE handle =
        GetStdHandle(stream == TStandardStream::Output ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE);
    DWORD mode = 0;
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE || !GetConsoleMode(handle, &mode))
        return false;
    if (text.empty() || text.size() > size_t(INT_MAX))
        return true;
    const int size = MultiByteToWideChar(CP_UTF8, 0, text.data(), int(text.size()), nullptr, 0);
    if (size <= 0)
        return false;
    std::wstring wide;
    try {
        wide.resize(size_t(size));
    } catch (...) {
        return false;
    }
    MultiByteToWideChar(CP_UTF8, 0, text.data(), int(text.size()), wide.data(), size);
    // What the C runtime still holds comes first.
    std::fflush(BinaryStream(stream));
    const wchar_t *next = wide.data();
    DWORD left = DWORD(wide.size());
    while (left > 0) {
        DWORD written = 0;
        // Some consoles take only part of a long text at once.
        const DWORD chunk = left < 8192 ? left : 8192;
        if (!WriteConsoleW(handle, next, chunk, &written, nullptr) || written == 0)
            break;
        next += written;
        left -= written;
    }
    return true;
}

} // namespace

void WriteStandard(TStandardStream stream, std::string_view text) noexcept
{
    if (ToConsole(stream, text))
        return;
    FILE *file = BinaryStream(stream);
    std::fwrite(text.data(), 1, text.size(), file);
    std::fflush(file);
}

void EndProcess(int exitCode) noexcept
{
    std::fflush(stdout);
    std::fflush(stderr);
    // Not ExitProcess: the DLLs' detach would wait for threads that are still
    // in a name lookup.
    TerminateProcess(GetCurrentProcess(), UINT(exitCode));
    _exit(exitCode); // not reached
}
