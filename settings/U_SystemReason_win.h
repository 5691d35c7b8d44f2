#pragma once

// The system's own text for a Windows error code, for the Windows sides of
// the file code; a number when the system has no text for it. Never throws
// beyond std::bad_alloc.

#include <windows.h>

#include <string>

inline std::u16string SystemReason(DWORD code)
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
