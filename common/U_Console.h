#pragma once

// The command-line programs' standard output and error. Plain C++, no Qt, so
// each platform has a small file of its own. The text is UTF-8 throughout;
// what reaches a file or pipe is exactly those bytes, line feeds as they are.

#include <string_view>

enum class TStandardStream { Output, Error };

// Writes text (UTF-8) to the stream at once, nothing kept back. Never throws;
// a stream that is closed or full loses the text, as with the C runtime.
void WriteStandard(TStandardStream stream, std::string_view text) noexcept;

// Ends the process with the exit code, after flushing both streams, without
// waiting for other threads (a name lookup may still run) or running
// destructors of statics: for programs whose result is already written.
[[noreturn]] void EndProcess(int exitCode) noexcept;
