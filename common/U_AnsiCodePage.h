#pragma once

// Text in the system's ANSI code page, as Windows programs (Notepad,
// PowerShell's Set-Content) write files without a BOM. Plain C++, no Qt.

#include <string>
#include <string_view>

// Decodes bytes in the ANSI code page of Windows, strictly: false when a
// byte has no character there, and always false on systems without one.
// Never throws.
[[nodiscard]] bool DecodeAnsiCodePage(std::string_view bytes, std::u16string &text) noexcept;
