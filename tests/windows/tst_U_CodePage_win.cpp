// Settings files in the code pages of Windows, decoded by the system as the
// settings store does where Qt has no converter: every character of a known
// code page comes through, every undefined byte is reported where it is.

#include "WineTest.h"

#include "settings/U_CodePage.h"

#include <string>

namespace {

const char *ResultName(ECodePageResult result)
{
    switch (result) {
    case ECodePageResult::Decoded:
        return "Decoded";
    case ECodePageResult::Undecodable:
        return "Undecodable";
    case ECodePageResult::UnknownEncoding:
        return "UnknownEncoding";
    }
    return "?";
}

void decodesCodePagesStrictly()
{
    struct TRow_ {
        const char *Tag;
        const char *Encoding;
        std::string Bytes;
        ECodePageResult Result;
        std::u16string Text; // all of it, or what precedes the undecodable bytes
    };
    const TRow_ rows[] = {
        {"cp1252", "cp1252", "J\xf6rg \x80", ECodePageResult::Decoded, u"J\u00f6rg \u20ac"},
        {"windows-1252-any-case", "Windows_1252", "M\xfc\xdf", ECodePageResult::Decoded, u"M\u00fc\u00df"},
        {"iso-8859-15-euro", "ISO-8859-15", "\xa4 \xe4", ECodePageResult::Decoded, u"\u20ac \u00e4"},
        {"windows-1250", "windows-1250", "\x8a\xe8", ECodePageResult::Decoded, u"\u0160\u010d"},
        {"koi8-r", "KOI8-R", "\xf0\xd2", ECodePageResult::Decoded, u"\u041f\u0440"},
        {"empty", "cp1252", "", ECodePageResult::Decoded, u""},
        {"shift-jis", "Shift_JIS", "<a>\x93\xfa\x96\x7b</a>", ECodePageResult::Decoded,
         u"<a>\u65e5\u672c</a>"},
        // Undefined in the code page, whatever the system's table puts there.
        {"iso-8859-7-unassigned", "ISO-8859-7", "a\nb\xd2z", ECodePageResult::Undecodable, u"a\nb"},
        {"windows-1253-unassigned", "windows-1253", "ab\xaa", ECodePageResult::Undecodable, u"ab"},
        {"us-ascii-high-byte", "US-ASCII", "M\xc3\xbcller", ECodePageResult::Undecodable, u"M"},
        {"shift-jis-cut", "Shift_JIS", "\x93\xfa\x96", ECodePageResult::Undecodable, u"\u65e5"},
        {"shift-jis-bad-trail", "Shift_JIS", "a\x81\x0a", ECodePageResult::Undecodable, u"a"},
        {"unknown", "x-vellumix", "abc", ECodePageResult::UnknownEncoding, u""},
        {"utf-7-not-offered", "UTF-7", "abc", ECodePageResult::UnknownEncoding, u""},
    };
    for (const TRow_ &row : rows) {
        TRow scope(row.Tag);
        std::u16string text;
        const ECodePageResult result = DecodeCodePage(row.Encoding, row.Bytes, text);
        CHECK_MSG(result == row.Result,
                  std::string("result ") + ResultName(result) + ", expected " + ResultName(row.Result));
        CHECK_MSG(text == row.Text, "text \"" + Utf8(text) + "\", expected \"" + Utf8(row.Text) + "\"");
    }
}
const TRegisterTest SDecodesCodePagesStrictly("decodesCodePagesStrictly", decodesCodePagesStrictly);

} // namespace
