#include "settings/U_CodePage.h"

// The system has no code pages of its own here: Qt, built with ICU, is asked
// first and already decodes every encoding the system could.
ECodePageResult DecodeCodePage(const std::string &, const std::string &, std::u16string &text)
{
    text.clear();
    return ECodePageResult::UnknownEncoding;
}
