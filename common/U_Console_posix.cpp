// Standard output and error where every stream takes bytes.

#include "common/U_Console.h"

#include <cstdio>
#include <unistd.h>

void WriteStandard(TStandardStream stream, std::string_view text) noexcept
{
    // Through the C streams, so the order with anything else written there holds.
    FILE *file = stream == TStandardStream::Output ? stdout : stderr;
    std::fwrite(text.data(), 1, text.size(), file);
    std::fflush(file);
}

void EndProcess(int exitCode) noexcept
{
    std::fflush(stdout);
    std::fflush(stderr);
    _exit(exitCode);
}
