#include "settings/U_CodePage.h"

#include <windows.h>

#include <climits>
#include <cstddef>

namespace {

struct TCodePageName {
    const char *Name; // as compared: lower case, without "-" and "_"
    UINT CodePage;
};

// The names XML declarations give the code pages of Windows: those IANA
// registers and those programs commonly write. One code page a line.
// clang-format off
constexpr TCodePageName CodePageNames[] = {
    {"windows1250", 1250}, {"cp1250", 1250}, {"xcp1250", 1250},
    {"windows1251", 1251}, {"cp1251", 1251}, {"xcp1251", 1251},
    {"windows1252", 1252}, {"cp1252", 1252}, {"xcp1252", 1252},
    {"windows1253", 1253}, {"cp1253", 1253},
    {"windows1254", 1254}, {"cp1254", 1254},
    {"windows1255", 1255}, {"cp1255", 1255},
    {"windows1256", 1256}, {"cp1256", 1256},
    {"windows1257", 1257}, {"cp1257", 1257},
    {"windows1258", 1258}, {"cp1258", 1258},
    {"windows874", 874},   {"cp874", 874},     {"tis620", 874},
    {"iso88591", 28591},   {"latin1", 28591},  {"l1", 28591},
    {"iso88592", 28592},   {"latin2", 28592},  {"l2", 28592},
    {"iso88593", 28593},   {"latin3", 28593},  {"l3", 28593},
    {"iso88594", 28594},   {"latin4", 28594},  {"l4", 28594},
    {"iso88595", 28595},   {"cyrillic", 28595},
    {"iso88596", 28596},   {"arabic", 28596},
    {"iso88597", 28597},   {"greek", 28597},
    {"iso88598", 28598},   {"hebrew", 28598},  {"iso88598i", 38598},
    {"iso88599", 28599},   {"latin5", 28599},  {"l5", 28599},
    {"iso885913", 28603},  {"latin7", 28603},
    {"iso885915", 28605},  {"latin9", 28605},
    {"usascii", 20127},    {"ascii", 20127},   {"ansix3.41968", 20127}, {"iso646us", 20127},
    {"koi8r", 20866},      {"koi8u", 21866},
    {"ibm437", 437},       {"cp437", 437},
    {"ibm850", 850},       {"cp850", 850},
    {"ibm852", 852},       {"cp852", 852},
    {"ibm858", 858},       {"cp858", 858},
    {"ibm866", 866},       {"cp866", 866},
    {"shiftjis", 932},     {"sjis", 932},      {"windows31j", 932},     {"cp932", 932}, {"mskanji", 932},
    {"gbk", 936},          {"gb2312", 936},    {"cp936", 936},
    {"euckr", 949},        {"ksc56011987", 949}, {"cp949", 949},
    {"big5", 950},         {"cp950", 950},
};
// clang-format on

std::string Compared(const std::string &name)
{
    std::string out;
    for (const char c : name) {
        if (c == '-' || c == '_')
            continue;
        out += (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c;
    }
    return out;
}

UINT CodePageNamed(const std::string &encoding)
{
    const std::string name = Compared(encoding);
    for (const TCodePageName &entry : CodePageNames) {
        if (name == entry.Name)
            return entry.CodePage;
    }
    return 0;
}

// Decodes bytes strictly: the system's own check for undefined bytes, then
// what it lets through anyway in single-byte code pages. Windows fills the
// gaps of some of their tables with private-use characters (cp1253's 0xAA,
// 0xD2, 0xFF) and maps some bytes to look-alikes that do not encode back to
// them (bytes above 0x7F in US-ASCII), so there the text must hold no
// private-use character and encode back to the bytes. Not so in double-byte
// code pages: their private-use characters are the user-defined ones, and
// some characters have two byte sequences, of which only one comes back.
bool DecodeStrictly(UINT codePage, bool singleByte, const char *bytes, int size, std::u16string &text)
{
    text.clear();
    if (size == 0)
        return true;
    const int length = MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, bytes, size, nullptr, 0);
    if (length <= 0)
        return false;
    text.resize(std::size_t(length));
    auto *wide = reinterpret_cast<wchar_t *>(text.data());
    if (MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, bytes, size, wide, length) != length)
        return false;
    if (!singleByte)
        return true;
    for (const char16_t c : text) {
        if (c >= 0xE000 && c <= 0xF8FF)
            return false;
    }
    BOOL usedDefault = FALSE;
    const int back =
        WideCharToMultiByte(codePage, WC_NO_BEST_FIT_CHARS, wide, length, nullptr, 0, nullptr, &usedDefault);
    if (back != size || usedDefault)
        return false;
    std::string again(std::size_t(back), '\0');
    WideCharToMultiByte(codePage, WC_NO_BEST_FIT_CHARS, wide, length, again.data(), back, nullptr,
                        &usedDefault);
    return !usedDefault && again.compare(0, std::string::npos, bytes, std::size_t(size)) == 0;
}

} // namespace

ECodePageResult DecodeCodePage(const std::string &encoding, const std::string &bytes, std::u16string &text)
{
    text.clear();
    const UINT codePage = CodePageNamed(encoding);
    CPINFO info{};
    if (codePage == 0 || !IsValidCodePage(codePage) || !GetCPInfo(codePage, &info))
        return ECodePageResult::UnknownEncoding;
    if (bytes.size() > std::size_t(INT_MAX))
        return ECodePageResult::Undecodable;
    const bool singleByte = info.MaxCharSize == 1;
    if (DecodeStrictly(codePage, singleByte, bytes.data(), int(bytes.size()), text))
        return ECodePageResult::Decoded;

    // Found again character by character: the system tells that, not where.
    // Every code page above is stateless, with characters of one byte or of
    // a lead byte and one more.
    text.clear();
    std::u16string character;
    for (std::size_t i = 0; i < bytes.size();) {
        int size = 1;
        if (!singleByte && IsDBCSLeadByteEx(codePage, BYTE(bytes[i])) && i + 1 < bytes.size())
            size = 2;
        if (!DecodeStrictly(codePage, singleByte, bytes.data() + i, size, character))
            return ECodePageResult::Undecodable;
        text += character;
        i += std::size_t(size);
    }
    return ECodePageResult::Undecodable; // only as a whole: reported at the end
}
