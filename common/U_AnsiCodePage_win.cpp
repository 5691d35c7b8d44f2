// The system's ANSI code page through Windows' own converter.

#include "common/U_AnsiCodePage.h"

#include <climits>
#include <windows.h>

bool DecodeAnsiCodePage(std::string_view bytes, std::u16string &text) noexcept
{
    text.clear();
    if (bytes.empty())
        return true;
    if (bytes.size() > size_t(INT_MAX))
        return false;
    // Strict: a byte the code page leaves undefined fails the call instead
    // of becoming a stand-in character.
    const int size =
        MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, bytes.data(), int(bytes.size()), nullptr, 0);
    if (size <= 0)
        return false;
    try {
        text.resize(size_t(size));
    } catch (...) {
        return false;
    }
    return MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, bytes.data(), int(bytes.size()),
                               reinterpret_cast<wchar_t *>(text.data()), size) == size;
}
