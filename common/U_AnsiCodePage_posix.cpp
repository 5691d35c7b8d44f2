// No ANSI code page here: text files are UTF-8.

#include "common/U_AnsiCodePage.h"

bool DecodeAnsiCodePage(std::string_view, std::u16string &text) noexcept
{
    text.clear();
    return false;
}
