// Standard output and error on Windows.

#include "common/U_Console.h"

#include <cstdio>
#include <fcntl.h>
#include <io.h>
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

} // namespace

void WriteStandard(TStandardStream stream, std::string_view text) noexcept
{
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
