#pragma once

// Reading the settings file. Kept free of Qt, like U_FileReplace.h, so that
// the Windows side builds and runs with nothing but the Windows SDK. Paths
// are UTF-16; the POSIX side uses them as UTF-8. Never throws.

#include <cstddef>
#include <string>

// Why an existing file could not be read. Only Read means the bytes are the
// file's content; anything else says nothing about what the file holds.
enum class TReadOutcome {
    Read,
    Held,     // another program holds it open without letting others read (or has it locked)
    NoRights, // the caller may not read it
    Failed,   // any other failure; the system's reason is in error
};

// Reads the whole file path, at most limit + 1 bytes (so that a caller can
// tell a file beyond limit). Opens it sharing read, write and delete, so that
// it never keeps another program from its own access.
[[nodiscard]] TReadOutcome ReadWholeFile(const std::u16string &path, std::size_t limit, std::string &bytes,
                                         std::u16string &error);
